#include "run/StepWiring.h"

#include <algorithm>
#include <mutex>
#include <random>
#include <vector>

#include "app/PanelMessages.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "base/Text.h"
#include "bridge/BoardProgram.h"
#include "bridge/ChipIdentity.h"
#include "bridge/ConfigWriters.h"
#include "bridge/FirmwareUpdate.h"
#include "bridge/RomDownload.h"
#include "bridge/VendorCommands.h"
#include "disk/DiskContext.h"
#include "disk/Format.h"
#include "disk/Partition.h"
#include "disk/ReadWriteTest.h"
#include "disk/SoftwareCopy.h"
#include "platform/Diagnostics.h"
#include "platform/VolumeService.h"
#include "run/Station.h"
#include "run/TestLog.h"

namespace vq {

namespace {

bool Absent(const std::string& text) {
    return text.empty() || text == msg::kNullMarker;
}

// What the disk procedures are handed for one port: the station's port lock and the run's
// access retry count.
disk::DiskContext DiskContextOf(Worker& w) {
    Station& st = w.station();
    disk::DiskContext ctx(st.platform(), st.transport(), st.portLock(),
                          static_cast<std::uint32_t>(std::max(1, st.hddAccessRetry())));
    if (Diagnostics* d = st.platform().diagnostics)
        ctx.console = [d](std::string_view text) { d->debugOutput(std::string(text)); };
    return ctx;
}

// The port's volume root and copy destination for the copy and compare procedures; the
// destination is resolved from the settings inside the volume, never taken as given.
SoftwareStepInput SoftwareInputOf(Worker& w, char letter) {
    SoftwareStepInput in;
    VolumeService* vs = w.station().platform().volumes;
    if (vs && letter)
        in.volumeRoot = vs->rootPath(letter);
    in.copySource = w.shared().copySource;
    in.dstFolder = w.settings().SwDstFolder.str();
    return in;
}

bridge::UpdateContext ContextOf(Worker& w) {
    bridge::UpdateContext ctx;
    ctx.op = w.station().platform().op;
    ctx.diagnostics = w.station().platform().diagnostics;
    return ctx;
}

// Kinds 21 to 29: the firmware (or, with EEPROM update only, the image the bridge runs)
// downloaded through the buffer commands with the configuration, read back and compared;
// kinds 21 to 24 then get their identity record.
bool ProgramLater(Worker& w, bool eeprom, bool firmware) {
    const RunSettings& s = w.settings();
    const bridge::Target t = w.target();
    const std::uint8_t kind = w.record().chipKind;
    bridge::LaterDownload job;
    if (!bridge::ReadLaterBridgeState(t, bridge::IdentifyChipWithRevision(t), job.state))
        return false;
    job.firmwareUpdate = firmware;
    job.eepromUpdate = eeprom && kind >= 25;
    std::vector<std::uint8_t> current;
    if (firmware) {
        job.source = w.firmware().bytes();
    } else {
        current.assign(bridge::kFirmwareBufferSize, 0);
        if (!bridge::ReadDeviceFirmware(t, job.state, s.EnCloneProduct != 0, current))
            return false;
        job.source = current;
    }
    std::vector<std::uint8_t> block(256, 0);
    std::copy(s.Config.begin(), s.Config.end(), block.begin());
    if (kind >= 25)
        job.configBlock = block;
    if (!bridge::ProgramLaterFamily(t, job))
        return false;
    if (firmware && bridge::HasKind26Extra(kind, job.source.size()) &&
        !bridge::WriteKind26Extra(t, job.source))
        return false;
    if (kind <= 24) {
        static std::mutex randomLock;
        static std::mt19937 random{std::random_device{}()};
        const LocalDateTime now = SystemLocalTime();
        bridge::IdentityStamp stamp;
        stamp.dayOfWeek = now.dayOfWeek;
        stamp.second = now.second;
        stamp.millisecond = now.millisecond;
        {
            std::lock_guard lock(randomLock);
            stamp.random = static_cast<std::uint8_t>(1 + random() % 255);
        }
        bridge::IdentityValues values;
        values.serial = s.String3.str().substr(0, 20);
        return bridge::SendIdentityRecord(t, stamp, values);
    }
    return true;
}

}  // namespace

bool FirmwareVersionMatches(const bridge::Target& t, std::uint8_t kind,
                            const bridge::FirmwareImage& image) {
    std::array<std::uint8_t, 16> answer{};
    return bridge::IdentifyBridge(t, answer) && bridge::IsIdentifyAnswer(answer) &&
           bridge::ReportsImageVersion(answer, kind, image);
}

ConfigImage DeviceConfigImage(const RunSettings& s, std::uint8_t kind) {
    ConfigImage image = s.Config;
    const ConfigLayout& L = s.Layout;
    const bool parallel = kind == 30 || kind == 35;
    const bool oneByte = parallel || s.TableType == 3;
    auto put = [&](std::string text, const StringSlot& slot) {
        if (Absent(text))
            text.clear();
        const int width = oneByte ? 1 : 2;
        PutStringDescriptor(text, slot.maxChars, image, slot.position, slot.maxChars * width,
                            oneByte, s.TableType);
    };
    put(s.StringA.str(), L.stringA);
    std::string product = s.StringB.str();
    if (kind >= 14 && kind <= 18 && Absent(product))
        product = "USB to ATA/ATAPI Bridge";
    put(product, L.stringB);
    put(s.String3.str(), L.serial);
    if (s.TableType == 3 && s.MapToHDName != 0)
        image[12] = '2';
    return image;
}

StepProcedures StationStepProcedures(VolumeService* volumes) {
    StepProcedures p;
    if (volumes)
        p.closeFormatPrompt = [volumes] { return volumes->closeFormatPrompt(); };
    p.firmwareCheck = [](Worker& w) {
        return FirmwareVersionMatches(w.target(), w.record().chipKind, w.firmware());
    };
    p.buildConfig = [](Worker& w) {
        w.settings().Config = DeviceConfigImage(w.settings(), w.record().chipKind);
        return true;
    };
    p.configInFlash = [](Worker& w) {
        return bridge::ConfigInFlash(w.record().chipKind, w.target(), w.firmware().length());
    };
    p.combinedWriter = [](Worker& w) {
        const RunSettings& s = w.settings();
        const bridge::Target t = w.target();
        const std::uint8_t kind = w.record().chipKind;
        const bool eeprom = s.EnEEPROMUpdate != 0;
        const bool firmware = s.EnFWUpdate != 0;
        const bridge::FirmwareImage& image = w.firmware();
        switch (kind) {
            case 9:
                return bridge::UpdateCombinedFlash(t, eeprom, firmware, s.Config, image,
                                                   ContextOf(w));
            case 11:
            case 12:
            case 13:
            case 19:
            case 20: {
                std::vector<std::uint8_t> block(kind >= 19 ? 256 : 128, 0);
                std::copy(s.Config.begin(), s.Config.end(), block.begin());
                bool serialForm = false;
                if (kind <= 13) {
                    std::array<std::uint8_t, 4> reg{};
                    bridge::ReadXdata(t, 0xFDB0, reg);
                    const bool fast = w.record().usbSpeed >= 3 && w.record().usbSpeed != 255;
                    serialForm = !(fast || reg[1] >= 180);
                }
                return bridge::WriteMemoryImage(t, kind, eeprom, firmware, block,
                                                s.ProductRevsion.str(), image, serialForm);
            }
            case 30:
            case 35: {
                bridge::ParallelFlashConfig v;
                v.vid = s.VenderID.str();
                v.pid = s.ProductID.str();
                v.manufacturer = s.StringA.str();
                v.product = s.StringB.str();
                v.serial = s.String3.str();
                return bridge::WriteParallelFlashConfig(t, eeprom, firmware, v, s.FlashType, image);
            }
            default:
                if (kind >= 21 && kind <= 29)
                    return ProgramLater(w, eeprom, firmware);
                return bridge::WriteSerialFlashConfig(
                    t, eeprom, firmware, s.Config, image,
                    bridge::NeedsWordProgram(t, w.record().flashType));
        }
    };
    p.updateFirmware = [](Worker& w) {
        return bridge::UpdateFirmware(w.target(), w.record().chipKind, w.settings().FlashType,
                                      w.firmware(), ContextOf(w));
    };
    p.volumeLabel = [](Worker& w, char letter) -> std::optional<std::string> {
        VolumeService* vs = w.station().platform().volumes;
        if (!vs)
            return std::nullopt;
        const auto info = vs->volumeInformation(letter);
        if (!info)
            return std::nullopt;
        return info->label;
    };
    p.writeConfiguration = [](Worker& w) {
        const RunSettings& s = w.settings();
        bridge::BoardJob job;
        job.kind = w.record().chipKind;
        job.eepromUpdate = true;
        job.config = s.Config;
        job.eepromRetry = std::max(1, s.EEPROMRetry);
        job.eepromAtHdd = s.MPEEPROMAtHDD != 0;
        job.kestrinCustomer = s.MPKestrinCustomer != 0;
        if (job.kind == 8)
            job.chipStep = bridge::ReadChipStep(w.target());
        return bridge::WriteBoardConfiguration(w.target(), job, w.firmware(), ContextOf(w));
    };
    p.rescanDisks = [](Worker& w) { disk::RescanDisks(DiskContextOf(w)); };
    p.partition = [](Worker& w) {
        const auto procedure = disk::ChoosePartitionProcedure(w.shared().windows2000,
                                                              w.settings().nPartitionTblFmt == 1);
        return disk::RunPartitionProcedure(DiskContextOf(w), procedure, w.record().diskPath) == 1;
    };
    p.findDriveLetter = [](Worker& w) -> char {
        char letter = 0;
        if (disk::FindDiskDriveLetter(DiskContextOf(w), w.record().diskPath, letter) != 1)
            return 0;
        return letter;
    };
    p.format = [](Worker& w, char letter) {
        const RunSettings& s = w.settings();
        const auto cluster = static_cast<std::uint32_t>(
            std::max(0, SanitizeClusterSize(s.DiskFormat, s.FmtSecPerClus)));
        return disk::FormatVolume(DiskContextOf(w), letter, true, s.DiskLabel.str(), s.DiskFormat,
                                  cluster);
    };
    p.formatWithTool = [](Worker& w, char, const std::string& fileSystem) {
        const RunSettings& s = w.settings();
        const auto cluster = static_cast<std::uint32_t>(
            std::max(0, SanitizeClusterSize(s.DiskFormat, s.FmtSecPerClus)));
        return disk::FormatWithDiskpart(DiskContextOf(w), w.record().diskPath, fileSystem,
                                        s.DiskLabel.str(), cluster) == 1;
    };
    p.rwTest = [](Worker& w, char letter, std::int32_t sizeMiB, std::uint32_t, float& readMBps,
                  float& writeMBps) {
        Platform& platform = w.station().platform();
        readMBps = 0;
        writeMBps = 0;
        if (!w.shared().pattern || !platform.volumes)
            return false;
        ReadWriteRates rates;
        const bool ok = RunReadWriteTest(platform, platform.volumes->rootPath(letter), sizeMiB,
                                         *w.shared().pattern, rates);
        readMBps = rates.read;
        writeMBps = rates.write;
        return ok;
    };
    // The worker sends the flushes after a copy itself.
    p.copy = [](Worker& w, char letter, const std::string&, const std::string&) {
        return RunCopyStep(w.station().platform(), SoftwareInputOf(w, letter), [] {}) == 1;
    };
    p.compare = [](Worker& w, char letter, const std::string&, const std::string&) {
        Platform& platform = w.station().platform();
        FolderCounts counts = w.shared().compareCounts;
        if (platform.volumes) {
            if (const auto info = platform.volumes->volumeInformation(letter))
                counts.timeWindow = TimeWindowOf(info->fileSystem);
        }
        return RunCompareStep(platform, SoftwareInputOf(w, letter), counts) == 1;
    };
    return p;
}

RunProcedures StationRunProcedures(SettingsPanel& panel) {
    RunProcedures p;
    p.buildWorkingConfig = [&panel](RunSettings& s, std::uint16_t firstChip) {
        panel.EEPROMTypeChange();
        const std::uint16_t vid =
            s.VenderID.empty() ? 0x7E8A : static_cast<std::uint16_t>(ParseHex(s.VenderID.str()));
        std::uint16_t pid = static_cast<std::uint16_t>(ParseHex(s.ProductID.str()));
        if (s.ProductID.empty()) {
            const std::string model(bridge::ChipNumber(bridge::KindOf(firstChip)));
            pid = static_cast<std::uint16_t>(ParseHex("2" + model));
        }
        PutConfigWord(s.Config, s.Layout.vidPos, vid);
        PutConfigWord(s.Config, s.Layout.pidPos, pid);
    };
    p.preparePatterns = [](const RunSettings& s,
                           Platform& platform) -> std::shared_ptr<const PatternBlock> {
        // Without a pattern file the test writes zeros.
        static const auto kZeros = std::make_shared<const PatternBlock>();
        static TestPatternStore store;
        if (s.WriteFileName.empty())
            return kZeros;
        if (!platform.files)
            return nullptr;
        std::uint32_t error = 0;
        auto block = store.get(*platform.files, s.WriteFileName.str(), &error);
        if (!block && platform.diagnostics) {
            platform.diagnostics->debugOutput(
                Format("The R/W test pattern %s cannot be read (error %u)\n",
                       s.WriteFileName.c_str(), error));
        }
        return block;
    };
    p.prepareCompare = [](const RunSettings& s, const std::string& copySource, Platform& platform) {
        return CountSource(platform, copySource, s.bAdvenceCompare != 0);
    };
    return p;
}

}  // namespace vq
