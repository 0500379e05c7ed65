// The command families the emulated bridge answers. Each handler reads the block, moves
// the data phase through sendIn/takeOut, changes the device state and charges emulated
// time to the exchange.
#include <algorithm>
#include <cstring>

#include "base/Bytes.h"
#include "platform/sim/SimBridge.h"
#include "platform/sim/SimBridgeInternal.h"

namespace vq::sim {

namespace {

constexpr std::int64_t kMs = 1'000'000;
constexpr std::int64_t kUs = 1'000;

// Sense keys and codes used in the answers.
constexpr std::uint8_t kNotReady = 0x02, kMediumError = 0x03, kHardwareError = 0x04,
                       kIllegalRequest = 0x05;
constexpr std::uint8_t kInvalidOpcode = 0x20, kLbaOutOfRange = 0x21, kInvalidField = 0x24,
                       kInvalidParameter = 0x26, kNoMedium = 0x3A, kWriteError = 0x0C,
                       kAborted = 0x00;

std::int64_t DataPhaseNs(std::uint64_t bytes, double mebibytesPerSecond) {
    return mebibytesPerSecond > 0 ? static_cast<std::int64_t>(static_cast<double>(bytes) * 1e9 /
                                                              (mebibytesPerSecond * 1048576.0))
                                  : 0;
}

std::uint32_t Be24(const std::array<std::uint8_t, 16>& c, std::size_t off) {
    return GetBE24(c, off);
}

void PutPadded(std::span<std::uint8_t> dst, std::string_view text) {
    for (std::size_t i = 0; i < dst.size(); ++i)
        dst[i] = static_cast<std::uint8_t>(i < text.size() ? text[i] : ' ');
}

}  // namespace

std::int64_t SimBridge::now(const Exchange& ex) const {
    return ex.start + ex.cost;
}

void SimBridge::checkCondition(Exchange& ex, std::uint8_t key, std::uint8_t asc) {
    ex.result.scsiStatus = 2;
    sense_.fill(0);
    sense_[0] = 0x70;
    sense_[2] = key;
    sense_[7] = 10;
    sense_[12] = asc;
}

void SimBridge::busTime(Exchange& ex, std::size_t bytes) {
    ex.cost += DataPhaseNs(bytes, config_.timing.busMegabytesPerSecond);
}

// The data-in phase: the host must have asked for data in, with room for the answer.
bool SimBridge::sendIn(Exchange& ex, std::span<const std::uint8_t> answer) {
    if (answer.empty())
        return true;
    if (ex.dir != DataDirection::In || ex.data.size() < answer.size()) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return false;
    }
    std::memcpy(ex.data.data(), answer.data(), answer.size());
    ex.result.bytesTransferred = static_cast<std::uint32_t>(answer.size());
    busTime(ex, answer.size());
    return true;
}

// The data-out phase: the host must send at least the length the block names; the
// device takes that many bytes.
std::optional<std::span<const std::uint8_t>> SimBridge::takeOut(Exchange& ex, std::size_t length) {
    if (length == 0)
        return std::span<const std::uint8_t>{};
    if (ex.dir != DataDirection::Out || ex.data.size() < length) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return std::nullopt;
    }
    ex.result.bytesTransferred = static_cast<std::uint32_t>(length);
    busTime(ex, length);
    return std::span<const std::uint8_t>(ex.data.data(), length);
}

int SimBridge::lunDrive() const {
    return drives_[0] ? 0 : drives_[1] ? 1 : -1;
}

void SimBridge::dispatch(Exchange& ex) {
    const auto& c = ex.c;
    switch (c[0]) {
        case 0x00:
            if (lunDrive() < 0)
                checkCondition(ex, kNotReady, kNoMedium);
            return;
        case 0x03: {
            const std::size_t n = std::min<std::size_t>(c[4], sense_.size());
            const auto s = sense_;
            sendIn(ex, std::span(s).first(n));
            return;
        }
        case 0x12:
            inquiry(ex);
            return;
        case 0x25:
            readCapacity(ex, false);
            return;
        case 0x9E:
            if ((c[1] & 0x1F) == 0x10)
                readCapacity(ex, true);
            else
                checkCondition(ex, kIllegalRequest, kInvalidField);
            return;
        case 0x28:
            readWrite10(ex, false);
            return;
        case 0x2A:
            readWrite10(ex, true);
            return;
        case 0x5A:
            modeSense(ex);
            return;
        case 0x55:
            modeSelect(ex);
            return;
        case 0x3C:
            readBuffer(ex);
            return;
        case 0x3B:
            writeBuffer(ex);
            return;
        case 0xC3: {
            if (auto d = takeOut(ex, c[9]))
                std::copy_n(d->begin(), std::min<std::size_t>(d->size(), blockC3_.size()),
                            blockC3_.begin());
            return;
        }
        case 0x85: {
            if (ex.cdbLength < 16)
                break;
            const std::uint64_t lba = std::uint64_t{c[8]} | std::uint64_t{c[10]} << 8 |
                                      std::uint64_t{c[12]} << 16 | std::uint64_t{c[7]} << 24 |
                                      std::uint64_t{c[9]} << 32 | std::uint64_t{c[11]} << 40;
            const std::uint32_t count = GetBE16(c, 5);
            ataCommand(ex, (c[13] & 0x10) ? 1 : 0, c[14], c[4], lba, count, false);
            return;
        }
        case 0xA1: {
            if (c[9] == 0xEC && !profile_.standardAta)
                break;  // the older chips do not translate IDENTIFY
            const std::uint64_t lba =
                std::uint64_t{c[5]} | std::uint64_t{c[6]} << 8 | std::uint64_t{c[7]} << 16;
            ataCommand(ex, (c[8] & 0x10) ? 1 : 0, c[9], c[3], lba, c[4], false);
            return;
        }
        case 0xE0:
            if (c[1] == 0xF4 && c[2] == 0xE7 && profile_.chipNumber) {
                identifyBridge(ex);
                return;
            }
            break;
        case 0xDF:
            vendorDF(ex);
            return;
        case 0xFF:
            if (c[1] == 0x04) {
                service(ex);
                return;
            }
            break;
        default:
            break;
    }
    checkCondition(ex, kIllegalRequest, kInvalidOpcode);
}

