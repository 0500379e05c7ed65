#include "bridge/VendorCommands.h"

#include <algorithm>
#include <initializer_list>

namespace vq::bridge {

namespace {

// One command block: bytes not set are 0; 12 bytes unless stated.
class Block {
  public:
    explicit Block(std::initializer_list<std::uint8_t> head, std::size_t length = 12)
        : length_(length) {
        std::copy(head.begin(), head.end(), bytes_.begin());
    }
    std::uint8_t& operator[](std::size_t i) { return bytes_[i]; }
    Bytes all() { return Bytes(bytes_.data(), bytes_.size()); }
    ConstBytes cdb() const { return ConstBytes(bytes_.data(), length_); }

  private:
    std::array<std::uint8_t, 16> bytes_{};
    std::size_t length_;
};

constexpr std::size_t kMaxLen16 = 0xFFFF;
constexpr std::size_t kMaxLen8 = 0xFF;

bool In(const Target& t, const Block& b, Bytes out, std::uint32_t* transferred = nullptr) {
    return SendCommandIn(t, b.cdb(), out, transferred);
}
bool Out(const Target& t, const Block& b, ConstBytes data = {}) {
    return SendCommandOut(t, b.cdb(), data);
}

std::uint16_t Len16(std::size_t n) {
    return static_cast<std::uint16_t>(n);
}
std::uint8_t Len8(std::size_t n) {
    return static_cast<std::uint8_t>(n);
}

// Family A: DF dir 00 len16 ...; the sub-code in byte 11.
Block FamilyA(std::uint8_t dir, std::size_t length, std::uint8_t subCode) {
    Block b{0xDF, dir};
    PutBE16(b.all(), 3, Len16(length));
    b[11] = subCode;
    return b;
}

Block Service(std::uint8_t code, std::initializer_list<std::uint8_t> args = {}) {
    Block b{0xFF, 0x04, code};
    std::size_t i = 3;
    for (std::uint8_t a : args)
        b[i++] = a;
    return b;
}

// The unlock bytes c and b of the parallel-flash command sequences; false for a type
// without a sequence.
bool ParallelFlashUnlockBytes(std::uint8_t flashType, std::uint8_t& c, std::uint8_t& b) {
    switch (flashType) {
        case 0:
        case 2:
            c = 0x55;
            b = 0x2A;
            return true;
        case 1:
            c = 0x05;
            b = 0x02;
            return true;
        default:
            c = 0;
            b = 0;
            return false;
    }
}

}  // namespace

// ---- Family A -------------------------------------------------------------------------

bool ReadChipWord(const Target& t, std::uint16_t& word) {
    std::array<std::uint8_t, 2> answer{};
    const bool ok = In(t, FamilyA(0x10, 2, 0xFF), answer);
    // The word comes as the chip holds it in its registers, low byte first: the
    // power-control sequence writes it back to 0x7058 and then drives its high byte
    // alone at 0x7059.
    word = GetLE16(answer, 0);
    return ok;
}

bool ReadXdata(const Target& t, std::uint16_t addr, Bytes out) {
    if (out.size() > kMaxLen16)
        return false;
    Block b = FamilyA(0x10, out.size(), 0xFD);
    PutBE16(b.all(), 6, addr);
    return In(t, b, out);
}

bool WriteXdata(const Target& t, std::uint16_t addr, ConstBytes data) {
    if (data.size() > kMaxLen16)
        return false;
    Block b = FamilyA(0x00, data.size(), 0xFE);
    PutBE16(b.all(), 6, addr);
    return Out(t, b, data);
}

bool ReadMemory(const Target& t, std::uint32_t addr24, Bytes out) {
    if (out.size() > kMaxLen16)
        return false;
    Block b = FamilyA(0x10, out.size(), 0xFA);
    PutBE24(b.all(), 8, addr24);
    return In(t, b, out);
}

bool WriteMemory(const Target& t, std::uint8_t mode, std::uint32_t addr24, ConstBytes data) {
    if (data.size() > kMaxLen16)
        return false;
    Block b = FamilyA(static_cast<std::uint8_t>(mode & 0x87), data.size(), 0xFB);
    PutBE24(b.all(), 8, addr24);
    return Out(t, b, data);
}

bool AtaIdentifyDrive(const Target& t, std::uint8_t device, std::uint8_t command, Bytes out) {
    Block b = FamilyA(0x10, 512, command);
    b[10] = device;
    return In(t, b, out);
}

bool AtaIdentify(const Target& t, Bytes out) {
    std::array<std::uint8_t, 1> flags{};
    if (!ReadXdata(t, 0x720F, flags))
        return false;
    bool result = false;
    if (flags[0] & 0x04) {
        const bool packet = flags[0] & 0x01;
        result = AtaIdentifyDrive(t, kAtaMaster,
                                  packet ? kAtaIdentifyPacketDevice : kAtaIdentifyDevice, out);
    }
    if (flags[0] & 0x40) {
        const bool packet = flags[0] & 0x10;
        result = AtaIdentifyDrive(t, kAtaSlave,
                                  packet ? kAtaIdentifyPacketDevice : kAtaIdentifyDevice, out);
    }
    return result;
}

bool AtaSmartStatus(const Target& t) {
    std::array<std::uint8_t, 1> answer{};
    const Block b{0xDF, 0x10, 0x00, 0x00, 0x01, 0xDA, 0x00, 0x00, 0x4F, 0xC2, 0xA0, 0xB0};
    return In(t, b, answer) && answer[0] == 0xC2;
}

// ---- Family B -------------------------------------------------------------------------

bool ReadFlashBusy(const Target& t, std::uint8_t& busy) {
    std::array<std::uint8_t, 1> answer{};
    const bool ok = In(t, Service(0x00), answer);
    busy = answer[0];
    return ok;
}

bool ParallelFlashErase(const Target& t) {
    return Out(t, Service(0x01));
}

bool ParallelFlashProgram(const Target& t, std::uint8_t flashType, ConstBytes image) {
    std::uint8_t c = 0, b = 0;
    const Block block = ParallelFlashUnlockBytes(flashType, c, b)
                            ? Service(0x02, {0x55, c, 0xAA, b, 0x55, c, 0xAA, 0x55, 0xA0})
                            : Service(0x02);
    return Out(t, block, image);
}

bool ParallelFlashRead(const Target& t, std::uint32_t addr32, Bytes out) {
    Block b = Service(0x03);
    PutLE32(b.all(), 3, addr32);
    return In(t, b, out);
}

bool ParallelFlashSetup(const Target& t, std::uint8_t flashType) {
    std::uint8_t c = 0, b = 0;
    ParallelFlashUnlockBytes(flashType, c, b);
    const std::array<std::uint8_t, 18> sequence{0x55, c, 0xAA, b,    0x55, c,    0x55, c,   0xAA, b,
                                                0x55, c, 0xAA, 0x55, 0x80, 0xAA, 0x55, 0x10};
    return Out(t, Service(0x04), sequence);
}

bool ParallelFlashEnter(const Target& t) {
    return Out(t, Service(0x05));
}

bool Service0F(const Target& t, const std::array<std::uint8_t, 4>& values, std::uint16_t arg) {
    Block b = Service(0x0F, {values[0], values[1], values[2], values[3]});
    PutBE16(b.all(), 7, arg);
    return Out(t, b);
}

bool SerialFlashRead(const Target& t, std::uint32_t addr24, Bytes out) {
    Block b = Service(0x10);
    PutBE24(b.all(), 3, addr24);
    return In(t, b, out);
}

bool SerialFlashWrite(const Target& t, std::uint32_t addr24, ConstBytes data) {
    Block b = Service(0x11);
    PutBE24(b.all(), 3, addr24);
    return Out(t, b, data);
}

bool SerialFlashStatus(const Target& t, std::uint8_t& status) {
    std::array<std::uint8_t, 1> answer{};
    const bool ok = In(t, Service(0x12), answer);
    status = answer[0];
    return ok;
}

bool SerialFlashChipErase(const Target& t) {
    return Out(t, Service(0x13));
}

bool SerialFlashEraseBlock(const Target& t, std::uint32_t addr24) {
    Block b = Service(0x14);
    PutBE24(b.all(), 3, addr24);
    return Out(t, b);
}

bool SerialFlashReadId(const Target& t, std::uint8_t op, bool threeAddressBytes, Bytes out) {
    if (out.size() > kMaxLen8)
        return false;
    Block b = Service(0x15, {Len8(out.size()), op});
    if (threeAddressBytes)
        b[5] = 0x03;
    return In(t, b, out);
}

bool SpiCommand(const Target& t, ConstBytes args, ConstBytes data) {
    if (args.size() > 9)
        return false;
    Block b = Service(0x20);
    std::copy(args.begin(), args.end(), b.all().begin() + 3);
    return Out(t, b, data);
}

bool SpiRead(const Target& t, Bytes out) {
    if (out.size() > kMaxLen16)
        return false;
    Block b = Service(0x21);
    PutBE16(b.all(), 7, Len16(out.size()));
    return In(t, b, out);
}

bool SpiWrite(const Target& t, ConstBytes data) {
    if (data.size() > kMaxLen8)
        return false;
    Block b = Service(0x22);
    b[8] = Len8(data.size());
    return Out(t, b, data);
}

bool Service23Read(const Target& t, Bytes out4) {
    return In(t, Service(0x23, {0x04}), out4);
}

bool ReadConfigWord(const Target& t, const std::array<std::uint8_t, 5>& d, Bytes out2) {
    return In(t, Service(0x24, {0x02, d[0], d[1], d[2], d[4], 0x01}), out2);
}

bool ReadConfigWordAt(const Target& t, std::uint32_t a, Bytes out2) {
    return In(t, Service(0x25, {0x02, static_cast<std::uint8_t>(a >> 2)}), out2);
}

bool Service25(const Target& t) {
    return Out(t, Service(0x25));
}

bool ResetBridge(const Target& t) {
    return In(t, Service(0x26, {0x56, 0x51}), {});
}

bool ReadSubRevision(const Target& t, Bytes out) {
    return In(t, Service(0x30, {0x08}), out);
}

bool ReadChipInfo(const Target& t, Bytes out) {
    if (out.size() > kMaxLen8)
        return false;
    return In(t, Service(0xA0, {Len8(out.size())}), out);
}

bool SetStandbyTimer(const Target& t, std::uint32_t minutes, bool enStandbyTime) {
    const std::uint32_t t32 = minutes * 600;
    Block b = Service(0xA3, {enStandbyTime && t32 != 0 ? std::uint8_t{1} : std::uint8_t{0}});
    PutBE32(b.all(), 4, t32);
    return In(t, b, {});
}

bool ModeControl(const Target& t, std::uint8_t k, std::uint8_t& answer) {
    std::array<std::uint8_t, 1> a{};
    const bool ok = In(t, Service(0xC8, {k}), a);
    answer = a[0];
    return ok;
}

bool ModeControlSetValue(const Target& t, std::uint8_t value) {
    return In(t, Service(0xC8, {0x05, value}), {});
}

bool Service56(const Target& t) {
    return Out(t, Service(0x56, {0x51, 0x55}));
}

// ---- Family C -------------------------------------------------------------------------

bool IdentifyBridge(const Target& t, Bytes out, std::uint32_t* transferred) {
    return In(t, Block{0xE0, 0xF4, 0xE7}, out, transferred);
}

bool IsIdentifyAnswer(ConstBytes answer) {
    return answer.size() >= 2 && answer[0] == 0xF4 && answer[1] == 0xE7;
}

// ---- Family D -------------------------------------------------------------------------

bool Inquiry(const Target& t, Bytes out) {
    if (out.size() > kMaxLen8)
        return false;
    return In(t, Block{0x12, 0x00, 0x00, 0x00, Len8(out.size())}, out);
}

bool InquiryVpdC3(const Target& t, Bytes out) {
    if (out.size() > kMaxLen8)
        return false;
    return In(t, Block{0x12, 0x01, 0xC3, 0x00, Len8(out.size())}, out);
}

bool ReadCapacity10(const Target& t, std::uint32_t& lastLba, std::uint32_t& blockLength) {
    std::array<std::uint8_t, 8> answer{};
    const bool ok = In(t, Block{0x25}, answer);
    lastLba = GetBE32(answer, 0);
    blockLength = ok ? GetBE32(answer, 4) : 512;
    return ok;
}

bool ReadCapacity10(const Transport& tr, ScsiDevice& handle, std::uint32_t& lastLba,
                    std::uint32_t& blockLength) {
    std::array<std::uint8_t, 8> answer{};
    const bool ok = SendCommandInOnHandle(tr, handle, Block{0x25}.cdb(), answer);
    lastLba = GetBE32(answer, 0);
    blockLength = ok ? GetBE32(answer, 4) : 512;
    return ok;
}

bool ReadCapacity16(const Target& t, std::uint64_t& lastLba, std::uint32_t& blockLength) {
    std::array<std::uint8_t, 16> answer{};
    Block b({0x9E, 0x10}, 16);
    PutBE32(b.all(), 10, 16);
    const bool ok = In(t, b, answer);
    lastLba = GetBE64(answer, 0);
    blockLength = GetBE32(answer, 8);
    return ok;
}

namespace {
bool SectorBlock(std::uint8_t opcode, std::uint32_t lba, std::uint32_t blockLength,
                 std::size_t bytes, Block& b) {
    if (blockLength == 0 || bytes / blockLength > 0xFFFF)
        return false;
    b = Block({opcode}, 10);
    PutBE32(b.all(), 2, lba);
    PutBE16(b.all(), 7, static_cast<std::uint16_t>(bytes / blockLength));
    return true;
}

Block AtaDmaExt(std::uint8_t byte1, std::uint8_t byte2, std::uint8_t command, std::uint64_t lba,
                std::uint16_t count) {
    Block b({0x85, byte1, byte2}, 16);
    PutBE16(b.all(), 5, count);
    b[7] = static_cast<std::uint8_t>(lba >> 24);
    b[8] = static_cast<std::uint8_t>(lba);
    b[9] = static_cast<std::uint8_t>(lba >> 32);
    b[10] = static_cast<std::uint8_t>(lba >> 8);
    b[11] = static_cast<std::uint8_t>(lba >> 40);
    b[12] = static_cast<std::uint8_t>(lba >> 16);
    b[13] = 0x60;
    b[14] = command;
    return b;
}
}  // namespace

bool Read10(const Transport& tr, ScsiDevice& handle, std::uint32_t lba, std::uint32_t blockLength,
            Bytes data) {
    Block b{};
    return SectorBlock(0x28, lba, blockLength, data.size(), b) &&
           SendCommandInOnHandle(tr, handle, b.cdb(), data);
}

bool Write10(const Transport& tr, ScsiDevice& handle, std::uint32_t lba, std::uint32_t blockLength,
             ConstBytes data) {
    Block b{};
    return SectorBlock(0x2A, lba, blockLength, data.size(), b) &&
           SendCommandOutOnHandle(tr, handle, b.cdb(), data);
}

bool AtaReadDmaExt(const Target& t, std::uint64_t lba, std::uint16_t count, Bytes data) {
    return In(t, AtaDmaExt(0x15, 0x0B, 0x25, lba, count), data);
}

bool AtaWriteDmaExt(const Target& t, std::uint64_t lba, std::uint16_t count, ConstBytes data) {
    return Out(t, AtaDmaExt(0x17, 0x03, 0x35, lba, count), data);
}

bool AtaFlushCache(const Target& t) {
    return Out(t, Block{0xA1, 0x06, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0xEA});
}

bool AtaIdentifyPassThrough(const Target& t, Bytes out512) {
    return In(t, Block{0xA1, 0x08, 0x0E, 0x00, 0x01, 0x00, 0x00, 0x00, 0xA0, 0xEC}, out512);
}

bool ModeSensePowerPage(const Target& t, Bytes out) {
    if (out.size() > kMaxLen16)
        return false;
    Block b({0x5A, 0x08, 0x1A}, 10);
    PutBE16(b.all(), 7, Len16(out.size()));
    return In(t, b, out);
}

bool ModeSelectPowerPage(const Target& t, std::uint32_t minutes, bool enStandbyTime) {
    Block b({0x55, 0x01}, 10);
    b[8] = 0x30;
    std::array<std::uint8_t, 48> page{};
    page[8] = 0x1A;
    page[9] = 0x26;
    const std::uint32_t t32 = minutes * 600;
    if (enStandbyTime && t32 != 0) {
        page[11] = 1;
        PutBE32(page, 16, t32);
    }
    return Out(t, b, page);
}

namespace {
Block BufferBlock(std::uint8_t opcode, std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                  std::size_t length) {
    Block b({opcode, mode, id}, 10);
    PutBE24(b.all(), 3, offset);
    PutBE24(b.all(), 6, static_cast<std::uint32_t>(length));
    return b;
}
}  // namespace

bool ReadBuffer(const Target& t, std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                Bytes out) {
    if (out.size() > 0xFFFFFF)
        return false;
    return In(t, BufferBlock(0x3C, mode, id, offset, out.size()), out);
}

bool WriteBuffer(const Target& t, std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                 ConstBytes data) {
    if (mode == 0x0F)
        return Out(t, Block({0x3B, 0x0F}, 10));
    if (data.size() > 0xFFFFFF)
        return false;
    return Out(t, BufferBlock(0x3B, mode, id, offset, data.size()), data);
}

bool VendorBlockC3(const Target& t, std::uint16_t a, std::uint16_t b, ConstBytes block72) {
    if (block72.size() != 72)
        return false;
    Block c{0xC3, 0x30};
    PutBE16(c.all(), 4, a);
    PutBE16(c.all(), 6, b);
    c[9] = 0x48;
    return Out(t, c, block72);
}

// ---- Waits ----------------------------------------------------------------------------

bool WaitFlashReady(const Target& t) {
    std::uint8_t status = 0;
    SerialFlashStatus(t, status);
    for (int rereads = 0; status & 0x01; ++rereads) {
        if (rereads == 500)
            return false;
        t.transport.clock().sleepMs(10);
        SerialFlashStatus(t, status);
    }
    return true;
}

bool WaitParallelFlashReady(const Target& t) {
    constexpr int kTries = 100 * 500;
    for (int tries = 1;; ++tries) {
        std::uint8_t busy = 0;
        if (ReadFlashBusy(t, busy) && busy != 1)
            return true;
        if (tries == kTries)
            return false;
        t.transport.clock().sleepMs(10);
    }
}

}  // namespace vq::bridge
