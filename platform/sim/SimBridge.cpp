#include "platform/sim/SimBridge.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "base/Format.h"
#include "platform/sim/SimBridgeInternal.h"
#include "platform/sim/SimDiskArea.h"
#include "resources/ImageRule.h"

namespace vq::sim {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(CommandKind::Count)> kNames{
    "Unknown",
    "TestUnitReady",
    "RequestSense",
    "Inquiry",
    "InquiryVpd",
    "ReadCapacity10",
    "ReadCapacity16",
    "Read10",
    "Write10",
    "ModeSense10",
    "ModeSelect10",
    "ReadBuffer",
    "WriteBuffer",
    "VendorBlockC3",
    "AtaReadDmaExt",
    "AtaWriteDmaExt",
    "AtaPassThrough16",
    "AtaFlushCache",
    "AtaIdentifyPassThrough",
    "AtaPassThrough12",
    "IdentifyBridge",
    "ReadChipWord",
    "ReadXdata",
    "WriteXdata",
    "ReadMemory",
    "WriteMemory",
    "AtaIdentify",
    "AtaSmartStatus",
    "AtaCommand",
    "ReadFlashBusy",
    "ParallelFlashErase",
    "ParallelFlashProgram",
    "ParallelFlashRead",
    "ParallelFlashSetup",
    "ParallelFlashEnter",
    "Service0F",
    "SerialFlashRead",
    "SerialFlashWrite",
    "SerialFlashStatus",
    "SerialFlashChipErase",
    "SerialFlashEraseBlock",
    "SerialFlashReadId",
    "SpiCommand",
    "SpiRead",
    "SpiWrite",
    "Service23Read",
    "ReadConfigWord",
    "ReadConfigWordAt",
    "Service25",
    "ResetBridge",
    "ReadSubRevision",
    "ReadChipInfo",
    "SetStandbyTimer",
    "ModeControl",
    "Service56",
};

}  // namespace

std::string_view CommandKindName(CommandKind kind) {
    const auto i = static_cast<std::size_t>(kind);
    return i < kNames.size() ? kNames[i] : kNames[0];
}

std::optional<CommandKind> CommandKindFromName(std::string_view name) {
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        if (kNames[i] == name)
            return static_cast<CommandKind>(i);
    }
    return std::nullopt;
}

std::optional<FaultSpec::Type> FaultTypeFromName(std::string_view name) {
    using T = FaultSpec::Type;
    static constexpr std::pair<std::string_view, T> kTypes[] = {
        {"failCommand", T::FailCommand},
        {"timeout", T::Timeout},
        {"corruptProgram", T::CorruptProgram},
        {"stayBusy", T::StayBusy},
        {"noReturn", T::NoReturn},
        {"vanishMidTransfer", T::VanishMidTransfer},
        {"outOfSpace", T::OutOfSpace},
        {"otherIdentity", T::OtherIdentity},
        {"corruptSector", T::CorruptSector},
    };
    for (const auto& [n, t] : kTypes) {
        if (n == name)
            return t;
    }
    return std::nullopt;
}