// ---- standard commands ----

void SimBridge::inquiry(Exchange& ex) {
    const auto& c = ex.c;
    const std::size_t alloc = GetBE16(c, 3);  // bytes 3-4; the older form uses byte 4 only
    const std::uint8_t type = (drives_[0] && drives_[0]->packet()) ? 0x05 : 0x00;
    const auto& fw = runningVersion_;
    if (c[1] & 1) {
        std::array<std::uint8_t, 84> p{};
        p[0] = type;
        p[1] = c[2];
        if (c[2] == 0x00) {
            p[3] = 2;
            p[5] = 0xC3;
            sendIn(ex, std::span(p).first(std::min<std::size_t>(alloc, 6)));
            return;
        }
        if (c[2] != 0xC3) {
            checkCondition(ex, kIllegalRequest, kInvalidField);
            return;
        }
        // Vendor page 0xC3: chip number and revision, firmware version bytes, the state
        // of the firmware and the device number.
        p[3] = 80;
        if (profile_.chipNumber)
            std::memcpy(p.data() + 4, profile_.chipNumber, 3);
        p[7] = static_cast<std::uint8_t>('0' + config_.revision);
        std::copy(fw.begin(), fw.end(), p.begin() + 8);
        p[14] = firmware_ ? 1 : 0;
        p[15] = config_.kind;
        PutBE32(p, 16, deviceNumber_);
        // The serial text stored from the identity record at the last activation.
        if (!storedSerial_.empty())
            PutPadded(std::span(p).subspan(64, 20), storedSerial_);
        sendIn(ex, std::span(p).first(std::min<std::size_t>(alloc, p.size())));
        return;
    }
    std::array<std::uint8_t, 96> d{};
    d[0] = type;
    d[1] = 0x80;
    d[2] = 0x02;
    d[3] = 0x02;
    d[4] = 91;
    std::string vendor = runningVendor_, product = runningProduct_;
    const auto& pf = parallel_.bytes();
    if (profile_.store == ConfigStore::ParallelFlash && pf.size() > 0x4178 && pf[0x4160] != 0xFF &&
        pf[0x4160] != 0) {
        vendor.assign(reinterpret_cast<const char*>(&pf[0x4160]), 8);
        product.assign(reinterpret_cast<const char*>(&pf[0x4168]), 16);
    }
    PutPadded(std::span(d).subspan(8, 8), vendor);
    PutPadded(std::span(d).subspan(16, 16), product);
    const std::uint8_t major = fw[0];
    const std::uint8_t minor = fw[1];
    d[32] = static_cast<std::uint8_t>('0' + major % 10);
    d[33] = '.';
    d[34] = static_cast<std::uint8_t>('0' + (minor / 10) % 10);
    d[35] = static_cast<std::uint8_t>('0' + minor % 10);
    // The later families carry the code only while their firmware runs; the mask ROM
    // and the manufacturing program answer without it.
    const bool code =
        profile_.inquiryCode && (!IsLaterFamily(config_.kind) || buffers_ == BufferState::Firmware);
    PutPadded(std::span(d).subspan(36, 4), code ? profile_.inquiryCode : "");
    sendIn(ex, std::span(d).first(std::min<std::size_t>(alloc, d.size())));
}

void SimBridge::readCapacity(Exchange& ex, bool sixteen) {
    const int pos = lunDrive();
    if (pos < 0) {
        checkCondition(ex, kNotReady, kNoMedium);
        return;
    }
    const SimDrive& d = *drives_[static_cast<std::size_t>(pos)];
    const std::uint64_t last = d.sectors() ? d.sectors() - 1 : 0;
    if (!sixteen) {
        std::array<std::uint8_t, 8> a{};
        PutBE32(a, 0, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, 0xFFFFFFFF)));
        PutBE32(a, 4, d.sectorSize());
        sendIn(ex, a);
        return;
    }
    std::array<std::uint8_t, 32> a{};
    PutBE64(a, 0, last);
    PutBE32(a, 8, d.sectorSize());
    sendIn(ex, std::span(a).first(std::min<std::size_t>(GetBE32(ex.c, 10), a.size())));
}

