#include "run/Worker.h"

#include <algorithm>
#include <array>
#include <mutex>
#include <new>
#include <thread>

#include "base/Format.h"
#include "base/Text.h"
#include "bridge/ChipIdentity.h"
#include "bridge/VendorCommands.h"
#include "devices/PortPower.h"
#include "platform/Clock.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "platform/VolumeService.h"
#include "run/Station.h"

namespace vq {

namespace {

namespace rr = run_result;

bool Usb3Kind(int k) {
    return k == 13 || (k >= 19 && k <= 29);
}

bool LaterKind(int k) {
    return k >= 21 && k <= 24;
}

// The four characters four places after `key` ("vid", "pid") in an instance id, upper-cased.
std::string IdField(const std::string& instanceId, std::string_view key) {
    const std::string lower = ToLower(instanceId);
    const auto at = lower.find(key);
    if (at == std::string::npos || at + 4 > instanceId.size())
        return {};
    return ToUpper(std::string_view(instanceId).substr(at + 4, 4));
}

std::string AtaText(const std::array<std::uint8_t, 512>& id, int firstWord, int words) {
    std::string s;
    for (int w = firstWord; w < firstWord + words; ++w) {
        s.push_back(static_cast<char>(id[static_cast<std::size_t>(2 * w + 1)]));
        s.push_back(static_cast<char>(id[static_cast<std::size_t>(2 * w)]));
    }
    return std::string(Trim(s));
}

}  // namespace

Worker::Worker(Station& station, std::size_t slot, RunSettings settings, const RunShared& shared,
               char initialDriveLetter)
    : st_(station),
      slot_(slot),
      s_(std::move(settings)),
      sh_(shared),
      rec_(station.ports()[slot]),
      letter_(initialDriveLetter) {}

const bridge::FirmwareImage& Worker::firmware() const {
    static const bridge::FirmwareImage kNone;
    if (firmware_)
        return *firmware_;
    return sh_.firmwareImage ? *sh_.firmwareImage : kNone;
}

const PortRecord& Worker::record() const {
    return rec_;
}

bridge::Target Worker::target() const {
    return {st_.transport(), rec_.diskPath};
}

template <typename F>
void Worker::update(F&& f) {
    std::lock_guard lock(st_.recordsLock());
    f(rec_);
}

void Worker::set(RunResult PortRecord::*field, RunResult value) {
    update([&](PortRecord& r) { r.*field = value; });
}

void Worker::post() {
    st_.notifyPortStatus();
}

void Worker::progress(int add) {
    update([&](PortRecord& r) { r.progress = std::min(100, r.progress + add); });
}

void Worker::debug(const std::string& text) {
    if (st_.platform().diagnostics)
        st_.platform().diagnostics->debugOutput(text);
}

void Worker::fail(RunResult PortRecord::*field) {
    set(field, rr::kFail);
    failed_ = true;
}

bool Worker::missing(const char* what, bool supplied) {
    if (supplied)
        return false;
    debug(Format("%d Port : %s is not available\n", static_cast<int>(slot_ + 1), what));
    if (note_.empty())
        note_ = Format("%s is not available on this station", what);
    return true;
}

// ---- reset and re-find ----------------------------------------------------------------

bool Worker::refindOnce() {
    Discovery& d = st_.discovery();
    // After a new identity the board returns under a new instance id: the hub port says
    // which one. Only this port is read, so no other worker's slot is touched.
    PortRecord scratch;
    bool reread = false;
    {
        std::lock_guard lock(st_.recordsLock());
        reread = d.RereadPort(rec_.hubPath, static_cast<std::uint32_t>(rec_.hubPortNumber), scratch,
                              static_cast<std::int32_t>(slot_ + 1));
        if (reread && !scratch.usbInstanceId.empty()) {
            rec_.usbInstanceId = scratch.usbInstanceId;
            rec_.driverKey = scratch.driverKey;
        }
    }
    if (!reread)
        return false;
    std::uint32_t count = kDeviceTableSize;
    if (!d.ScanDiskInterfaces(&count))
        return false;
    const std::string id = ToLower(rec_.usbInstanceId);
    int match = -1;
    int matches = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        st_.platform().clock->sleepMs(1000);
        if (st_.devices()[i].parentDeviceId == id) {
            ++matches;
            if (match < 0)
                match = static_cast<int>(i);
        }
    }
    if (matches > 1) {
        // Two boards with one identity: driving "the" disk could be another port's.
        note_ = Format(kAmbiguous, static_cast<int>(slot_ + 1));
        debug(note_ + "\n");
        return false;
    }
    if (match < 0)
        return false;
    const DeviceEntry& e = st_.devices()[static_cast<std::size_t>(match)];
    const bridge::Target t{st_.transport(), e.interfacePath};
    const std::uint8_t kind = bridge::IdentifyChip(t);
    const std::uint64_t mib = kind ? bridge::ReadDriveCapacity(t, kind) : 0;
    std::string version;
    if (kind)
        bridge::FormatFirmwareVersion(kind, t, version);
    const bool present = kind && bridge::HasValidFirmware(t, kind, version);
    update([&](PortRecord& r) {
        r.diskPath = CutText(e.interfacePath, PortRecord::kPathMax);
        r.diskNode = e.diskNode;
        r.usbNode = e.parentNode;
        r.chipKind = kind;
        r.capacityMiB = static_cast<std::int32_t>(static_cast<std::uint32_t>(mib & 0xFFFFFFFFu));
        r.firmwareVersion = CutText(version, PortRecord::kFirmwareMax);
        r.firmwarePresent = present ? 1 : 0;
        r.refound = kind != 0 ? 1 : 0;
    });
    if (!e.masterLetters.empty())
        letter_ = e.masterLetters.front();
    return kind != 0;
}