CommandKind ClassifyCommand(std::span<const std::uint8_t> cdb) {
    std::array<std::uint8_t, 16> c{};
    std::copy_n(cdb.begin(), std::min<std::size_t>(cdb.size(), 16), c.begin());
    using K = CommandKind;
    if (cdb.empty())
        return K::Unknown;
    switch (c[0]) {
        case 0x00:
            return K::TestUnitReady;
        case 0x03:
            return K::RequestSense;
        case 0x12:
            return (c[1] & 1) ? K::InquiryVpd : K::Inquiry;
        case 0x25:
            return K::ReadCapacity10;
        case 0x9E:
            return K::ReadCapacity16;
        case 0x28:
            return K::Read10;
        case 0x2A:
            return K::Write10;
        case 0x5A:
            return K::ModeSense10;
        case 0x55:
            return K::ModeSelect10;
        case 0x3C:
            return K::ReadBuffer;
        case 0x3B:
            return K::WriteBuffer;
        case 0xC3:
            return K::VendorBlockC3;
        case 0x85:
            return c[14] == 0x25   ? K::AtaReadDmaExt
                   : c[14] == 0x35 ? K::AtaWriteDmaExt
                                   : K::AtaPassThrough16;
        case 0xA1:
            return (c[9] == 0xEA || c[9] == 0xE7) ? K::AtaFlushCache
                   : c[9] == 0xEC                 ? K::AtaIdentifyPassThrough
                                                  : K::AtaPassThrough12;
        case 0xE0:
            return K::IdentifyBridge;
        case 0xDF:
            switch (c[11]) {
                case 0xFF:
                    return K::ReadChipWord;
                case 0xFD:
                    return K::ReadXdata;
                case 0xFE:
                    return K::WriteXdata;
                case 0xFA:
                    return K::ReadMemory;
                case 0xFB:
                    return K::WriteMemory;
                case 0xFC:
                    return K::Unknown;
                case 0xEC:
                case 0xA1:
                    return K::AtaIdentify;
                case 0xB0:
                    return K::AtaSmartStatus;
                default:
                    return K::AtaCommand;
            }
        case 0xFF:
            if (c[1] != 0x04)
                return K::Unknown;
            switch (c[2]) {
                case 0x00:
                    return K::ReadFlashBusy;
                case 0x01:
                    return K::ParallelFlashErase;
                case 0x02:
                    return K::ParallelFlashProgram;
                case 0x03:
                    return K::ParallelFlashRead;
                case 0x04:
                    return K::ParallelFlashSetup;
                case 0x05:
                    return K::ParallelFlashEnter;
                case 0x0F:
                    return K::Service0F;
                case 0x10:
                    return K::SerialFlashRead;
                case 0x11:
                    return K::SerialFlashWrite;
                case 0x12:
                    return K::SerialFlashStatus;
                case 0x13:
                    return K::SerialFlashChipErase;
                case 0x14:
                    return K::SerialFlashEraseBlock;
                case 0x15:
                    return K::SerialFlashReadId;
                case 0x20:
                    return K::SpiCommand;
                case 0x21:
                    return K::SpiRead;
                case 0x22:
                    return K::SpiWrite;
                case 0x23:
                    return K::Service23Read;
                case 0x24:
                    return K::ReadConfigWord;
                case 0x25:
                    return c[3] != 0 ? K::ReadConfigWordAt : K::Service25;
                case 0x26:
                    return K::ResetBridge;
                case 0x30:
                    return K::ReadSubRevision;
                case 0xA0:
                    return K::ReadChipInfo;
                case 0xA3:
                    return K::SetStandbyTimer;
                case 0xC8:
                    return K::ModeControl;
                case 0x56:
                    return K::Service56;
                default:
                    return K::Unknown;
            }
        default:
            return K::Unknown;
    }
}

std::string FormatTraceRecord(const TraceRecord& r) {
    std::string cdb;
    for (std::size_t i = 0; i < r.cdbLength; ++i)
        cdb += Format(i ? " %02X" : "%02X", r.cdb[i]);
    const char* dir = r.direction == DataDirection::In    ? "in"
                      : r.direction == DataDirection::Out ? "out"
                                                          : "none";
    return Format("%12.3f ms  %-22s %-47s %-4s %6u  -> call %d error %u status %u bytes %u",
                  static_cast<double>(r.timeNs) / 1e6, std::string(CommandKindName(r.kind)), cdb,
                  dir, r.length, r.result.callSucceeded ? 1 : 0, r.result.lastError,
                  r.result.scsiStatus, r.result.bytesTransferred);
}