void SimBridge::readWrite10(Exchange& ex, bool write) {
    const int pos = lunDrive();
    if (pos < 0) {
        checkCondition(ex, kNotReady, kNoMedium);
        return;
    }
    const std::uint64_t lba = GetBE32(ex.c, 2);
    const std::uint32_t count = GetBE16(ex.c, 7);
    if (count == 0)
        return;  // no blocks: nothing to move
    ataCommand(ex, pos, write ? 0x35 : 0x25, 0, lba, count, false);
}

void SimBridge::modeSense(Exchange& ex) {
    const std::uint8_t page = ex.c[2] & 0x3F;
    if (page != 0x1A && page != 0x3F) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return;
    }
    std::array<std::uint8_t, 48> a{};
    PutBE16(a, 0, 46);
    a[8] = 0x1A;
    a[9] = 0x26;
    a[11] = standby_ ? 0x01 : 0x00;
    PutBE32(a, 16, standby_);
    sendIn(ex, std::span(a).first(std::min<std::size_t>(GetBE16(ex.c, 7), a.size())));
}

void SimBridge::modeSelect(Exchange& ex) {
    const std::size_t len = GetBE16(ex.c, 7);
    auto d = takeOut(ex, len);
    if (!d)
        return;
    if (len < 20 || ((*d)[8] & 0x3F) != 0x1A || (*d)[9] != 0x26) {
        checkCondition(ex, kIllegalRequest, kInvalidParameter);
        return;
    }
    standby_ = ((*d)[11] & 1) ? GetBE32(*d, 16) : 0;
}

// ---- ATA commands to a drive ----

void SimBridge::ataCommand(Exchange& ex, int position, std::uint8_t command, std::uint8_t features,
                           std::uint64_t lba, std::uint32_t count, bool viaVendor) {
    SimDrive* d = drives_[static_cast<std::size_t>(position)].get();
    if (!d) {
        checkCondition(ex, kHardwareError, kAborted);  // no drive answers: aborted
        return;
    }
    switch (command) {
        case 0xEC:
        case 0xA1:
            if ((command == 0xA1) != d->packet()) {
                checkCondition(ex, kHardwareError, kAborted);
                return;
            }
            ex.cost += 2 * kMs;
            sendIn(ex, d->identify());
            return;
        case 0xB0:
            if (features != 0xDA || d->packet()) {
                checkCondition(ex, kHardwareError, kAborted);
                return;
            }
            if (viaVendor) {
                const std::uint8_t v = d->config().smartFailing ? 0x2C : 0xC2;
                sendIn(ex, std::span(&v, 1));
            } else if (d->config().smartFailing) {
                checkCondition(ex, 0x01, 0x5D);  // failure prediction threshold exceeded
            }
            return;
        case 0xE7:
        case 0xEA:
            ex.cost += 5 * kMs;
            return;
        case 0x25:
        case 0xC8:
        case 0x35:
        case 0xCA: {
            if (d->packet() && (command == 0x35 || command == 0xCA)) {
                checkCondition(ex, 0x07, 0x27);  // write protected
                return;
            }
            const bool write = command == 0x35 || command == 0xCA;
            const std::uint64_t n = (count == 0 && (command == 0x25 || command == 0x35))
                                        ? 65536u
                                        : (count == 0 ? 256u : count);
            const std::uint64_t bytes = n * d->sectorSize();
            // The raw ATA pass-through reaches the sectors above the reported capacity;
            // READ(10) and WRITE(10) stop at it.
            const bool raw = ex.c[0] != 0x28 && ex.c[0] != 0x2A;
            if (lba + n > d->sectors() + (raw ? d->hiddenSectors() : 0)) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            const auto wanted = write ? DataDirection::Out : DataDirection::In;
            if (ex.dir != wanted || ex.data.size() < bytes) {
                checkCondition(ex, kIllegalRequest, kInvalidField);
                return;
            }
            std::vector<std::uint8_t> stored;
            const std::uint8_t* in = ex.data.data();
            if (write && corruptsSectors(lba, n)) {
                stored.assign(ex.data.begin(),
                              ex.data.begin() + static_cast<std::ptrdiff_t>(bytes));
                corruptSectors(stored, lba, d->sectorSize());
                in = stored.data();
            }
            const auto io =
                write ? d->write(lba, n, in, raw) : d->read(lba, n, ex.data.data(), raw);
            if (io != SimDrive::Io::Ok) {
                checkCondition(ex, kMediumError, write ? kWriteError : 0x11);
                return;
            }
            ex.result.bytesTransferred = static_cast<std::uint32_t>(bytes);
            // The bus and the media move the data at the same time: the slower one sets
            // the time (rates in MiB/s).
            ex.cost += std::max(DataPhaseNs(bytes, config_.timing.busMegabytesPerSecond),
                                d->transferNs(bytes));
            return;
        }
        default:
            checkCondition(ex, kHardwareError, kAborted);
    }
}

// ---- vendor family A (0xDF) ----

