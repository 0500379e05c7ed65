#include "platform/sim/SimBridge.h"

#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "base/Format.h"
#include "platform/sim/SimBridgeInternal.h"

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

bool Blank(std::span<const std::uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0xFF; }) ||
           std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0x00; });
}

// A string descriptor at `pos`: byte 0 its length in bytes (2 + 2 n for n characters),
// byte 1 the type 3, then the characters, one byte each or two (character, 0).
std::string DecodeDescriptor(std::span<const std::uint8_t> b, std::size_t pos, std::size_t maxChars,
                             bool oneByte) {
    std::string s;
    if (pos + 2 > b.size() || b[pos + 1] != 3 || b[pos] < 2)
        return s;
    const std::size_t n = std::min<std::size_t>((b[pos] - 2u) / 2u, maxChars);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t at = pos + 2 + (oneByte ? i : 2 * i);
        if (at >= b.size() || b[at] == 0)
            break;
        s.push_back(static_cast<char>(b[at]));
    }
    return s;
}

// Parallel-flash descriptors may hold UTF-16 or one-byte characters; the device takes
// UTF-16 when every second byte of the text is zero.
std::string DecodeEitherDescriptor(std::span<const std::uint8_t> b, std::size_t pos,
                                   std::size_t maxChars) {
    if (pos + 2 > b.size() || b[pos + 1] != 3 || b[pos] < 2)
        return {};
    const std::size_t bytes = std::min<std::size_t>(b[pos] - 2u, 2 * maxChars);
    bool wide = bytes >= 2;
    for (std::size_t i = 1; i < bytes && pos + 2 + i < b.size(); i += 2)
        wide = wide && b[pos + 2 + i] == 0;
    return DecodeDescriptor(b, pos, maxChars, !wide);
}

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
    const std::uint8_t flashType = config_.flashType.value_or(profile_.flashType);
    family_ = &FlashFamilyFor(flashType);
    hasEeprom_ = config_.hasEeprom.value_or(profile_.hasEeprom);
    eeprom_.assign(128, 0xFF);
    std::copy_n(config_.eeprom.begin(), std::min<std::size_t>(config_.eeprom.size(), 128),
                eeprom_.begin());

    const std::uint32_t flashSize = config_.flashSize ? config_.flashSize : profile_.flashSize;
    if (flashType != 255 && flashSize > 0) {
        flash_.assign(flashSize, 0xFF);
        std::copy_n(config_.flashImage.begin(),
                    std::min<std::size_t>(config_.flashImage.size(), flashSize), flash_.begin());
    }
    const bool flashHome = profile_.firmware == FirmwareHome::SerialFlash ||
                           profile_.firmware == FirmwareHome::Buffers;
    if (config_.firmwarePresent && flashHome && flashFitted()) {
        std::uint32_t len = FactoryImageLength(profile_);
        len = std::min<std::uint32_t>(len, static_cast<std::uint32_t>(flash_.size()));
        const std::uint32_t check = std::min<std::uint32_t>(profile_.firmwareOffset, len);
        if (Blank(std::span(flash_).subspan(check, std::min<std::size_t>(16, len - check)))) {
            const auto img = MakeFirmwareImage(config_.kind, len);
            std::copy(img.begin(), img.end(), flash_.begin());
            // The block before the firmware holds the configuration: left blank.
            if (profile_.firmwareOffset > 0 && profile_.store == ConfigStore::SerialFlash &&
                profile_.configOffset < profile_.firmwareOffset)
                std::fill_n(flash_.begin(), profile_.firmwareOffset, 0xFF);
        }
    }
    if (profile_.firmware == FirmwareHome::ParallelFlash) {
        parallel_.assign(0x10000, 0xFF);
        std::copy_n(config_.parallelImage.begin(),
                    std::min<std::size_t>(config_.parallelImage.size(), parallel_.size()),
                    parallel_.begin());
        if (config_.firmwarePresent && Blank(std::span(parallel_).first(16))) {
            const auto img = MakeFirmwareImage(config_.kind, 0x4000);
            std::copy(img.begin(), img.end(), parallel_.begin());
        }
    }
    flashStatus_ = config_.flashProtected ? 0x1C : 0x00;

    for (int pos = 0; pos < 2; ++pos) {
        const auto& d = pos == 0 ? config_.master : config_.slave;
        if (!d)
            continue;
        auto image = d->image.empty() ? workFolder / Format("bridge%u-%s.img", deviceNumber_,
                                                            pos == 0 ? "master" : "slave")
                                      : d->image;
        drives_[static_cast<std::size_t>(pos)] = std::make_unique<SimDrive>(*d, image);
    }
    for (const auto& f : config_.faults) {
        if (f.command.empty() || f.command == "any")
            faultKinds_.push_back(std::nullopt);
        else
            faultKinds_.push_back(CommandKindFromName(f.command).value_or(CommandKind::Count));
        if (f.type == FaultSpec::Type::OutOfSpace) {
            for (auto& d : drives_) {
                if (d)
                    d->setSpaceLimit(f.bytes);
            }
        }
    }
    boot();
}