SimBridge::SimBridge(BridgeConfig config, SimClock& clock, std::filesystem::path workFolder,
                     std::uint32_t deviceNumber)
    : config_(std::move(config)),
      profile_(ProfileFor(config_.kind)),
      clock_(clock),
      deviceNumber_(deviceNumber) {
    eeprom_.fit(config_.hasEeprom.value_or(profile_.hasEeprom), config_.eeprom);
    const std::uint8_t flashType = config_.flashType.value_or(profile_.flashType);
    const std::uint32_t flashSize = config_.flashSize ? config_.flashSize : profile_.flashSize;
    flash_.fit(FlashFamilyFor(flashType), flashSize, config_.flashImage, config_.flashProtected);
    installFactoryImage();
    if (profile_.firmware == FirmwareHome::ParallelFlash) {
        parallel_.fit(config_.parallelFlashType, config_.parallelImage);
        if (config_.firmwarePresent && Blank(std::span(parallel_.bytes()).first(16))) {
            auto img = MakeFirmwareImage(config_.kind, 0x4000);
            PutImageVersion(img, config_.kind, config_.firmwareVersion);
            std::copy(img.begin(), img.end(), parallel_.bytes().begin());
        }
    }

    for (int pos = 0; pos < 2; ++pos) {
        const auto& d = pos == 0 ? config_.master : config_.slave;
        if (!d)
            continue;
        auto image = d->image.empty() ? workFolder / Format("bridge%u-%s.img", deviceNumber_,
                                                            pos == 0 ? "master" : "slave")
                                      : d->image;
        DriveConfig drive = *d;
        if (!drive.hiddenSectors)
            drive.hiddenSectors = keepsDiskArea() && !drive.packet ? 1024 : 0;
        drives_[static_cast<std::size_t>(pos)] = std::make_unique<SimDrive>(drive, image);
    }
    auto faults = std::move(config_.faults);
    config_.faults.clear();
    for (const auto& f : faults)
        planFault(f);
    boot();
}

void SimBridge::planFault(const FaultSpec& f) {
    FaultSpec planned = f;
    // Counted from the commands the device has already seen.
    const bool any = f.command.empty() || f.command == "any";
    const auto kind =
        any ? std::nullopt
            : std::optional(CommandKindFromName(f.command).value_or(CommandKind::Count));
    const std::uint32_t seen =
        any ? countAll_
            : (*kind == CommandKind::Count ? 0 : counts_[static_cast<std::size_t>(*kind)]);
    planned.n += seen;
    faultKinds_.push_back(kind);
    if (f.type == FaultSpec::Type::OutOfSpace) {
        for (auto& d : drives_) {
            if (d)
                d->setSpaceLimit(f.bytes);
        }
    }
    config_.faults.push_back(planned);
}

void SimBridge::addFault(const FaultSpec& fault) {
    std::lock_guard lock(mutex_);
    planFault(fault);
}

// ---- bus presence and boot ----

bool SimBridge::present() {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    return bus_.presentAt(clock_.latestNs());
}

std::uint64_t SimBridge::generation() {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    return bus_.generation();
}

std::optional<std::uint64_t> SimBridge::attach() {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    if (!bus_.presentAt(clock_.latestNs()))
        return std::nullopt;
    return bus_.generation();
}

std::optional<StorageDeviceNumber> SimBridge::deviceNumber(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    if (!bus_.presentAt(clock_.latestNs()) || generation != bus_.generation())
        return std::nullopt;
    StorageDeviceNumber n;
    n.deviceType = (drives_[0] && drives_[0]->packet()) ? 2u : 7u;
    n.deviceNumber = deviceNumber_;
    n.partitionNumber = 0;
    return n;
}

void SimBridge::unplug() {
    std::lock_guard lock(mutex_);
    bus_.leave();
}

void SimBridge::powerLost() {
    std::lock_guard lock(mutex_);
    const std::int64_t now = clock_.latestNs();
    bus_.settle(now);
    if (bus_.gone())
        return;
    if (config_.timing.powerOffMs == 0)
        bus_.leave();
    else
        bus_.supplyLost(now + static_cast<std::int64_t>(config_.timing.powerOffMs) * 1'000'000);
}

bool SimBridge::onCharge() {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    return bus_.onCharge();
}

void SimBridge::setRegisterListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    registerListener_ = std::move(listener);
}

void SimBridge::setBusListener(std::function<void()> listener) {
    std::lock_guard lock(mutex_);
    busListener_ = std::move(listener);
}

void SimBridge::plugIn() {
    std::lock_guard lock(mutex_);
    bus_.settle(clock_.latestNs());
    if (bus_.onCharge()) {
        bus_.supplyBack();
        return;
    }
    bus_.arrive(clock_.nowNs());
    boot();
}