void SimBridge::vendorDF(Exchange& ex) {
    const auto& c = ex.c;
    const std::uint16_t len = GetBE16(c, 3);
    const std::uint8_t sub = c[11];
    const bool readFlag = c[1] == 0x10;
    switch (sub) {
        case 0xFF: {
            if (!readFlag)
                break;
            const std::uint16_t word = config_.chipWord.value_or(
                static_cast<std::uint16_t>(0x0100 | (profile_.chipWordBits << 5)));
            std::array<std::uint8_t, 2> a{};
            PutLE16(a, 0, word);
            sendIn(ex, a);
            return;
        }
        case 0xFD: {
            const std::uint32_t addr = GetBE16(c, 6);
            if (!readFlag || addr + len > xdata_.size())
                break;
            std::vector<std::uint8_t> a(len);
            readRegisters(addr, a);
            sendIn(ex, a);
            return;
        }
        case 0xFE: {
            const std::uint32_t addr = GetBE16(c, 6);
            if (c[1] != 0x00 || addr + len > xdata_.size())
                break;
            if (auto d = takeOut(ex, len))
                std::copy(d->begin(), d->end(), xdata_.begin() + addr);
            return;
        }
        case 0xFA:
            if (!readFlag)
                break;
            readMemory(ex);
            return;
        case 0xFB:
            writeMemory(ex);
            return;
        case 0xFC:
            break;
        default: {
            if (!readFlag)
                break;
            const std::uint64_t lba =
                std::uint64_t{c[7]} | std::uint64_t{c[8]} << 8 | std::uint64_t{c[9]} << 16;
            ataCommand(ex, (c[10] & 0x10) ? 1 : 0, sub, c[5], lba, c[6], true);
            return;
        }
    }
    checkCondition(ex, kIllegalRequest, kInvalidField);
}

// The memory space: the EEPROM on boards that carry one, the serial flash otherwise.
void SimBridge::readMemory(Exchange& ex) {
    const std::uint32_t addr = Be24(ex.c, 8);
    const std::uint32_t len = GetBE16(ex.c, 3);
    if (eeprom_.fitted()) {
        if (!eeprom_.inRange(addr, len)) {
            checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
            return;
        }
        ex.cost += static_cast<std::int64_t>(len) * 25 * kUs;  // serial EEPROM clock
        sendIn(ex, std::span(eeprom_.bytes()).subspan(addr, len));
        return;
    }
    if (!flash_.fitted() || (buffers_ == BufferState::MaskRom && IsLaterFamily(config_.kind)) ||
        addr + len > flash_.size()) {
        checkCondition(ex, kIllegalRequest,
                       addr + len > flash_.size() ? kLbaOutOfRange : kInvalidOpcode);
        return;
    }
    if (!waitFlashReady(ex)) {
        checkCondition(ex, kNotReady, 0x04);
        return;
    }
    ex.cost += static_cast<std::int64_t>(len) * 100;  // serial read clock
    sendIn(ex, std::span(flash_.bytes()).subspan(addr, len));
}

void SimBridge::writeMemory(Exchange& ex) {
    const std::uint8_t mode = ex.c[1] & 0x87;
    const std::uint8_t erase = mode & 0x07;
    const std::uint32_t addr = Be24(ex.c, 8);
    const std::uint32_t len = GetBE16(ex.c, 3);
    if (eeprom_.fitted()) {
        if (!eeprom_.inRange(addr, len)) {
            checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
            return;
        }
        auto d = takeOut(ex, len);
        if (!d)
            return;
        std::copy(d->begin(), d->end(), eeprom_.bytes().begin() + addr);
        corrupt(eeprom_.bytes(), addr, len);
        ex.cost +=
            static_cast<std::int64_t>(EepromPart::pages(len)) * config_.timing.eepromWriteMs * kMs;
        return;
    }
    if (!flash_.fitted() || (buffers_ == BufferState::MaskRom && IsLaterFamily(config_.kind))) {
        checkCondition(ex, kIllegalRequest, kInvalidOpcode);
        return;
    }
    if (addr + len > flash_.size()) {
        checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
        return;
    }
    auto d = takeOut(ex, len);
    if (!d)
        return;
    if (!waitFlashReady(ex)) {
        checkCondition(ex, kNotReady, 0x04);
        return;
    }
    // Erase first (bit 7 picks another erase opcode on one family; same effect here),
    // then program; the bridge waits for both before it answers.
    const auto& t = config_.timing;
    if (erase == 3 || erase == 6 || erase == 7) {
        flash_.erase(0, static_cast<std::uint32_t>(flash_.size()));
        ex.cost += static_cast<std::int64_t>(t.flashChipEraseMs) * kMs;
    } else if (erase == 1 || erase == 4) {
        const std::uint32_t unit = flash_.family().sectorSize;
        flash_.erase(addr / unit * unit, unit);
        ex.cost += static_cast<std::int64_t>(t.flashSectorEraseMs) * kMs;
    } else if (erase == 2 || erase == 5) {
        const std::uint32_t unit = flash_.family().blockSize;
        flash_.erase(addr / unit * unit, unit);
        ex.cost += static_cast<std::int64_t>(t.flashBlockEraseMs) * kMs;
    }
    flashProgram(addr, *d);
    ex.cost += static_cast<std::int64_t>((len + 255) / 256) * t.flashPageProgramUs * kUs;
}

// ---- identification ----

