// Buffers of the later families: from the mask ROM through the manufacturing program to
// the firmware, and activation.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "resources/Resources.h"
#include "tests/sim/SimTestUtil.h"

namespace vq::sim::test {
namespace {

constexpr const char* kIdentify = "E0 F4 E7 00 00 00 00 00 00 00 00 00";

std::string Buffer(int opcode, int mode, int id, std::uint32_t off, std::uint32_t len) {
    char b[64];
    std::snprintf(b, sizeof b, "%02X %02X %02X %02X %02X %02X %02X %02X %02X 00", opcode, mode, id,
                  (off >> 16) & 0xFF, (off >> 8) & 0xFF, off & 0xFF, (len >> 16) & 0xFF,
                  (len >> 8) & 0xFF, len & 0xFF);
    return b;
}

struct Descriptor {
    int state;
    std::uint32_t capacity;
};

Descriptor ReadDescriptor(Rig& rig, int id = 0) {
    auto a = rig.in(Buffer(0x3C, 3, id, 0, 4), 4);
    EXPECT_TRUE(a.good());
    return {a.data[0], static_cast<std::uint32_t>(a.data[1] << 16 | a.data[2] << 8 | a.data[3])};
}

std::vector<std::uint8_t> Image(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i >> 3) ^ (i * 5));
    return v;
}

// A firmware image the boot code takes: for kinds 21 to 24 both banks sealed.
std::vector<std::uint8_t> Firmware(int kind, std::size_t n) {
    auto v = Image(n);
    if (kind <= 24) {
        for (std::size_t bank = 0; bank + kBankSize <= n; bank += kBankSize)
            SealBank(std::span(v).subspan(bank, kBankSize));
    }
    return v;
}

std::vector<std::uint8_t> Program(const char* name) {
    const auto r = resources::FindResource("FW", name);
    return r ? std::vector<std::uint8_t>(r->begin(), r->end()) : std::vector<std::uint8_t>{};
}

struct Family {
    int kind;
    const char* program;
    std::uint32_t mfgSize;
    int programState;
    std::uint32_t programCapacity;
    int romPair[2], programPair[2], firmwarePair[2];
    std::uint32_t chunk;
    std::uint32_t download;  // bytes written through the program
};

const Family kFamilies[] = {
    {21, "VQS671_ROM1_MFG", 0x10000, 0x0C, 0x46000, {1, 1}, {2, 0}, {3, 0}, 4096, 0x40000},
    {24, "VQS675_ROM1_MFG", 0x10000, 0x0C, 0x46000, {1, 1}, {2, 0}, {3, 0}, 4096, 0x40000},
    {25, "VQS703_ROM0_MFG", 0xC400, 0x0A, 0xC400, {0, 1}, {0, 0}, {1, 0}, 1024, 0xC400},
    {27, "VQS708_ROM0_MFG", 0x10000, 0x0A, 0x10400, {0, 1}, {0, 0}, {1, 0}, 1024, 0x10400},
};