// With firmwarePresent and a blank firmware area the board comes with the factory image,
// sealed as the boot code wants it; the later families' image carries the scenario's
// version bytes and INQUIRY texts.
void SimBridge::installFactoryImage() {
    auto& flash = flash_.bytes();
    const bool flashHome = profile_.firmware == FirmwareHome::SerialFlash ||
                           profile_.firmware == FirmwareHome::Buffers;
    if (!config_.firmwarePresent || !flashHome || !flash_.fitted())
        return;
    std::uint32_t len = FactoryImageLength(profile_);
    len = std::min<std::uint32_t>(len, static_cast<std::uint32_t>(flash.size()));
    const std::uint32_t check = std::min<std::uint32_t>(profile_.firmwareOffset, len);
    if (!Blank(std::span(flash).subspan(check, std::min<std::size_t>(16, len - check))))
        return;
    auto img = MakeFirmwareImage(config_.kind, len);
    PutImageVersion(img, config_.kind, config_.firmwareVersion);
    if (config_.kind == 19 || config_.kind == 20)
        SealCrc16Image(img);
    if (config_.kind >= 21 && config_.kind <= 24) {
        for (std::uint32_t bank = 0; bank + kBankSize <= img.size(); bank += kBankSize) {
            std::fill_n(img.begin() + bank + 1552, 24, std::uint8_t{0});
            std::copy_n(config_.inquiryVendor.begin(),
                        std::min<std::size_t>(config_.inquiryVendor.size(), 7),
                        img.begin() + bank + 1552);
            std::copy_n(config_.inquiryProduct.begin(),
                        std::min<std::size_t>(config_.inquiryProduct.size(), 15),
                        img.begin() + bank + 1560);
            SealBank(std::span(img).subspan(bank, kBankSize));
        }
    }
    std::copy(img.begin(), img.end(), flash.begin());
    // The block before the firmware holds the configuration: left blank.
    if (profile_.firmwareOffset > 0 && profile_.store == ConfigStore::SerialFlash &&
        profile_.configOffset < profile_.firmwareOffset)
        std::fill_n(flash.begin(), profile_.firmwareOffset, 0xFF);
}

// The mask ROM starts only the manufacturing program made for it: the one for its chip,
// ROM version (IdentifyBridge byte 7) and variant (byte 5), or chip revision for kind 26.
bool SimBridge::acceptsManufacturingImage(std::span<const std::uint8_t> image) const {
    std::string name;
    switch (config_.kind) {
        case 21:
        case 22:
        case 23:
        case 24: {
            const char* number = profile_.variant == 'a'   ? "671"
                                 : profile_.variant == 'b' ? "672"
                                 : profile_.variant == 'c' ? "673"
                                 : profile_.variant == 'e' ? "675"
                                                           : "000";
            name = Format("VQS%s_ROM%u_MFG", number, config_.romVersion);
            break;
        }
        case 25:
            name = "VQS703_ROM0_MFG";
            break;
        case 26:
            name = Format("VQS702_ROM_MFG_A%d", config_.revision - 1);
            break;
        case 27:
            name = "VQS708_ROM0_MFG";
            break;
        case 28:
        case 29:
            name = "VQS712_ROM0_MFG";
            break;
        default:
            return false;
    }
    return resources::MatchesImageRule(name, image.data(), image.size());
}

void SimBridge::leaveBus(std::int64_t at, bool comeBack) {
    bus_.reset(at + static_cast<std::int64_t>(config_.timing.resetDelayMs) * 1'000'000, comeBack);
    if (otherIdentityArmed_)
        otherIdentity_ = otherIdentityArmed_;
    boot();
}

StorageView SimBridge::storage() const {
    StorageView v;
    v.kind = config_.kind;
    v.profile = &profile_;
    v.defaultIdentity = &config_.defaultIdentity;
    if (eeprom_.fitted())
        v.eeprom = eeprom_.bytes();
    v.flash = flash_.bytes();
    v.parallel = parallel_.bytes();
    v.diskConfig = diskConfig_;
    v.running = runningImage_;
    return v;
}