bool Worker::ResetAndRefind(bool activate) {
    Clock& clock = *st_.platform().clock;
    {
        std::lock_guard lock(st_.portLock());
        st_.lowerAttachedCount();
        if (activate)
            bridge::WriteBuffer(target(), 0x0F, 0, 0, {});
        else
            bridge::ResetBridge(target());
        clock.sleepMs(500);
    }
    update([](PortRecord& r) { r.refound = 0; });
    bool found = false;
    for (int i = 0; i < s_.MPResetWait && !found; ++i) {
        clock.sleepMs(1000);
        std::lock_guard lock(st_.portLock());
        found = refindOnce();
    }
    if (!found)
        failed_ = true;
    {
        std::lock_guard lock(st_.portLock());
        st_.raiseAttachedCount();
    }
    // No worker goes on while another port's device is still coming back.
    for (;;) {
        {
            std::lock_guard lock(st_.portLock());
            if (st_.attachedDeviceCount() >= st_.runDeviceCount())
                break;
        }
        clock.sleepMs(500);
        std::this_thread::yield();
    }
    return found;
}

// ---- the sequence ---------------------------------------------------------------------

bool Worker::stopped() {
    if (!sh_.closing || !sh_.closing->load())
        return false;
    if (!failed_)
        note_ = "stopped: the program is closing";
    failed_ = true;
    return true;
}

void Worker::Run() {
    Start();
    bool toEnd = false;
    if (s_.EnLoopDebug != 0 && s_.EnFWUpdate != 0)
        toEnd = !EraseAndRefind();
    if (!toEnd && !stopped() && sh_.gates.eraseFlash && (!sh_.typeC || sh_.phase == 0))
        toEnd = !EraseAndRefind();
    using Step = void (Worker::*)();
    static constexpr Step kSteps[] = {&Worker::TypeCChecks,      &Worker::DeviceChecks,
                                      &Worker::BuildConfig,      &Worker::EepromFirmwareStage,
                                      &Worker::DiskStage,        &Worker::TypeCPowerSwitch,
                                      &Worker::CloseFormatPrompt};
    for (Step step : kSteps) {
        if (toEnd || stopped())
            break;
        (this->*step)();
    }
    End();
}

void Worker::DeviceChecks() {
    // In the firmware phase of the type-C sequence the device is not checked.
    if (sh_.typeC && sh_.phase == 0)
        return;
    ReadSpeed();
    EepromVerify();
    Usb31Check();
    FirmwareCheck();
}

