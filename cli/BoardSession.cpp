#include "cli/BoardSession.h"

#include <array>
#include <iostream>

#include "base/Format.h"
#include "base/Text.h"
#include "bridge/ConfigBuild.h"
#include "bridge/VendorCommands.h"
#include "platform/Clock.h"
#include "platform/Terminal.h"

namespace vq::cli {

BoardSession::~BoardSession() {
    station_.reset();
    if (platform_)
        platform_->op = console_;
}

int BoardSession::open(const std::string& settingsFile, const char* command) {
    platform_ = ctx_.bridgePlatform();
    if (!platform_)
        return kExitPlatform;
    console_ = platform_->op;
    platform_->op = &recorder_;
    rules_ = std::make_unique<SettingsPanel>(settings_, panel_, recorder_, platform_->home);
    if (!settingsFile.empty()) {
        try {
            rules_->LoadSettings(std::filesystem::absolute(settingsFile));
        } catch (const LogDirectoryError& e) {
            std::cerr << "vqmp-cli " << command << ": " << e.what() << "\n";
            return kExitFailed;
        }
        if (rules_->lastLoadOutcome() != LoadOutcome::Loaded) {
            flushMessages(std::cerr);
            std::cerr << "vqmp-cli " << command << ": cannot load " << settingsFile << "\n";
            return kExitFailed;
        }
        recorder_.clear();
    }
    station_ = std::make_unique<Station>(*platform_, *rules_);
    station_->DeviceRefresh();
    return kExitOk;
}

// The one place a --slot / --path choice becomes a board of this session's refresh.
const PortRecord* BoardSession::board(const DeviceChoice& choice, const char* command,
                                      int& exitCode, int& slot) {
    std::string path;
    exitCode = ctx_.resolveDevice(command, choice, path);
    if (exitCode != kExitOk)
        return nullptr;
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const PortRecord& r = station_->ports()[i];
        if (r.present && r.usable != 0 && !r.diskPath.empty() &&
            ToLower(r.diskPath) == ToLower(path)) {
            slot = static_cast<int>(i + 1);
            return &r;
        }
    }
    std::cerr << "vqmp-cli " << command << ": " << path << " is no usable bridge of the station\n";
    exitCode = kExitFailed;
    return nullptr;
}