void SimBridge::boot() {
    xdata_.assign(0x10000, 0);
    if (config_.kind >= 11 && config_.kind <= 13)
        xdata_[0xFDB1] = 180;  // steps that take the memory-command form
    xdata_[0x702B] = 0x04;     // drive interface enabled
    for (const auto& [addr, bytes] : config_.registers) {
        for (std::size_t i = 0; i < bytes.size() && addr + i < xdata_.size(); ++i)
            xdata_[addr + i] = bytes[i];
    }
    flash_.powerOn();
    parallel_.powerOn();
    spiOpcode_ = 0;
    spiAddress_.clear();
    modeSwitchDoneAt_ = -1;
    modeByte_ = config_.modeByte;

    readDiskArea();
    firmware_ = FirmwareFound(storage()) || diskFirmware_.has_value();
    runningVersion_ = firmware_ ? config_.firmwareVersion : profile_.bootVersion;
    runningVendor_ = config_.inquiryVendor;
    runningProduct_ = config_.inquiryProduct;
    standby_ = 0;
    bootBank_ = -1;
    if (IsLaterFamily(config_.kind)) {
        buffers_ = firmware_ ? BufferState::Firmware : BufferState::MaskRom;
        runningImage_.clear();
        const auto& f = flash_.bytes();
        if (firmware_ && config_.kind <= 24) {
            // The running image is the bank booted from; it tells the INQUIRY texts, and
            // the device setting block its standby time.
            bootBank_ = BootBank(f);
            const auto bank = std::span(f).subspan(std::size_t(bootBank_) * kBankSize, kBankSize);
            runningImage_.assign(bank.begin(), bank.end());
            if (auto v = ImageText(bank, 1552, 8); !v.empty())
                runningVendor_ = v;
            if (auto p = ImageText(bank, 1560, 16); !p.empty())
                runningProduct_ = p;
            if (f.size() >= kSettingBlockAt + 24) {
                if (auto s = SettingBlockStandby(std::span(f).subspan(kSettingBlockAt, 24)))
                    standby_ = *s;
            }
        } else if (firmware_) {
            runningImage_.assign(
                f.begin(), f.begin() + std::min<std::size_t>(f.size(), profile_.programCapacity));
        }
    }
    // The version reported is the one the image that runs carries: the disk area's when
    // the board booted from its drive, else the one in its own storage.
    if (diskFirmware_) {
        if (config_.kind == 7 && !Blank(diskVersion_))
            runningVersion_ = diskVersion_;
    } else if (firmware_) {
        if (const auto v = RunningImageVersion(storage()))
            runningVersion_ = *v;
    }
    if (firmware_) {
        xdata_[0x703A] |= 0x15;  // firmware loaded (the bit each family tests)
        xdata_[0x70F3] |= 0x01;
        // Kind 8 runs from ROM; the signature tells that it booted a disk area.
        if (profile_.chipNumber && (config_.kind != 8 || diskFirmware_)) {
            const std::uint8_t sig[] = {0x55, 0xAA, 0xAA, 0x55};
            std::copy(std::begin(sig), std::end(sig), xdata_.begin() + 0xC000);
            std::memcpy(xdata_.data() + 0xC004, profile_.chipNumber, 3);
            xdata_[0xC007] = static_cast<std::uint8_t>('0' + config_.revision);
        }
    }
    identity_ = DecodeIdentity(storage(), firmware_);
    if (firmware_ && !storedSerial_.empty())
        identity_.serial = storedSerial_;
    if (otherIdentity_) {
        const FaultSpec& f = *otherIdentity_;
        if (!f.vid && !f.pid && !f.serial)
            identity_.pid = static_cast<std::uint16_t>(identity_.pid + 1);
        identity_.vid = f.vid.value_or(identity_.vid);
        identity_.pid = f.pid.value_or(identity_.pid);
        identity_.serial = f.serial.value_or(identity_.serial);
    }
}

// Kinds 7 and 8 boot the firmware of the reserved area on their drive when it is valid;
// boards without an EEPROM take their configuration from there too (SimDiskArea.h).
void SimBridge::readDiskArea() {
    diskConfig_.clear();
    diskFirmware_.reset();
    diskVersion_ = {};
    SimDrive* d = drives_[0].get();
    if (!keepsDiskArea() || !d)
        return;
    DiskArea area = FindDiskArea(*d, config_.kind, config_.chipFlag == 1);
    if (!eeprom_.fitted())
        diskConfig_ = std::move(area.config);
    diskFirmware_ = area.firmwareStart;
    diskVersion_ = area.version;
}