bool HasExtendedBlock(std::uint8_t kind) {
    return kind == 19 || kind == 20 || (kind >= 25 && kind <= 29);
}

std::uint32_t FactoryImageLength(const BridgeProfile& p) {
    switch (p.kind) {
        case 19:
        case 20:
            return 0xC000;
        case 21:
        case 22:
        case 23:
        case 24:
            return 0x40000;
        case 25:
        case 26:
            return 0xC400;
        case 27:
        case 28:
        case 29:
            return 0x10400;
        default:
            return 0x8000;
    }
}

// ---- bus presence and boot ----

bool SimBridge::presentAt(std::int64_t now) const {
    return !gone_ && now >= returnAt_;
}

bool SimBridge::present() {
    std::lock_guard lock(mutex_);
    return presentAt(clock_.nowNs());
}

std::uint64_t SimBridge::generation() {
    std::lock_guard lock(mutex_);
    return generation_;
}

std::optional<std::uint64_t> SimBridge::attach() {
    std::lock_guard lock(mutex_);
    if (!presentAt(clock_.nowNs()))
        return std::nullopt;
    return generation_;
}

std::optional<StorageDeviceNumber> SimBridge::deviceNumber(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (!presentAt(clock_.nowNs()) || generation != generation_)
        return std::nullopt;
    StorageDeviceNumber n;
    n.deviceType = (drives_[0] && drives_[0]->packet()) ? 2u : 7u;
    n.deviceNumber = deviceNumber_;
    n.partitionNumber = 0;
    return n;
}

void SimBridge::unplug() {
    std::lock_guard lock(mutex_);
    gone_ = true;
    ++generation_;
}

void SimBridge::plugIn() {
    std::lock_guard lock(mutex_);
    gone_ = false;
    ++generation_;
    returnAt_ = clock_.nowNs();
    boot();
}