void Worker::Start() {
    update([](PortRecord& r) {
        r.finalResult = 0;
        r.finishNotice = 0;
        r.progress = 5;
    });
    post();
}

bool Worker::EraseAndRefind() {
    set(&PortRecord::firmware, rr::kRunning);
    post();
    const bool erased = bridge::WriteMemory(target(), 3, 0, {});
    const bool back = erased && ResetAndRefind(false);
    if (!back) {
        fail(&PortRecord::firmware);
        post();
        return false;
    }
    set(&PortRecord::firmware, rr::kPass);
    post();
    return true;
}

void Worker::TypeCChecks() {
    if (!sh_.typeC || sh_.phase == 0)
        return;
    if (sh_.phase == 1 && sh_.cc1Port) {
        sh_.cc1Port->store(rec_.hubPortNumber);
    } else if (sh_.phase == 2 && sh_.cc1Port && sh_.cc1Port->load() == rec_.hubPortNumber) {
        if (st_.platform().op)
            st_.platform().op->showMessage({kCcSame, "Error", MessageIcon::Error});
        fail(&PortRecord::firmware);
    }
    const std::string expected = s_.String3.str().substr(0, 70);
    if (rec_.serial.substr(0, 70) != expected)
        fail(&PortRecord::firmware);
    post();
}

void Worker::ReadSpeed() {
    if (!Usb3Kind(rec_.chipKind))
        return;
    const std::int32_t speed = st_.discovery().QueryPortSpeed(
        rec_.hubPath, static_cast<std::uint32_t>(rec_.hubPortNumber));
    update([&](PortRecord& r) { r.usbSpeed = speed; });
}

void Worker::EepromVerify() {
    if (s_.EnVenderCheck == 0)
        return;
    set(&PortRecord::verify, rr::kRunning);
    post();
    if (failed_) {
        set(&PortRecord::verify, rr::kSkipped);
        post();
        return;
    }
    std::uint32_t bits = 0;
    if (IdField(rec_.usbInstanceId, "vid") != s_.vfVenderID.str() ||
        IdField(rec_.usbInstanceId, "pid") != s_.vfProductID.str()) {
        bits |= verify_bits::kVidPid;
    }
    if (rec_.manufacturer != s_.vfStringA.str())
        bits |= verify_bits::kManufacturer;
    if (rec_.product != s_.vfStringB.str())
        bits |= verify_bits::kProduct;
    if (s_.EnCheckDiskName != 0) {
        std::array<std::uint8_t, 36> inq{};
        bridge::Inquiry(target(), inq);
        const std::string vendor(reinterpret_cast<const char*>(&inq[8]), 8);
        const std::string product(reinterpret_cast<const char*>(&inq[16]), 16);
        const std::string name = std::string(Trim(vendor)) + " " + std::string(Trim(product));
        if (name != s_.DiskName.str())
            bits |= verify_bits::kDiskName;
    }
    if (s_.EnCheckHDDFwRev != 0 && sh_.gates.hddFirmwareCheck) {
        const int k = rec_.chipKind;
        const bool standard = (k >= 19 && k <= 22) || (k >= 25 && k <= 29);
        std::array<std::uint8_t, 512> id{};
        st_.discovery().IdentifyThroughPath(rec_.diskPath, id, standard);
        const std::string revision = AtaText(id, 23, 4);
        if (s_.HDDFwRev.str().substr(0, revision.size()) != revision)
            bits |= verify_bits::kHddFirmware;
    }
    if (bits)
        failed_ = true;
    if (!failed_ && s_.EnCheckVolLabel != 0 && sh_.gates.volumeLabelCheck) {
        char letter = letter_;
        for (int i = 0; i < 51 && !letter; ++i) {
            st_.platform().clock->sleepMs(1000);
            if (sh_.procedures.findDriveLetter)
                letter = sh_.procedures.findDriveLetter(*this);
        }
        if (!letter) {
            bits |= verify_bits::kNoDriveLetter;
        } else {
            letter_ = letter;
            std::optional<std::string> label;
            if (!missing("the volume label", static_cast<bool>(sh_.procedures.volumeLabel)))
                label = sh_.procedures.volumeLabel(*this, letter);
            if (!label || *label != s_.VolumeLabel.str())
                bits |= verify_bits::kVolumeLabel;
        }
    }
    if (bits)
        failed_ = true;
    update([&](PortRecord& r) {
        r.verifyMismatch = bits;
        r.verify = bits ? rr::kFail : rr::kPass;
    });
    post();
}