TEST(SimLaterFamilies, MaskRomToProgramToFirmware) {
    for (const auto& f : kFamilies) {
        SCOPED_TRACE("kind " + std::to_string(f.kind));
        BridgeConfig cfg = Kind(static_cast<std::uint8_t>(f.kind));
        cfg.firmwarePresent = false;
        cfg.romVersion = 1;
        Rig rig(cfg);

        auto id = rig.in(kIdentify, 16);
        ASSERT_TRUE(id.good());
        EXPECT_EQ(id.data[6], f.romPair[0]);
        EXPECT_EQ(id.data[7], f.romPair[1]);
        auto d = ReadDescriptor(rig);
        EXPECT_EQ(d.state, 0xFF);
        EXPECT_EQ(d.capacity, f.mfgSize);
        // The mask ROM has no code in its INQUIRY data and takes no flash commands.
        EXPECT_EQ(rig.in("12 00 00 00 28 00", 40).data[36], ' ');
        EXPECT_EQ(rig.none("DF 03 00 00 00 00 00 00 00 00 00 FB", 100).result.scsiStatus, 2);
        EXPECT_EQ(rig.in(Buffer(0x3C, 1, 0, 0, 1024), 1024).result.scsiStatus, 2);

        // A manufacturing image of the wrong size is refused.
        EXPECT_EQ(rig.out(Buffer(0x3B, 6, 0, 0, f.mfgSize - 512), Image(f.mfgSize - 512))
                      .result.scsiStatus,
                  2);
        // So is anything but the manufacturing program made for this chip.
        EXPECT_EQ(rig.out(Buffer(0x3B, 6, 0, 0, f.mfgSize), Image(f.mfgSize)).result.scsiStatus, 2);
        EXPECT_EQ(rig.bridge->bufferState(), BufferState::MaskRom);
        ASSERT_TRUE(rig.out(Buffer(0x3B, 6, 0, 0, f.mfgSize), Program(f.program)).good());
        d = ReadDescriptor(rig);
        EXPECT_EQ(d.state, f.programState);
        EXPECT_EQ(d.capacity, f.programCapacity);
        id = rig.in(kIdentify, 16);
        EXPECT_EQ(id.data[6], f.programPair[0]);
        EXPECT_EQ(id.data[7], f.programPair[1]);

        ASSERT_TRUE(rig.none("DF 03 00 00 00 00 00 00 00 00 00 FB", 100).good());
        const auto image = Firmware(f.kind, f.download);
        for (std::uint32_t off = 0; off < f.download; off += f.chunk) {
            const std::vector<std::uint8_t> part(image.begin() + off,
                                                 image.begin() + off + f.chunk);
            ASSERT_TRUE(rig.out(Buffer(0x3B, 14, 0, off, f.chunk), part).good()) << off;
        }
        // Read back: equal except the per-device bytes 512 to 1023 (of each bank).
        std::vector<std::uint8_t> back;
        for (std::uint32_t off = 0; off < f.download; off += f.chunk) {
            auto a = rig.in(Buffer(0x3C, 1, 0, off, f.chunk), f.chunk);
            ASSERT_TRUE(a.good());
            back.insert(back.end(), a.data.begin(), a.data.end());
        }
        std::size_t differ = 0;
        for (std::size_t i = 0; i < image.size(); ++i) {
            const bool perDevice =
                (i >= 512 && i < 1024) || (f.kind <= 24 && i >= 0x20200 && i < 0x20400);
            if (!perDevice) {
                EXPECT_EQ(back[i], image[i]) << i;
            }
            differ += back[i] != image[i];
        }
        EXPECT_GT(differ, 0u);

        // Activation: off the bus, back with the new firmware.
        ASSERT_TRUE(rig.none("3B 0F 00 00 00 00 00 00 00 00").good());
        EXPECT_EQ(rig.open(), nullptr);
        rig.sim.clock().sleepMs(1500);
        ASSERT_NE(rig.open(), nullptr);
        EXPECT_EQ(rig.bridge->bufferState(), BufferState::Firmware);
        id = rig.in(kIdentify, 16);
        EXPECT_EQ(id.data[6], f.firmwarePair[0]);
        EXPECT_EQ(id.data[7], f.firmwarePair[1]);
        EXPECT_NE(rig.in("12 00 00 00 28 00", 40).data[36], ' ');
        d = ReadDescriptor(rig, 1);
        EXPECT_EQ(d.state, f.programState);
        // Buffer 1 is the image the chip booted from.
        auto running = rig.in(Buffer(0x3C, 1, 1, 0, 1024), 1024);
        ASSERT_TRUE(running.good());
        EXPECT_TRUE(std::equal(running.data.begin(), running.data.begin() + 512, image.begin()));
    }
}

TEST(SimLaterFamilies, FirmwareTakesNewFirmwareDirectly) {
    Rig rig(Kind(22));
    EXPECT_EQ(rig.bridge->bufferState(), BufferState::Firmware);
    const auto d = ReadDescriptor(rig);
    EXPECT_EQ(d.state, 0x0C);
    EXPECT_EQ(d.capacity, 0x20000u);
    // The manufacturing image is for the mask ROM only.
    EXPECT_EQ(rig.out(Buffer(0x3B, 6, 0, 0, 0x10000), Image(0x10000)).result.scsiStatus, 2);
    // Past the capacity.
    EXPECT_EQ(rig.out(Buffer(0x3B, 14, 0, 0x1F000, 0x2000), Image(0x2000)).result.scsiStatus, 2);
    const auto chunk = Image(4096);
    ASSERT_TRUE(rig.out(Buffer(0x3B, 14, 0, 0x4000, 4096), chunk).good());
    EXPECT_EQ(rig.in(Buffer(0x3C, 1, 0, 0x4000, 4096), 4096).data, chunk);
}

TEST(SimLaterFamilies, IdentityComesFromTheImageStrings) {
    BridgeConfig cfg = Kind(21);
    cfg.flashImage = Image(0x40000);
    std::vector<std::uint8_t> m{8, 3, 'A', 'B', 'C'}, p{10, 3, 'D', 'i', 's', 'k'};
    std::copy(m.begin(), m.end(), cfg.flashImage.begin() + 1576);
    std::copy(p.begin(), p.end(), cfg.flashImage.begin() + 1608);
    SealBank(std::span(cfg.flashImage).first(kBankSize));
    Rig rig(cfg);
    EXPECT_EQ(rig.bridge->identity().manufacturer, "ABC");
    EXPECT_EQ(rig.bridge->identity().product, "Disk");
    EXPECT_EQ(rig.bridge->identity().vid, BridgeConfig{}.defaultIdentity.vid);
}

TEST(SimLaterFamilies, SecondRevisionOfKind26ShowsFFInByte7InTheMaskRom) {
    BridgeConfig cfg = Kind(26);
    cfg.firmwarePresent = false;
    cfg.revision = 2;
    Rig rig(cfg);
    auto id = rig.in(kIdentify, 16);
    EXPECT_EQ(id.data[7], 0xFF);
    EXPECT_EQ(id.data[11], '2');
    EXPECT_EQ(ReadDescriptor(rig).capacity, 0xC400u);
}

}  // namespace
}  // namespace vq::sim::test