void SimBridge::identifyBridge(Exchange& ex) {
    std::array<std::uint8_t, 16> a{};
    a[0] = 0xF4;
    a[1] = 0xE7;
    a[2] = 'V';
    a[3] = 'Q';
    a[4] = config_.kind;
    a[5] = profile_.variant;
    const auto& fw = runningVersion_;
    a[6] = fw[0];
    a[7] = fw[1];
    std::memcpy(a.data() + 8, profile_.chipNumber, 3);
    a[11] = static_cast<std::uint8_t>('0' + config_.revision);
    std::copy(fw.begin() + 2, fw.end(), a.begin() + 12);
    if (IsLaterFamily(config_.kind)) {
        // Bytes 6-7 are the state pair: for 21 to 24 (1, ROM version) in the mask ROM,
        // (2, 0) under the manufacturing program, (3, 0) with firmware; for 25 to 29
        // byte 6 is 0 without firmware and 1 with it, byte 7 the ROM version (0xFF on
        // the second revision of kind 26).
        const bool first = config_.kind <= 24;
        switch (buffers_) {
            case BufferState::MaskRom:
                a[6] = first ? 1 : 0;
                a[7] = (config_.kind == 26 && config_.revision == 2) ? 0xFF : config_.romVersion;
                break;
            case BufferState::Program:
                a[6] = first ? 2 : 0;
                a[7] = 0;
                break;
            case BufferState::Firmware:
                a[6] = first ? 3 : 1;
                a[7] = 0;
                break;
        }
        if (buffers_ != BufferState::Firmware)
            std::fill(a.begin() + 12, a.end(), std::uint8_t{0});
    }
    const std::size_t n = std::min<std::size_t>(profile_.identifyLength, ex.data.size());
    sendIn(ex, std::span(a).first(n));
}

void SimBridge::readChipInfo(Exchange& ex) {
    std::array<std::uint8_t, 32> a{};
    if (profile_.chipNumber)
        std::memcpy(a.data(), profile_.chipNumber, 3);
    a[3] = static_cast<std::uint8_t>('0' + config_.revision);
    a[8] = config_.stepCode.value_or(profile_.stepCode);
    // Kind 7 marks that it booted a firmware area on its drive.
    a[16] = (config_.kind == 7 && diskFirmware_) ? 1 : config_.diskFirmwareMark;
    a[17] = config_.chipFlag;
    a[18] = config_.extraStepCode;
    a[19] = firmware_ ? 1 : 0;
    sendIn(ex, std::span(a).first(std::min<std::size_t>(ex.c[3], a.size())));
}

// ---- vendor family B (0xFF 0x04) ----