void Worker::Usb31Check() {
    if ((s_.EnUSB30Check == 0 && s_.EnUSB31Gen2Check == 0) || !Usb3Kind(rec_.chipKind))
        return;
    set(&PortRecord::usb31Check, rr::kRunning);
    post();
    if (failed_) {
        set(&PortRecord::usb31Check, rr::kSkipped);
        post();
        return;
    }
    // A speed that could not be determined passes neither check.
    const std::int32_t speed = rec_.usbSpeed == kSpeedUnknown ? 0 : rec_.usbSpeed;
    bool ok = !((s_.EnUSB30Check != 0 && speed < 3) || (s_.EnUSB31Gen2Check != 0 && speed < 4));
    if (rec_.chipKind == 13) {
        for (std::uint16_t reg : {std::uint16_t{0x5000}, std::uint16_t{0x5008}}) {
            std::array<std::uint8_t, 4> v{};
            bridge::ReadXdata(target(), reg, v);
            v[0] |= 0x10;
            bridge::WriteXdata(target(), reg, v);
        }
    }
    std::array<std::uint8_t, 4> check{};
    ok = bridge::ReadXdata(target(), 0x5008, check) && ok;
    if (ok)
        set(&PortRecord::usb31Check, rr::kPass);
    else
        fail(&PortRecord::usb31Check);
    post();
}

void Worker::FirmwareCheck() {
    if (s_.EnFWCheck == 0)
        return;
    set(&PortRecord::firmwareCheck, rr::kRunning);
    post();
    if (failed_ || missing("the firmware check", static_cast<bool>(sh_.procedures.firmwareCheck)) ||
        !sh_.procedures.firmwareCheck(*this)) {
        fail(&PortRecord::firmwareCheck);
    } else {
        set(&PortRecord::firmwareCheck, rr::kPass);
    }
    post();
}

void Worker::BuildConfig() {
    if (failed_ || s_.EnEEPROMUpdate == 0)
        return;
    if (missing("the configuration image", static_cast<bool>(sh_.procedures.buildConfig)) ||
        !sh_.procedures.buildConfig(*this)) {
        fail(&PortRecord::eeprom);
        post();
    }
}

void Worker::EepromFirmwareStage() {
    if (failed_ || (sh_.typeC && sh_.phase != 0))
        return;
    const bool eeprom = s_.EnEEPROMUpdate != 0;
    const bool firmware = s_.EnFWUpdate != 0;
    const int k = rec_.chipKind;
    const bool inFlash = sh_.procedures.configInFlash && sh_.procedures.configInFlash(*this);
    if (s_.EEPROMOnly == 0 && (k == 30 || k == 35 || inFlash) && (eeprom || firmware))
        CombinedRoute();
    else
        SeparateRoute();
    progress(10);
    post();
}

void Worker::CombinedRoute() {
    const bool eeprom = s_.EnEEPROMUpdate != 0;
    const bool firmware = s_.EnFWUpdate != 0;
    if (firmware) {
        set(&PortRecord::firmware, rr::kRunning);
        try {
            firmware_ = sh_.firmwareImage ? *sh_.firmwareImage : bridge::FirmwareImage{};
        } catch (const std::bad_alloc&) {
            if (st_.platform().op)
                st_.platform().op->showMessage({kNoMemory, "Error", MessageIcon::Error});
            fail(&PortRecord::firmware);
            post();
            return;
        }
    }
    if (eeprom && !LaterKind(rec_.chipKind)) {
        update([&](PortRecord& r) {
            r.eeprom = rr::kRunning;
            r.writtenSerial = CutText(s_.String3.str(), PortRecord::kWrittenSerialMax);
        });
    }
    post();
    const bool ok =
        !missing("the combined writer", static_cast<bool>(sh_.procedures.combinedWriter)) &&
        sh_.procedures.combinedWriter(*this);
    update([&](PortRecord& r) {
        if (firmware)
            r.firmware = ok ? rr::kPass : rr::kFail;
        if (eeprom)
            r.eeprom = ok ? rr::kPass : rr::kFail;
    });
    if (!ok)
        failed_ = true;
    if (ok && s_.EnCloneProduct != 0 && (firmware || eeprom)) {
        if (ResetAndRefind(true))
            bridge::SetStandbyTimer(target(), static_cast<std::uint32_t>(s_.StandbyTimer),
                                    s_.EnVQS671StandbyTime != 0);
    }
    post();
}