UsbIdentity SimBridge::identity() {
    std::lock_guard lock(mutex_);
    return identity_;
}

// ---- the pass-through ----

ScsiResult SimBridge::execute(const ScsiRequest& request, std::uint64_t generation) {
    std::int64_t duration = 0;
    ScsiResult result;
    TraceRecord record;
    std::function<void(const TraceRecord&)> sink;
    std::function<void()> left;
    std::function<void()> wrote;
    {
        std::lock_guard lock(mutex_);
        const std::int64_t start = clock_.nowNs();
        bus_.settle(clock_.latestNs());
        if (!bus_.presentAt(clock_.latestNs()) || generation != bus_.generation()) {
            result.lastError = kErrorDeviceNotConnected;
            return result;
        }
        if (request.cdb.size() < 6 || request.cdb.size() > 16) {
            result.lastError = kErrorInvalidParameter;
            return result;
        }
        Exchange ex;
        std::copy(request.cdb.begin(), request.cdb.end(), ex.c.begin());
        ex.cdbLength = request.cdb.size();
        ex.dir = request.direction;
        ex.data = request.data;
        ex.kind = ClassifyCommand(request.cdb);
        ex.start = start;
        ex.cost = static_cast<std::int64_t>(config_.timing.commandUs) * 1000;
        ex.result.callSucceeded = true;

        const auto k = static_cast<std::size_t>(ex.kind);
        ++counts_[k];
        ++countAll_;
        bool failed = false, vanish = false, stick = false, silent = false;
        for (std::size_t i = 0; i < config_.faults.size(); ++i) {
            const FaultSpec& f = config_.faults[i];
            if (faultKinds_[i] && *faultKinds_[i] != ex.kind)
                continue;
            const std::uint32_t count = faultKinds_[i] ? counts_[k] : countAll_;
            switch (f.type) {
                case FaultSpec::Type::FailCommand:
                    failed = failed || (count >= f.n && (f.times == 0 || count - f.n < f.times));
                    break;
                case FaultSpec::Type::Timeout:
                    silent = silent || (count >= f.n && (f.times == 0 || count - f.n < f.times));
                    break;
                case FaultSpec::Type::StayBusy:
                    stick = stick || count >= f.n;  // from the end of this command on
                    break;
                case FaultSpec::Type::NoReturn:
                    noReturn_ = noReturn_ || count >= f.n;
                    break;
                case FaultSpec::Type::OtherIdentity:
                    if (count >= f.n && !otherIdentityArmed_)
                        otherIdentityArmed_ = f;
                    break;
                case FaultSpec::Type::VanishMidTransfer:
                    vanish = vanish || (count == f.n && !request.data.empty());
                    break;
                default:
                    break;
            }
        }
        if (vanish) {
            // The board drops off the bus halfway through the data phase; the command
            // takes no effect and the device stays away until it is plugged in again.
            const std::size_t half = request.data.size() / 2;
            if (request.direction == DataDirection::In)
                std::fill_n(request.data.begin(), half, std::uint8_t{0});
            busTime(ex, half);
            ex.result.callSucceeded = false;
            ex.result.lastError = kErrorDeviceNotConnected;
            ex.result.bytesTransferred = static_cast<std::uint32_t>(half);
            bus_.leave();
        } else if (failed) {
            checkCondition(ex, 0x04, 0x44);  // hardware error, internal target failure
        } else if (silent) {
            // The device never answers; the host waits out its own time-out.
            ex.cost = static_cast<std::int64_t>(request.timeoutSeconds + 1) * 1'000'000'000;
            ex.result.callSucceeded = false;
            ex.result.lastError = kErrorSemTimeout;
        } else {
            dispatch(ex);
        }
        if (stick) {
            flash_.stick();
            parallel_.stick();
        }
        duration = ex.cost;
        const std::int64_t limit =
            static_cast<std::int64_t>(request.timeoutSeconds) * 1'000'000'000;
        if (request.timeoutSeconds > 0 && duration > limit) {
            // The host gives up; what the device started goes on without it.
            ex.result.callSucceeded = false;
            ex.result.lastError = kErrorSemTimeout;
            ex.result.scsiStatus = 0;
            duration = limit;
        }
        if (ex.resetAfter)
            leaveBus(start + ex.cost, !noReturn_);
        if (ex.resetAfter || vanish)
            left = busListener_;
        if (ex.kind == CommandKind::WriteXdata && ex.result.scsiStatus == 0)
            wrote = registerListener_;
        result = ex.result;

        record.timeNs = start;
        std::copy(request.cdb.begin(), request.cdb.end(), record.cdb.begin());
        record.cdbLength = static_cast<std::uint8_t>(request.cdb.size());
        record.direction = request.direction;
        record.length = static_cast<std::uint32_t>(request.data.size());
        record.kind = ex.kind;
        record.result = result;
        if (config_.traceLimit > 0) {
            if (trace_.size() >= config_.traceLimit)
                trace_.pop_front();
            trace_.push_back(record);
        }
        sink = traceSink_;
    }
    clock_.advanceNs(duration);
    if (sink)
        sink(record);
    if (left)
        left();
    if (wrote)
        wrote();
    return result;
}