void SimBridge::service(Exchange& ex) {
    const auto& c = ex.c;
    const auto& t = config_.timing;
    const std::uint8_t code = c[2];
    if (code <= 0x05) {
        parallel(ex, code);
        return;
    }
    const bool flashCommand = (code >= 0x10 && code <= 0x15) || (code >= 0x20 && code <= 0x22);
    if (flashCommand &&
        (!flash_.fitted() || (IsLaterFamily(config_.kind) && buffers_ == BufferState::MaskRom))) {
        checkCondition(ex, kIllegalRequest, kInvalidOpcode);
        return;
    }
    switch (code) {
        case 0x0F:
            return;
        case 0x10: {
            const std::uint32_t addr = Be24(c, 3);
            const std::size_t len = ex.data.size();
            if (ex.dir != DataDirection::In || addr + len > flash_.size()) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            if (!waitFlashReady(ex)) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            ex.cost += static_cast<std::int64_t>(len) * 100;
            sendIn(ex, std::span(flash_.bytes()).subspan(addr, len));
            return;
        }
        case 0x11: {
            const std::uint32_t addr = Be24(c, 3);
            const std::size_t len = ex.data.size();
            if (len > 16384 || addr + len > flash_.size()) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            auto d = takeOut(ex, len);
            if (!d)
                return;
            if (!waitFlashReady(ex)) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            if (flash_.family().wordProgram) {
                // The page-program opcode writes a single byte on word-program parts.
                for (std::size_t i = 0; i < len; i += 256)
                    flashProgram(static_cast<std::uint32_t>(addr + i), d->subspan(i, 1));
            } else {
                flashProgram(addr, *d);
            }
            flash_.busyUntil(now(ex) + static_cast<std::int64_t>((len + 255) / 256) *
                                           t.flashPageProgramUs * kUs);
            return;
        }
        case 0x12: {
            const std::uint8_t s = flash_.status(now(ex));
            sendIn(ex, std::span(&s, 1));
            return;
        }
        case 0x13:
            if (!waitFlashReady(ex)) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            flash_.erase(0, static_cast<std::uint32_t>(flash_.size()));
            ex.cost += static_cast<std::int64_t>(t.flashChipEraseMs) * kMs;
            return;
        case 0x14: {
            const std::uint32_t addr = Be24(c, 3) / 32768 * 32768;
            if (addr >= flash_.size()) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            if (!waitFlashReady(ex)) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            flash_.erase(addr, 32768);
            flash_.busyUntil(now(ex) + static_cast<std::int64_t>(t.flashBlockEraseMs) * kMs);
            return;
        }
        case 0x15:
            readFlashId(ex);
            return;
        case 0x20:
            spiCommand(ex);
            return;
        case 0x21:
            spiRead(ex);
            return;
        case 0x22:
            spiWrite(ex);
            return;
        case 0x23: {
            std::array<std::uint8_t, 4> a{};
            const std::uint8_t type = flash_.family().flashType;
            a[0] = config_.service23.value_or(
                (!eeprom_.fitted() && flash_.fitted() && type >= 3 && type != 255)
                    ? static_cast<std::uint8_t>(type - 2)
                    : std::uint8_t{0});
            sendIn(ex, a);
            return;
        }
        case 0x24: {
            std::copy(c.begin() + 4, c.begin() + 8, configWordParams_.begin());
            const std::array<std::uint8_t, 2> a{c[4], c[5]};
            sendIn(ex, a);
            return;
        }
        case 0x25: {
            if (c[3] == 0)
                return;  // Service25: no data, nothing to answer
            // Two bytes of the held configuration at word index c[4].
            const auto block = heldConfigBlock();
            std::array<std::uint8_t, 2> a{};
            const std::size_t at = std::size_t{c[4]} * 4;
            for (std::size_t i = 0; i < 2; ++i)
                a[i] = at + i < block.size() ? block[at + i] : 0;
            sendIn(ex, a);
            return;
        }
        case 0x26:
            if (c[3] != 0x56 || c[4] != 0x51)
                break;
            ex.resetAfter = true;
            return;
        case 0x30: {
            if (!profile_.subRevision)
                break;
            std::array<std::uint8_t, 40> a{};
            std::memcpy(a.data(), profile_.subRevision, std::strlen(profile_.subRevision));
            sendIn(ex, std::span(a).first(std::min<std::size_t>(a.size(), ex.data.size())));
            return;
        }
        case 0xA0:
            readChipInfo(ex);
            return;
        case 0xA3:
            standby_ = c[3] ? GetBE32(c, 4) : 0;
            return;
        case 0xC8: {
            const std::uint8_t k = c[3];
            std::uint8_t answer = 0;
            if (k == 5) {
                modeByte_ = c[4];
                return;
            }
            if (k == 2) {
                modeSwitchDoneAt_ = now(ex) + static_cast<std::int64_t>(t.modeSwitchMs) * kMs;
            } else if (k == 3) {
                answer = (modeSwitchDoneAt_ >= 0 && now(ex) >= modeSwitchDoneAt_) ? 1 : 0;
            } else if (k == 1) {
                modeSwitchDoneAt_ = -1;
            } else if (k == 0) {
                answer = modeByte_;
            } else {
                break;
            }
            sendIn(ex, std::span(&answer, 1));
            return;
        }
        case 0x56:
            if (c[3] != 0x51 || c[4] != 0x55)
                break;
            return;
        default:
            break;
    }
    checkCondition(ex, kIllegalRequest, kInvalidOpcode);
}

// ---- serial flash ----

// The bridge waits for a busy flash before it starts another operation, up to its own
// limit; a flash that stays busy makes the command fail.
bool SimBridge::waitFlashReady(Exchange& ex) {
    const std::int64_t limit = static_cast<std::int64_t>(config_.timing.flashReadyLimitMs) * kMs;
    if (flash_.stuck()) {
        ex.cost += limit;
        return false;
    }
    const std::int64_t wait = flash_.busyEnd() - now(ex);
    if (wait <= 0)
        return true;
    if (wait > limit) {
        ex.cost += limit;
        return false;
    }
    ex.cost += wait;
    return true;
}

void SimBridge::flashProgram(std::uint32_t address, std::span<const std::uint8_t> bytes) {
    const std::size_t n = flash_.program(address, bytes);
    if (n > 0)
        corrupt(flash_.bytes(), address, n);
}

void SimBridge::corrupt(std::vector<std::uint8_t>& store, std::uint32_t address,
                        std::size_t length) {
    for (const auto& f : config_.faults) {
        if (f.type == FaultSpec::Type::CorruptProgram && f.address >= address &&
            f.address < address + length && f.address < store.size())
            store[f.address] ^= f.mask;
    }
}

bool SimBridge::corruptsSectors(std::uint64_t lba, std::uint64_t count) const {
    return std::any_of(config_.faults.begin(), config_.faults.end(), [&](const FaultSpec& f) {
        return f.type == FaultSpec::Type::CorruptSector && f.lba >= lba && f.lba - lba < count;
    });
}

void SimBridge::corruptSectors(std::vector<std::uint8_t>& bytes, std::uint64_t lba,
                               std::uint32_t sectorSize) const {
    for (const auto& f : config_.faults) {
        if (f.type != FaultSpec::Type::CorruptSector || f.lba < lba || f.address >= sectorSize)
            continue;
        const std::uint64_t at = (f.lba - lba) * sectorSize + f.address;
        if (at < bytes.size())
            bytes[at] ^= f.mask;
    }
}

void SimBridge::readFlashId(Exchange& ex) {
    const std::size_t n = ex.c[3];
    const std::uint8_t op = ex.c[4] == 0 ? 0x9F : ex.c[4];  // 0: the part's JEDEC opcode
    auto s = flash_.idStream(op, ex.c[5] == 0x03);
    s.resize(std::max(s.size(), n), 0xFF);
    sendIn(ex, std::span(s).first(n));
}