void SimBridge::leaveBus(std::int64_t at, bool comeBack) {
    ++generation_;
    ++resets_;
    returnAt_ = at + static_cast<std::int64_t>(config_.timing.resetDelayMs) * 1'000'000;
    if (!comeBack)
        gone_ = true;
    boot();
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
    flashStatus_ &= 0x9C;  // the protection bits are kept, the write enable latch is not
    statusWriteEnabled_ = false;
    flashBusyUntil_ = 0;
    aai_ = false;
    spiOpcode_ = 0;
    spiAddress_.clear();
    parallelMode_ = false;
    parallelArmed_ = false;
    parallelBusyUntil_ = 0;
    modeSwitchDoneAt_ = -1;
    modeByte_ = config_.modeByte;

    switch (profile_.firmware) {
        case FirmwareHome::Rom:
            firmware_ = true;
            break;
        case FirmwareHome::SerialFlash:
        case FirmwareHome::Buffers:
            firmware_ = flashFitted() && profile_.firmwareOffset + 16 <= flash_.size() &&
                        !Blank(std::span(flash_).subspan(profile_.firmwareOffset, 16));
            break;
        case FirmwareHome::ParallelFlash:
            firmware_ = !Blank(std::span(parallel_).first(16));
            break;
    }
    if (IsLaterFamily(config_.kind)) {
        buffers_ = firmware_ ? BufferState::Firmware : BufferState::MaskRom;
        runningImage_.clear();
        if (firmware_)
            runningImage_.assign(
                flash_.begin(),
                flash_.begin() + std::min<std::size_t>(flash_.size(), profile_.programCapacity));
    }
    if (firmware_) {
        xdata_[0x703A] |= 0x15;  // firmware loaded (the bit each family tests)
        xdata_[0x70F3] |= 0x01;
        if (profile_.chipNumber) {
            const std::uint8_t sig[] = {0x55, 0xAA, 0xAA, 0x55};
            std::copy(std::begin(sig), std::end(sig), xdata_.begin() + 0xC000);
            std::memcpy(xdata_.data() + 0xC004, profile_.chipNumber, 3);
            xdata_[0xC007] = static_cast<std::uint8_t>('0' + config_.revision);
        }
    }
    readDiskConfig();
    decodeIdentity();
}

// Kinds 7 and 8 on boards without an EEPROM keep their configuration on the attached
// disk: at boot the chip reads the drive's last sector and takes the block at 128 when
// the sector starts with the 0x56 0x51 pattern.
void SimBridge::readDiskConfig() {
    diskConfig_.clear();
    SimDrive* d = drives_[0].get();
    if (hasEeprom_ || (config_.kind != 7 && config_.kind != 8) || !d || d->packet() ||
        d->sectors() == 0)
        return;
    std::vector<std::uint8_t> sector(d->sectorSize());
    if (d->read(d->sectors() - 1, 1, sector.data()) != SimDrive::Io::Ok)
        return;
    if (sector[0] == 0x56 && sector[1] == 0x51)
        diskConfig_.assign(sector.begin() + 128, sector.begin() + 256);
}

std::span<const std::uint8_t> SimBridge::heldConfigBlock() const {
    if (profile_.store == ConfigStore::Eeprom) {
        if (!diskConfig_.empty())
            return diskConfig_;
        if (hasEeprom_)
            return eeprom_;
        if (flash_.size() >= 0x8080)
            return std::span(flash_).subspan(0x8000, 128);
        return {};
    }
    if (profile_.store != ConfigStore::SerialFlash)
        return {};
    // The families with a 256-byte extended block hand out all of it; kind 26 keeps it at
    // 0xD000 or, when that sector is blank, at 0x1D000.
    const std::size_t len = HasExtendedBlock(config_.kind) ? 256 : 128;
    std::size_t at = profile_.configOffset;
    if (config_.kind == 26 && at + len <= flash_.size() &&
        Blank(std::span(flash_).subspan(at, len)) && 0x1D000 + len <= flash_.size())
        at = 0x1D000;
    if (at + len <= flash_.size())
        return std::span(flash_).subspan(at, len);
    return {};
}