bridge::BoardJob BoardSession::job(const PortRecord& r, bool eepromUpdate, bool firmwareUpdate,
                                   const bridge::FirmwareImage& firmware) {
    RunSettings& s = settings_;
    const bridge::Target t = target(r);
    bridge::BoardJob job;
    job.kind = static_cast<bridge::ChipKind>(r.chipKind);
    job.eepromUpdate = eepromUpdate;
    job.firmwareUpdate = firmwareUpdate;
    job.eepromOnly = s.EEPROMOnly != 0;
    job.parallelFlashType = s.FlashType;
    job.productRevision = s.ProductRevsion.str();
    job.eepromRetry = s.EEPROMRetry;
    job.eepromAtHdd = s.MPEEPROMAtHDD != 0;
    job.kestrinCustomer = s.MPKestrinCustomer != 0;
    job.usbSpeed = static_cast<std::uint8_t>(r.usbSpeed);
    job.flashType = static_cast<bridge::FlashType>(r.flashType);
    if (job.kind == 8)
        job.chipStep = bridge::ReadChipStep(t);
    if (!eepromUpdate)
        return job;

    // START: the panel's values collected, the EEPROM type applied again, then the rules
    // for empty VID and PID, absent strings and the serial's padding.
    rules_->CollectPanelSettings();
    rules_->EEPROMTypeChange();
    ConfigImage image = s.Config;
    const ConfigLayout& layout = s.Layout;
    const bridge::ChipKind first = bridge::KindOf(station_->firstChip());
    PutConfigWord(image, layout.vidPos, bridge::StartVid(s.VenderID.str()));
    PutConfigWord(image, layout.pidPos, bridge::StartPid(s.ProductID.str(), first));
    bridge::UsbStrings strings;
    strings.manufacturer = bridge::UsbString(s.StringA.str());
    strings.product = bridge::UsbString(s.StringB.str());
    const auto serial = bridge::UsbString(s.String3.str());
    if (serial)
        strings.serial = bridge::PaddedSerial(*serial, s.EnBarcodeMode != 0);

    // The device's block: family defaults, option bits, the drive's name, the strings.
    std::array<std::uint8_t, 512> identify{};
    const bool identified = bridge::AtaIdentify(t, identify);
    bridge::ApplyFamilyDefaults(job.kind, image, firmwareUpdate ? &firmware : nullptr);
    bridge::OptionSettings options;
    options.enMultiSec = s.EnMultiSec;
    options.enOver2TBMulLun = s.EnOver2TBMulLun != 0;
    options.vq646PWMode = s.VQ646PWMode != 0;
    options.vqb614REU = s.VQB614REU != 0;
    options.vqb614WDHDD = s.VQB614WDHDD != 0;
    options.oddSize = s.ODDSize;
    bridge::DeviceFacts facts;
    facts.chipStep = job.chipStep;
    facts.identifyWord106 = identified ? GetLE16(identify, 212) : 0;
    std::array<std::uint8_t, 1> reg{};
    if (job.kind == 17 || job.kind == 18) {
        if (bridge::ReadXdata(t, 0x703B, reg))
            facts.register703B = reg[0];
        if (bridge::ReadXdata(t, 0x70C8, reg))
            facts.register70C8 = reg[0];
    }
    bridge::ApplyOptionBits(job.kind, image, options, facts);
    if (s.MapToHDName != 0 && identified)
        strings.product = bridge::DriveModelName(identify);
    bridge::PlaceUsbStrings(image, layout, job.kind, s.TableType, strings, s.MapToHDName != 0);
    job.config = image;

    if (job.kind == 19 || job.kind == 20) {
        std::array<std::uint8_t, 128> second{};
        if (job.kind == 20 && !firmwareUpdate)
            bridge::ReadMemory(t, 49280, second);
        job.extended = bridge::ExtendedBlock(
            job.kind, image, second, strings.manufacturer.value_or(""), options, s.StringC.str(),
            static_cast<std::size_t>(std::max(0, layout.stringA.position)));
    }
    job.parallel.vid = s.VenderID.empty() ? Format("%04X", bridge::kDefaultVid) : s.VenderID.str();
    job.parallel.pid =
        s.ProductID.empty() ? Format("%04X", bridge::StartPid("", first)) : s.ProductID.str();
    job.parallel.manufacturer = strings.manufacturer.value_or("");
    job.parallel.product = strings.product.value_or("");
    job.parallel.serial = strings.serial.value_or("");
    job.parallel.inquiryFromManufacturer = s.EnInquiryStrSourceCtl != 0;
    return job;
}

bool BoardSession::resetAndRefind(int n) {
    const PortRecord& r = station_->ports()[static_cast<std::size_t>(n - 1)];
    Clock& clock = *platform_->clock;
    bridge::ResetBridge(target(r));
    clock.sleepMs(500);
    const int attempts = settings_.MPResetWait > 0 ? settings_.MPResetWait : 30;
    for (int i = 0; i < attempts; ++i) {
        clock.sleepMs(1000);
        station_->DeviceRefresh();
        const PortRecord& again = station_->ports()[static_cast<std::size_t>(n - 1)];
        if (again.present && again.chipKind != 0)
            return true;
    }
    return false;
}

void BoardSession::flushMessages(std::ostream& out) {
    for (const auto& m : recorder_.messages())
        out << "message: " << m.title << "|" << m.text << "\n";
    recorder_.clear();
}

ProgressDisplay::ProgressDisplay(std::string label)
    : label_(std::move(label)), terminal_(HostStderrIsTerminal()) {}

void ProgressDisplay::operator()(std::size_t done, std::size_t total) {
    if (total == 0)
        return;
    const int percent = static_cast<int>(done * 100 / total);
    if (terminal_) {
        const int filled = percent * 40 / 100;
        std::cerr << "\r" << label_ << " [" << std::string(static_cast<std::size_t>(filled), '#')
                  << std::string(static_cast<std::size_t>(40 - filled), ' ') << "] " << percent
                  << "%" << std::flush;
        shown_ = percent;
        return;
    }
    if (percent / 10 != shown_ / 10 || shown_ < 0) {
        std::cerr << label_ << ": " << percent << "%\n";
        shown_ = percent;
    }
}

void ProgressDisplay::finish() {
    if (terminal_ && shown_ >= 0)
        std::cerr << "\n";
}

}  // namespace vq::cli