void SimBridge::writeFlashStatus(std::uint8_t value, Exchange& ex) {
    flash_.writeStatus(
        value, now(ex) + static_cast<std::int64_t>(config_.timing.flashStatusWriteMs) * kMs);
}

void SimBridge::aaiProgram(std::uint8_t d0, std::uint8_t d1) {
    if (const auto at = flash_.nextWord()) {
        const std::array<std::uint8_t, 2> w{d0, d1};
        flashProgram(*at, w);
    }
}

// A raw transaction: byte 3 bytes go out (the opcode in byte 5, then bytes 6 on);
// byte 4 = 1 leaves the transaction open for a SpiRead or SpiWrite data phase.
// Word-program parts keep their auto-increment state across status writes (the
// station's sequence re-enables writing between 512-byte runs).
void SimBridge::spiCommand(Exchange& ex) {
    const auto& c = ex.c;
    const std::size_t n = std::min<std::size_t>(c[3], 6);
    const bool follows = c[4] == 1;
    const std::uint8_t op = c[5];
    spiOpcode_ = op;
    spiAddress_.assign(c.begin() + 6, c.begin() + 6 + static_cast<std::ptrdiff_t>(n ? n - 1 : 0));
    switch (op) {
        case 0x06:
            flash_.writeEnable();
            break;
        case 0x04:
            flash_.writeDisable();
            break;
        case 0x50:
            flash_.enableStatusWrite();
            break;
        case 0x01:
            if (!follows && n >= 2)
                writeFlashStatus(c[6], ex);
            break;
        case 0xAD:
            if (n == 4) {
                // Start of an auto-increment program at the address given.
                flash_.startWordProgram(static_cast<std::uint32_t>(c[6] << 16 | c[7] << 8 | c[8]));
            } else if (!follows && n == 3) {
                aaiProgram(c[6], c[7]);
            }
            break;
        default:
            break;  // other opcodes reach the part but change nothing modelled here
    }
    ex.cost += 5 * kUs;
}

void SimBridge::spiRead(Exchange& ex) {
    const std::size_t len = GetBE16(ex.c, 7);
    std::vector<std::uint8_t> s;
    if (spiOpcode_ == 0x03 && spiAddress_.size() >= 3) {
        const std::uint32_t addr =
            static_cast<std::uint32_t>(spiAddress_[0] << 16 | spiAddress_[1] << 8 | spiAddress_[2]);
        for (std::size_t i = 0; i < len; ++i)
            s.push_back(addr + i < flash_.size() ? flash_.bytes()[addr + i] : 0xFF);
    } else {
        s = flash_.idStream(spiOpcode_, spiAddress_.size() >= 3);
        if (spiOpcode_ == 0x05)
            s.assign(len, flash_.status(now(ex)));
        s.resize(std::max(s.size(), len), 0xFF);
        s.resize(len);
    }
    sendIn(ex, s);
}

void SimBridge::spiWrite(Exchange& ex) {
    const std::size_t len = ex.c[8];
    auto d = takeOut(ex, len);
    if (!d || d->empty())
        return;
    switch (spiOpcode_) {
        case 0x01:
            writeFlashStatus((*d)[0], ex);
            break;
        case 0xAD:
            if (d->size() >= 2)
                aaiProgram((*d)[0], (*d)[1]);
            break;
        default:
            break;
    }
}

// ---- parallel flash (kinds 30 and 35) ----

void SimBridge::parallel(Exchange& ex, std::uint8_t code) {
    const auto& c = ex.c;
    const auto& t = config_.timing;
    if (!parallel_.fitted()) {
        checkCondition(ex, kIllegalRequest, kInvalidOpcode);
        return;
    }
    if (code == 0x05) {
        parallel_.enter();
        return;
    }
    if (!parallel_.inFlashMode()) {
        checkCondition(ex, kIllegalRequest, 0x2C);  // command sequence error
        return;
    }
    const bool busy = parallel_.busyAt(now(ex));
    auto& bytes = parallel_.bytes();
    switch (code) {
        case 0x00: {
            const std::uint8_t b = busy ? 1 : 0;
            sendIn(ex, std::span(&b, 1));
            return;
        }
        case 0x04: {
            // The bridge replays this sequence for the erase; the part only erases when
            // it is the part's own sequence.
            if (auto d = takeOut(ex, 18))
                parallel_.setup(*d);
            return;
        }
        case 0x01:
            if (busy) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            parallel_.erase(now(ex) + static_cast<std::int64_t>(t.parallelEraseMs) * kMs);
            return;
        case 0x02: {
            const std::size_t len = ex.data.size();
            if (len > bytes.size()) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            auto d = takeOut(ex, len);
            if (!d)
                return;
            if (busy) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            if (!parallel_.unlocks(std::span(c).subspan(3, 9)))
                return;  // the part ignores writes without its unlock sequence
            parallel_.program(
                *d, now(ex) + static_cast<std::int64_t>(len) * t.parallelProgramUsPerByte * kUs);
            corrupt(bytes, 0, len);
            return;
        }
        case 0x03: {
            const std::uint32_t addr = GetLE32(c, 3);
            const std::size_t len = ex.data.size();
            if (ex.dir != DataDirection::In || addr + len > bytes.size()) {
                checkCondition(ex, kIllegalRequest, kLbaOutOfRange);
                return;
            }
            if (busy) {
                checkCondition(ex, kNotReady, 0x04);
                return;
            }
            sendIn(ex, std::span(bytes).subspan(addr, len));
            return;
        }
        default:
            break;
    }
    checkCondition(ex, kIllegalRequest, kInvalidOpcode);
}