// How the device reads the configuration it holds. A block whose first two bytes are a
// USB device descriptor header (0x12, 0x01) is the descriptor layout: vendor ID at 8,
// product ID at 10, strings at 20, 64 and 96 with two bytes per character. Otherwise
// the IDs are at 0 and 2 and the position of the product string tells the layout: a
// descriptor type byte 3 at 49 means the compact layout (strings at 12, 48 and 84, one
// byte per character), a type byte at 53 the layout with strings at 12, 52 and 96 and two
// bytes per character. A blank block (all 0x00 or 0xFF), or one that fits none of these,
// leaves the chip's default identity.
void SimBridge::decodeIdentity() {
    identity_ = config_.defaultIdentity;
    if (profile_.store == ConfigStore::ParallelFlash) {
        const std::span<const std::uint8_t> p = parallel_;
        if (Blank(p.subspan(0x4008, 4)))
            return;
        identity_.vid = GetLE16(p, 0x4008);
        identity_.pid = GetLE16(p, 0x400A);
        identity_.manufacturer = DecodeEitherDescriptor(p, 0x40A0, 31);
        identity_.product = DecodeEitherDescriptor(p, 0x40E0, 31);
        identity_.serial = DecodeEitherDescriptor(p, 0x4120, 31);
        return;
    }
    if (profile_.store == ConfigStore::ImageStrings) {
        if (!firmware_ || flash_.size() < 2048)
            return;
        const std::span<const std::uint8_t> f = flash_;
        const auto m = DecodeDescriptor(f, 1576, 15, true);
        const auto p = DecodeDescriptor(f, 1608, 15, true);
        if (!m.empty())
            identity_.manufacturer = m;
        if (!p.empty())
            identity_.product = p;
        return;
    }
    const auto b = heldConfigBlock();
    if (b.size() < 128 || Blank(b))
        return;
    if (b[0] == 0x12 && b[1] == 0x01) {
        identity_.vid = GetLE16(b, 8);
        identity_.pid = GetLE16(b, 10);
        identity_.manufacturer = DecodeDescriptor(b, 20, 21, false);
        identity_.product = DecodeDescriptor(b, 64, 21, false);
        identity_.serial = DecodeDescriptor(b, 96, 13, false);
    } else if (b[49] == 3) {
        identity_.vid = GetLE16(b, 0);
        identity_.pid = GetLE16(b, 2);
        identity_.manufacturer = DecodeDescriptor(b, 12, 30, true);
        identity_.product = DecodeDescriptor(b, 48, 30, true);
        identity_.serial = DecodeDescriptor(b, 84, 30, true);
    } else if (b[53] == 3) {
        identity_.vid = GetLE16(b, 0);
        identity_.pid = GetLE16(b, 2);
        identity_.manufacturer = DecodeDescriptor(b, 12, 18, false);
        identity_.product = DecodeDescriptor(b, 52, 21, false);
        identity_.serial = DecodeDescriptor(b, 96, 13, false);
    }
    // The extended block carries the manufacturer as plain text at 200-223.
    if (b.size() >= 224) {
        std::string text;
        for (std::size_t i = 200; i < 224 && b[i] != 0 && b[i] != 0xFF; ++i)
            text.push_back(static_cast<char>(b[i]));
        if (!text.empty())
            identity_.manufacturer = text;
    }
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
    {
        std::lock_guard lock(mutex_);
        const std::int64_t start = clock_.nowNs();
        if (!presentAt(start) || generation != generation_) {
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
        bool failed = false, vanish = false, stick = false;
        for (std::size_t i = 0; i < config_.faults.size(); ++i) {
            const FaultSpec& f = config_.faults[i];
            if (faultKinds_[i] && *faultKinds_[i] != ex.kind)
                continue;
            const std::uint32_t count = faultKinds_[i] ? counts_[k] : countAll_;
            switch (f.type) {
                case FaultSpec::Type::FailCommand:
                    failed = failed || count == f.n;
                    break;
                case FaultSpec::Type::StayBusy:
                    stick = stick || count >= f.n;  // from the end of this command on
                    break;
                case FaultSpec::Type::NoReturn:
                    noReturn_ = noReturn_ || count >= f.n;
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
            gone_ = true;
            ++generation_;
        } else if (failed) {
            checkCondition(ex, 0x04, 0x44);  // hardware error, internal target failure
        } else {
            dispatch(ex);
        }
        flashStuck_ = flashStuck_ || stick;
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
    return eeprom_;
}

std::vector<std::uint8_t> SimBridge::serialFlash() {
    std::lock_guard lock(mutex_);
    return flash_;
}

std::vector<std::uint8_t> SimBridge::parallelFlash() {
    std::lock_guard lock(mutex_);
    return parallel_;
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
    return static_cast<std::uint8_t>(flashStatus_ | (flashBusyAt(clock_.nowNs()) ? 1 : 0));
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
    return resets_;
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