void Worker::SeparateRoute() {
    if (s_.EnFWUpdate != 0) {
        set(&PortRecord::firmware, rr::kRunning);
        post();
        if (!missing("the firmware update", static_cast<bool>(sh_.procedures.updateFirmware)) &&
            sh_.procedures.updateFirmware(*this)) {
            set(&PortRecord::firmware, rr::kPass);
        } else {
            fail(&PortRecord::firmware);
        }
        post();
    }
    if (s_.EnEEPROMUpdate != 0) {
        update([&](PortRecord& r) {
            r.eeprom = rr::kRunning;
            r.writtenSerial = CutText(s_.String3.str(), PortRecord::kWrittenSerialMax);
        });
        post();
        if (!missing("the configuration write",
                     static_cast<bool>(sh_.procedures.writeConfiguration)) &&
            sh_.procedures.writeConfiguration(*this)) {
            set(&PortRecord::eeprom, rr::kPass);
        } else {
            fail(&PortRecord::eeprom);
        }
        post();
    }
}

void Worker::DiskStage() {
    if (failed_ || (sh_.typeC && sh_.phase == 0))
        return;
    using Step = void (Worker::*)();
    static constexpr Step kSteps[] = {&Worker::Relink,       &Worker::Partition,
                                      &Worker::FormatDisk,   &Worker::ReadWriteTest,
                                      &Worker::SoftwareCopy, &Worker::FolderCompare};
    for (Step step : kSteps) {
        if (stopped())
            return;
        (this->*step)();
    }
}

void Worker::Relink() {
    const int k = rec_.chipKind;
    const bool update = s_.EnEEPROMUpdate != 0 || s_.EnFWUpdate != 0;
    RunResult result = rr::kSkipped;
    if (s_.MPPortReset != 0 && update) {
        if (k == 19 || k == 20) {
            set(&PortRecord::relink, rr::kRunning);
            post();
            result = ResetAndRefind(false) ? rr::kPass : rr::kFail;
        } else if (s_.EnCloneProduct == 0 &&
                   (k == 21 || k == 22 || k == 24 || (k >= 25 && k <= 29))) {
            set(&PortRecord::relink, rr::kRunning);
            post();
            result = ResetAndRefind(true) ? rr::kPass : rr::kFail;
        }
    }
    set(&PortRecord::relink, result);
    post();
    if (!failed_ && s_.MPPortReset == 0 && rec_.firmwarePresent == 0 && k >= 25 && k <= 28) {
        if (sh_.procedures.rescanDisks)
            sh_.procedures.rescanDisks(*this);
        st_.platform().clock->sleepMs(1000);
    }
}

void Worker::Partition() {
    if (s_.EnPartition == 0 || !sh_.gates.partition) {
        if (!letter_ && sh_.procedures.findDriveLetter)
            letter_ = sh_.procedures.findDriveLetter(*this);
        return;
    }
    set(&PortRecord::partition, rr::kRunning);
    post();
    if (failed_) {
        set(&PortRecord::partition, rr::kSkipped);
    } else if (missing("partitioning", static_cast<bool>(sh_.procedures.partition)) ||
               !sh_.procedures.partition(*this)) {
        fail(&PortRecord::partition);
    } else {
        char letter = 0;
        for (int attempt = 1; attempt <= 101 && !letter; ++attempt) {
            st_.platform().clock->sleepMs(1000);
            if (sh_.procedures.findDriveLetter)
                letter = sh_.procedures.findDriveLetter(*this);
            if (!letter) {
                debug(Format("%d Port : GetDiskLetter Fail %d times!!\n",
                             static_cast<int>(slot_ + 1), attempt));
            }
        }
        if (letter) {
            letter_ = letter;
            update([&](PortRecord& r) {
                r.driveLetter = letter;
                r.driveLetterFound = 1;
                r.partition = rr::kPass;
            });
        } else {
            fail(&PortRecord::partition);
        }
    }
    progress(25);
    post();
}