// ---- buffers of the later families ----

std::uint32_t SimBridge::bufferCapacity() const {
    switch (buffers_) {
        case BufferState::MaskRom:
            return profile_.mfgImageSize;
        case BufferState::Program:
            return profile_.programCapacity;
        case BufferState::Firmware:
            return config_.kind <= 24 ? 0x20000u : profile_.programCapacity;
    }
    return 0;
}

void SimBridge::readBuffer(Exchange& ex) {
    const auto& c = ex.c;
    const std::uint8_t mode = c[1] & 0x1F;
    const std::uint8_t id = c[2];
    const std::uint32_t off = Be24(c, 3), len = Be24(c, 6);
    if (!IsLaterFamily(config_.kind) || id > 1) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return;
    }
    if (mode == 3) {
        std::array<std::uint8_t, 4> a{};
        a[0] = buffers_ == BufferState::MaskRom ? 0xFF : profile_.programState;
        PutBE24(a, 1, bufferCapacity());
        sendIn(ex, std::span(a).first(std::min<std::size_t>(len, 4)));
        return;
    }
    const std::uint32_t cap = bufferCapacity();
    if (mode != 1 || buffers_ == BufferState::MaskRom || off + len > cap) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return;
    }
    // Buffer 0 is the flash being written; buffer 1 the image the chip booted from.
    const std::vector<std::uint8_t>& src = id == 0 ? flash_.bytes() : runningImage_;
    std::vector<std::uint8_t> a(len, 0xFF);
    for (std::uint32_t i = 0; i < len && off + i < src.size(); ++i)
        a[i] = src[off + i];
    // The chip shows its own per-device data at 512-1023 of each bank (bank 0 only for
    // kinds 25 to 29) instead of what is stored there.
    for (std::uint32_t i = 0; i < len; ++i) {
        const std::uint32_t at = off + i;
        const std::uint32_t inBank = at % kBankSize;
        if (inBank >= 512 && inBank < 1024 && (config_.kind <= 24 || at < kBankSize))
            a[i] = static_cast<std::uint8_t>(0x5A ^ (at & 0xFF) ^ (deviceNumber_ * 13));
    }
    ex.cost += static_cast<std::int64_t>(len) * 100;
    sendIn(ex, a);
}

void SimBridge::writeBuffer(Exchange& ex) {
    const auto& c = ex.c;
    const std::uint8_t mode = c[1] & 0x1F;
    const std::uint32_t off = Be24(c, 3), len = Be24(c, 6);
    if (!IsLaterFamily(config_.kind)) {
        checkCondition(ex, kIllegalRequest, kInvalidOpcode);
        return;
    }
    if (mode == 0x0F) {
        // Activation: reboot into what the flash now holds. Kinds 21 to 24 keep the
        // serial text of the identity record sent before (0x42 in its byte 0).
        if (config_.kind <= 24 && blockC3_[0] == 0x42) {
            std::string serial(blockC3_.begin() + 52, blockC3_.end());
            while (!serial.empty() && (serial.back() == ' ' || serial.back() == '\0'))
                serial.pop_back();
            if (!serial.empty())
                storedSerial_ = serial;
        }
        ex.resetAfter = true;
        return;
    }
    if (mode == 6) {
        // The manufacturing program goes in whole, into RAM; the mask ROM starts it.
        if (buffers_ != BufferState::MaskRom || off != 0 || len != profile_.mfgImageSize) {
            checkCondition(ex, kIllegalRequest, kInvalidField);
            return;
        }
        auto d = takeOut(ex, len);
        if (!d)
            return;
        if (!acceptsManufacturingImage(*d)) {
            checkCondition(ex, kIllegalRequest, kInvalidParameter);  // not a program for it
            return;
        }
        buffers_ = BufferState::Program;
        return;
    }
    if (mode != 14 || buffers_ == BufferState::MaskRom || off + len > bufferCapacity() ||
        off + len > flash_.size()) {
        checkCondition(ex, kIllegalRequest, kInvalidField);
        return;
    }
    auto d = takeOut(ex, len);
    if (!d)
        return;
    if (buffers_ == BufferState::Program) {
        flashProgram(off, *d);  // the manufacturing program expects an erased flash
    } else if (!flash_.isProtected()) {
        // firmware erases as it goes
        std::copy(d->begin(), d->end(), flash_.bytes().begin() + off);
        corrupt(flash_.bytes(), off, len);
    }
    ex.cost +=
        static_cast<std::int64_t>((len + 255) / 256) * config_.timing.flashPageProgramUs * kUs;
}

}  // namespace vq::sim
