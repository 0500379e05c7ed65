// Identification, firmware presence, capacity and flash detection against the emulated
// bridges, which answer from the device side.
#include <gtest/gtest.h>

#include <string>

#include "bridge/ChipIdentity.h"
#include "bridge/FlashDetect.h"
#include "bridge/VendorCommands.h"
#include "platform/sim/SimPlatform.h"

namespace vq::bridge {
namespace {

class SimBridgeTest : public ::testing::Test {
  protected:
    sim::SimPlatform sim;
    Transport transport{*sim.platform().scsi, sim.clock()};

    Target add(sim::BridgeConfig config) {
        return Target{transport, sim.addBridge(std::move(config)).physicalDrivePath};
    }
    static sim::BridgeConfig Kind(std::uint8_t kind, std::uint8_t revision = 1) {
        sim::BridgeConfig c;
        c.kind = kind;
        c.revision = revision;
        return c;
    }
};

// The kind IdentifyChip arrives at for each emulated model. A few models cannot be told
// apart by the identification sequence: the second v424 step and v424C1 answer INQUIRY as
// "v424" (their sub-revision is asked only for kinds 4 and 14), v434 is in neither code
// list, and the second parallel-flash model reports the chip number "426" of kind 30.
ChipKind ExpectedKind(ChipKind kind) {
    switch (kind) {
        case 2:
        case 3:
            return 1;
        case 10:
            return 0;
        case 35:
            return 30;
        default:
            return kind;
    }
}

TEST_F(SimBridgeTest, EveryChipKindIsIdentified) {
    for (int k = 1; k <= kMaxChipKind; ++k) {
        SCOPED_TRACE(k);
        const Target t = add(Kind(static_cast<std::uint8_t>(k)));
        EXPECT_EQ(IdentifyChip(t), ExpectedKind(static_cast<ChipKind>(k)));
    }
}

TEST_F(SimBridgeTest, IdentificationWithRevision) {
    struct Row {
        const char* name;
        sim::BridgeConfig config;
        ChipIdentity expected;
    };
    auto step = [](std::uint8_t kind, std::uint8_t code, std::uint8_t extra) {
        sim::BridgeConfig c = Kind(kind);
        c.stepCode = code;
        c.extraStepCode = extra;
        return c;
    };
    const Row rows[] = {
        {"kind 1 without sub-revision gets revision 1", Kind(1), MakeChipIdentity(1, 1)},
        {"v429C3 reads as v429C, revision 4", Kind(6), MakeChipIdentity(4, 4)},
        {"v429C0", Kind(5), MakeChipIdentity(4, 1)},
        {"v429E0", Kind(7), MakeChipIdentity(7, '0' + 1)},
        {"v427A1", Kind(15), MakeChipIdentity(15, 2)},
        {"v427A3", Kind(16), MakeChipIdentity(16, 4)},
        {"v424C1", Kind(3), MakeChipIdentity(1, 2)},
        {"kind 8 step 0xAB", step(8, 0xAB, 0), MakeChipIdentity(8, 11)},
        {"kind 8 step 0xAB with 0xD2 is 50", step(8, 0xAB, 0xD2), MakeChipIdentity(8, 50)},
        {"kind 17 step 0xA9", step(17, 0xA9, 0), MakeChipIdentity(17, 9)},
        {"kind 17 step 0xC4", step(17, 0xC4, 0), MakeChipIdentity(17, 14)},
        {"older family by chip word", Kind(33), MakeChipIdentity(33, 0)},
        {"chip number of the identification answer", Kind(35, 2), MakeChipIdentity(30, 2)},
        {"INQUIRY code carries no revision", Kind(14, 3), MakeChipIdentity(14, 0)},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(IdentifyChipWithRevision(add(r.config)), r.expected);
    }
}

TEST_F(SimBridgeTest, FirmwareVersionTexts) {
    struct Row {
        std::uint8_t kind;
        const char* text;
    } rows[] = {
        {8, "  --.--.--"},   {17, "  --.--.--"},    {14, "2.10"},
        {7, "3.04.05"},      {11, "2.10.03.04.05"}, {12, "2.10.03.04.05"},
        {19, "03.04.05.06"}, {29, "03.04.05.06"},   {13, "2.10.03.04.05"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.kind));
        auto c = Kind(r.kind);
        c.firmwareVersion = {2, 10, 3, 4, 5, 6};
        const Target t = add(c);
        std::string text;
        ASSERT_TRUE(FormatFirmwareVersion(r.kind, t, text));
        EXPECT_EQ(text, r.text);
    }
}

TEST_F(SimBridgeTest, Kind13VersionProbeLeavesTheRegisterAsItFoundIt) {
    auto c = Kind(13);
    c.registers.push_back({0x506A, {0x40}});
    auto added = sim.addBridge(c);
    const Target t{transport, added.physicalDrivePath};
    std::string text;
    ASSERT_TRUE(FormatFirmwareVersion(13, t, text));
    EXPECT_EQ(added.bridge->registers(0x506A, 1), std::vector<std::uint8_t>{0x40});
}

TEST_F(SimBridgeTest, FirmwarePresenceForEveryKind) {
    for (int k = 1; k <= kMaxChipKind; ++k) {
        for (bool present : {true, false}) {
            SCOPED_TRACE(std::to_string(k) + (present ? " with firmware" : " without"));
            auto c = Kind(static_cast<std::uint8_t>(k));
            c.firmwarePresent = present;
            const Target t = add(c);
            const auto kind = static_cast<ChipKind>(k);
            std::string version;
            FormatFirmwareVersion(kind, t, version);
            // Models whose firmware runs from ROM, or whose presence the station does not
            // check, always report firmware; kind 8 never does.
            const bool checked = kind == 4 || kind == 6 || kind == 7 || kind == 9 ||
                                 (kind >= 11 && kind <= 13) || (kind >= 18 && kind <= 29);
            const bool expected = kind != 8 && (present || !checked);
            EXPECT_EQ(HasValidFirmware(t, kind, version), expected) << "version " << version;
        }
    }
}

TEST_F(SimBridgeTest, CapacityOfDrives) {
    struct Row {
        const char* name;
        std::uint8_t kind;
        std::uint64_t sectors;
        std::uint32_t sectorSize;
        std::uint64_t mib;
    } rows[] = {
        {"28-bit drive", 14, 0x0400'0000, 512, 0x0400'0000 >> 11},
        {"48-bit drive", 14, 0x1'0000'0000ull, 512, 0x1'0000'0000ull >> 11},
        {"48-bit drive through the standard pass-through", 19, 0x7470'6DB0ull, 512,
         0x7470'6DB0ull >> 11},
        {"4 KiB logical sectors", 14, 0x0800'0000, 4096, (0x0800'0000ull >> 11) * 8},
        {"4 KiB logical sectors, 48-bit", 26, 0x1'0000'0000ull, 4096, (0x1'0000'0000ull >> 11) * 8},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto c = Kind(r.kind);
        c.master->sectors = r.sectors;
        c.master->logicalSectorSize = r.sectorSize;
        EXPECT_EQ(ReadDriveCapacity(add(c), r.kind), r.mib);
    }
}

TEST_F(SimBridgeTest, CapacityFallsBackToTheGeometryWhenNoDriveAnswers) {
    auto c = Kind(14);
    c.master.reset();
    const std::string path = sim.addBridge(c).physicalDrivePath;
    EXPECT_EQ(ReadDriveCapacity(Target{transport, path}, 14), 0u);
    Transport withGeometry(*sim.platform().scsi, sim.clock(), {}, [](std::string_view) {
        return std::optional<DriveGeometry>(DriveGeometry{1024, 255, 63, 512});
    });
    EXPECT_EQ(ReadDriveCapacity(Target{withGeometry, path}, 14), 1024ull * 255 * 63 * 512 >> 20);
}

TEST_F(SimBridgeTest, FlashFamiliesThroughEachProbe) {
    struct Row {
        std::uint8_t family;
        FlashType probeA, probeB;
    } rows[] = {
        {3, 3, 3},    {4, 4, 4},    {5, 5, 5},    {6, 6, 6},     {7, 7, 7},     {8, 8, 8},
        {9, 9, 9},    {10, 10, 10}, {11, 11, 11}, {12, 12, 12},  {13, 13, 13},  {14, 14, 14},
        {15, 15, 15}, {16, 16, 16}, {17, 16, 17}, {18, 255, 18}, {19, 255, 19}, {20, 255, 20},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(int(r.family));
        auto c = Kind(7);
        c.flashType = r.family;
        const Target a = add(c);
        EXPECT_EQ(ProbeFlashA(a).type, r.probeA);
        EXPECT_EQ(DetectFlashType(7, a), r.probeA);
        auto later = Kind(21);
        later.flashType = r.family;
        later.service23 = 0;
        EXPECT_EQ(ProbeFlashB(add(later)).type, r.probeB);
    }
}

TEST_F(SimBridgeTest, DetectFlashTypeByKind) {
    struct Row {
        const char* name;
        std::uint8_t kind;
        std::optional<std::uint8_t> flashType;
        std::optional<std::uint8_t> service23;
        FlashType expected;
    } rows[] = {
        {"bridge byte", 14, 7, 5, 7},
        {"bridge byte 0 without probe", 14, 7, 0, 255},
        {"13, byte 0, probe A", 13, 8, 0, 8},
        {"13, byte 3, probe A", 13, 12, 3, 12},
        {"19, byte 0, probe A", 19, 13, 0, 13},
        {"21, byte 0, probe B", 21, 19, 0, 19},
        {"22, type 5, probe B", 22, 18, 3, 18},
        {"25, byte 0, probe C", 25, 13, 0, 13},
        {"28, type 3, probe C", 28, 20, 1, 20},
        {"no flash fitted", 4, 255, 0, 255},
        {"kind 8 carries none", 8, std::nullopt, std::nullopt, 255},
        {"kind 17 carries none", 17, std::nullopt, std::nullopt, 255},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        auto c = Kind(r.kind);
        c.flashType = r.flashType;
        c.service23 = r.service23;
        EXPECT_EQ(DetectFlashType(r.kind, add(c)), r.expected);
    }
}

}  // namespace
}  // namespace vq::bridge