void Worker::FormatDisk() {
    if (s_.EnFormat == 0 || !sh_.gates.format)
        return;
    set(&PortRecord::format, rr::kRunning);
    post();
    if (failed_) {
        set(&PortRecord::format, rr::kSkipped);
    } else if (!letter_ || missing("formatting", static_cast<bool>(sh_.procedures.format))) {
        fail(&PortRecord::format);
    } else {
        int r = sh_.procedures.format(*this, letter_);
        if (r == -7) {
            static constexpr const char* kNames[3] = {"NTFS", "FAT32", "exFAT"};
            const std::string fs = kNames[std::min<int>(s_.DiskFormat, 2)];
            r = (sh_.procedures.formatWithTool && sh_.procedures.formatWithTool(*this, letter_, fs))
                    ? 0
                    : -1;
        }
        if (r != 0) {
            fail(&PortRecord::format);
        } else {
            VolumeService* vs = st_.platform().volumes;
            const bool inRange = !vs || FreeSpaceInRange(s_.EnFreeSpaceCheck, s_.FreeSpace,
                                                         s_.FreeSpaceRange, {letter_}, *vs);
            if (vs) {
                const std::int64_t free =
                    static_cast<std::int64_t>(vs->freeBytes(letter_).value_or(0));
                update([&](PortRecord& rec) { rec.freeSpace = free; });
            }
            if (inRange) {
                set(&PortRecord::format, rr::kPass);
            } else {
                set(&PortRecord::format, rr::kUnmatched);
                failed_ = true;
            }
            if (sh_.osClass >= 2 && sh_.procedures.closeFormatPrompt) {
                for (int i = 0; i < 601; ++i) {
                    if (sh_.procedures.closeFormatPrompt())
                        break;
                    st_.platform().clock->sleepMs(5);
                }
            }
        }
    }
    progress(35);
    post();
}

void Worker::ReadWriteTest() {
    if (s_.EnRWTest == 0 || !sh_.gates.rwTest)
        return;
    set(&PortRecord::readWrite, rr::kRunning);
    post();
    if (failed_) {
        set(&PortRecord::readWrite, rr::kSkipped);
    } else if (!letter_ || missing("the R/W test", static_cast<bool>(sh_.procedures.rwTest))) {
        fail(&PortRecord::readWrite);
    } else {
        std::uint32_t lastLba = 0;
        std::uint32_t blockLength = 512;
        if (!bridge::ReadCapacity10(target(), lastLba, blockLength))
            blockLength = 512;
        float readMBps = 0;
        float writeMBps = 0;
        sh_.procedures.rwTest(*this, letter_, 2, blockLength, readMBps, writeMBps);  // warm-up
        std::int32_t size = s_.RWDataSize;
        if (rec_.usbSpeed >= 3 && rec_.usbSpeed != kSpeedUnknown)
            size = std::max(size, 256);
        bool ok = false;
        {
            std::lock_guard lock(st_.rwTestLock());
            ok = sh_.procedures.rwTest(*this, letter_, size, blockLength, readMBps, writeMBps);
        }
        readMBps *= s_.PerfShift;
        writeMBps *= s_.PerfShift;
        update([&](PortRecord& r) {
            r.readSpeed = readMBps;
            r.writeSpeed = writeMBps;
        });
        for (int i = 0; i < 10; ++i)
            bridge::AtaFlushCache(target());
        VolumeService* vs = st_.platform().volumes;
        if (!ok) {
            fail(&PortRecord::readWrite);
        } else if (vs && !FreeSpaceInRange(s_.EnFreeSpaceCheck, s_.FreeSpace, s_.FreeSpaceRange,
                                           {letter_}, *vs)) {
            set(&PortRecord::readWrite, rr::kUnmatched);
            failed_ = true;
        } else if (s_.USBReadPerformance >= 1 && s_.USBWritePerformance >= 1 &&
                   (readMBps < static_cast<float>(s_.USBReadPerformance) ||
                    writeMBps < static_cast<float>(s_.USBWritePerformance))) {
            fail(&PortRecord::readWrite);
        } else {
            set(&PortRecord::readWrite, rr::kPass);
        }
    }
    progress(10);
    post();
}