// ---- inspection ----

std::vector<TraceRecord> SimBridge::trace() {
    std::lock_guard lock(mutex_);
    return {trace_.begin(), trace_.end()};
}

void SimBridge::clearTrace() {
    std::lock_guard lock(mutex_);
    trace_.clear();
}

void SimBridge::setTraceSink(std::function<void(const TraceRecord&)> sink) {
    std::lock_guard lock(mutex_);
    traceSink_ = std::move(sink);
}

std::vector<std::uint8_t> SimBridge::eeprom() {
    std::lock_guard lock(mutex_);
    return eeprom_.bytes();
}

std::vector<std::uint8_t> SimBridge::serialFlash() {
    std::lock_guard lock(mutex_);
    return flash_.bytes();
}

std::vector<std::uint8_t> SimBridge::parallelFlash() {
    std::lock_guard lock(mutex_);
    return parallel_.bytes();
}

std::vector<std::uint8_t> SimBridge::registers(std::uint16_t address, std::size_t length) {
    std::lock_guard lock(mutex_);
    length = std::min<std::size_t>(length, xdata_.size() - address);
    std::vector<std::uint8_t> out(length);
    readRegisters(address, out);
    return out;
}

// The register space as the host reads it: the presence register follows the drives,
// strapped bits read their fixed level.
void SimBridge::readRegisters(std::uint32_t address, std::span<std::uint8_t> out) const {
    std::copy_n(xdata_.begin() + address, out.size(), out.begin());
    if (address <= 0x720F && 0x720F < address + out.size())
        out[0x720F - address] = presenceRegister();
    for (const auto& s : config_.straps) {
        if (s.address >= address && s.address < address + out.size()) {
            std::uint8_t& b = out[s.address - address];
            b = static_cast<std::uint8_t>((b & ~s.mask) | (s.value & s.mask));
        }
    }
}

std::uint8_t SimBridge::flashStatus() {
    std::lock_guard lock(mutex_);
    return flash_.status(clock_.nowNs());
}

bool SimBridge::firmwareRunning() {
    std::lock_guard lock(mutex_);
    return firmware_;
}

BufferState SimBridge::bufferState() {
    std::lock_guard lock(mutex_);
    return buffers_;
}

std::uint32_t SimBridge::standbyTimer() {
    std::lock_guard lock(mutex_);
    return standby_;
}

std::uint8_t SimBridge::powerControlLines() {
    std::lock_guard lock(mutex_);
    return xdata_[0x7059];
}

std::uint32_t SimBridge::resets() {
    std::lock_guard lock(mutex_);
    return bus_.resets();
}

SimDrive* SimBridge::drive(int position) {
    return (position == 0 || position == 1) ? drives_[static_cast<std::size_t>(position)].get()
                                            : nullptr;
}

std::uint8_t SimBridge::presenceRegister() const {
    std::uint8_t v = 0;
    if (drives_[0])
        v |= static_cast<std::uint8_t>(0x04 | (drives_[0]->packet() ? 0x01 : 0));
    if (drives_[1])
        v |= static_cast<std::uint8_t>(0x40 | (drives_[1]->packet() ? 0x10 : 0));
    return v;
}

}  // namespace vq::sim