namespace {

std::string Destination(VolumeService* vs, char letter, const std::string& folder) {
    if (!vs)
        return {};
    return (vs->rootPath(letter) / folder).string();
}

std::string WithoutPattern(std::string source) {
    if (source.size() >= 3 && source.compare(source.size() - 3, 3, "*.*") == 0)
        source.resize(source.size() - 3);
    return source;
}

}  // namespace

void Worker::SoftwareCopy() {
    if (s_.EnSWCopy == 0 || !sh_.gates.softwareCopy)
        return;
    set(&PortRecord::softwareCopy, rr::kRunning);
    post();
    if (!failed_ && letter_ &&
        !missing("the software copy", static_cast<bool>(sh_.procedures.copy)) &&
        sh_.procedures.copy(*this, letter_, sh_.copySource,
                            Destination(st_.platform().volumes, letter_, s_.SwDstFolder.str()))) {
        for (int i = 0; i < 3; ++i)
            bridge::AtaFlushCache(target());
        set(&PortRecord::softwareCopy, rr::kPass);
    } else {
        fail(&PortRecord::softwareCopy);
    }
    progress(5);
    post();
}

void Worker::FolderCompare() {
    if (s_.EnFolderCompare == 0 || !sh_.gates.folderCompare)
        return;
    set(&PortRecord::folderCompare, rr::kRunning);
    post();
    if (!failed_ && letter_ &&
        !missing("the folder compare", static_cast<bool>(sh_.procedures.compare)) &&
        sh_.procedures.compare(
            *this, letter_, WithoutPattern(sh_.copySource),
            Destination(st_.platform().volumes, letter_, s_.SwDstFolder.str()))) {
        set(&PortRecord::folderCompare, rr::kPass);
    } else {
        fail(&PortRecord::folderCompare);
    }
    progress(5);
    post();
}

void Worker::TypeCPowerSwitch() {
    if (!sh_.typeC || !sh_.powerReady || failed_ || sh_.phase > 1)
        return;
    Clock& clock = *st_.platform().clock;
    const bridge::Target board{st_.transport(), sh_.powerPath};
    std::uint8_t byte = sh_.powerByte;
    byte &= static_cast<std::uint8_t>(~(PowerControl::kPowerOn | PowerControl::kSecondLine));
    WritePowerByte(board, byte);
    const auto delay = static_cast<std::uint32_t>(std::max(0, s_.EPPPowerOffDelay));
    clock.sleepMs(delay);
    std::array<std::uint8_t, 16> answer{};
    if (bridge::IdentifyBridge(target(), answer)) {
        clock.sleepMs(delay);
        if (bridge::IdentifyBridge(target(), answer))
            failed_ = true;
    }
    byte |= sh_.phase == 0 ? PowerControl::kPowerOn : PowerControl::kSecondLine;
    byte &= static_cast<std::uint8_t>(
        ~(sh_.phase == 0 ? PowerControl::kSecondLine : PowerControl::kPowerOn));
    WritePowerByte(board, byte);
    clock.sleepMs(200);
}

void Worker::CloseFormatPrompt() {
    if (sh_.osClass < 2 || !sh_.procedures.closeFormatPrompt)
        return;
    for (int i = 0; i < 101; ++i) {
        sh_.procedures.closeFormatPrompt();
        st_.platform().clock->sleepMs(2);
    }
}

void Worker::End() {
    firmware_.reset();
    for (int i = 0; i < 3; ++i)
        bridge::AtaFlushCache(target());
    const RunResult verdict = failed_ ? rr::kFail : rr::kPass;
    update([&](PortRecord& r) {
        r.finalResult = verdict;
        r.finishNotice = verdict;
        r.progress = 100;
    });
    post();
}

}  // namespace vq
