#include "app/RunSettings.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>

#include "app/ScanFacts.h"
#include "tests/common/VolumeServiceStub.h"

namespace vq {
namespace {

TEST(FixedText, CutsToCapacityLessOneAndAtAZeroByte) {
    FixedText t(10);
    t = "0123456789ABC";
    EXPECT_EQ(t.str(), "012345678");
    t = std::string_view("AB\0CD", 5);
    EXPECT_EQ(t.str(), "AB");
    FixedText copy = t;
    copy = "a longer text than ten";
    EXPECT_EQ(copy.size(), 9u);
}

TEST(FindChoiceIndex, FirstEqualEntryOrMinusOne) {
    EXPECT_EQ(FindChoiceIndex(kCapacityChoices, 0), 0);
    EXPECT_EQ(FindChoiceIndex(kCapacityChoices, 1), 1);
    EXPECT_EQ(FindChoiceIndex(kCapacityChoices, 500), 8);
    EXPECT_EQ(FindChoiceIndex(kCapacityChoices, 2000), 13);
    EXPECT_EQ(FindChoiceIndex(kCapacityChoices, 100), -1);
    EXPECT_EQ(FindChoiceIndex(kClusterSizeChoices, 4096), 2);
    const std::int32_t dup[] = {3, 5, 3};
    EXPECT_EQ(FindChoiceIndex(dup, 3), 0);
}

TEST(SanitizeClusterSize, KeepsTheOfferedSizesExceptWithFat32) {
    EXPECT_EQ(SanitizeClusterSize(0, 512), 512);
    EXPECT_EQ(SanitizeClusterSize(0, 4096), 4096);
    EXPECT_EQ(SanitizeClusterSize(2, 32768), 32768);
    EXPECT_EQ(SanitizeClusterSize(1, 4096), 0);
    EXPECT_EQ(SanitizeClusterSize(0, 1000), 0);  // not a power of two
    EXPECT_EQ(SanitizeClusterSize(0, 1024), 0);  // a power of two not offered
    EXPECT_EQ(SanitizeClusterSize(0, 0), 0);
    EXPECT_EQ(SanitizeClusterSize(0, std::numeric_limits<std::int32_t>::min()), 0);
}

// MiB whose x = MiB * 0.00105 is about the given decimal GB.
std::uint64_t MiBFor(double gb) {
    return static_cast<std::uint64_t>(gb / 0.00105 + 0.5);
}

TEST(CapacityMatches, WorksInSinglePrecisionAsTheStationDoes) {
    EXPECT_TRUE(CapacityMatches(MiBFor(500.8), 500));   // d = 0
    EXPECT_FALSE(CapacityMatches(MiBFor(250.4), 500));  // d = 249, 249 / 250.4
    EXPECT_FALSE(CapacityMatches(MiBFor(556), 500));    // d = 56, ratio about 0.101
    EXPECT_TRUE(CapacityMatches(MiBFor(555), 500));     // d = 55, ratio about 0.099
    EXPECT_TRUE(CapacityMatches(MiBFor(1000.5), 1000));
    EXPECT_FALSE(CapacityMatches(0, 500));
}

// The volume service of the machine, as far as the free-space check asks it.
class FakeVolumes final : public test::VolumeServiceStub {
  public:
    DriveType driveType(char) override { return DriveType::Fixed; }
    std::optional<std::uint64_t> freeBytes(char letter) override {
        const auto it = bytes.find(letter);
        if (it == bytes.end())
            return std::nullopt;
        return it->second;
    }
    std::map<char, std::uint64_t> bytes;
};

TEST(FreeSpaceInRange, SumsTheDeviceVolumesAndComparesWithTheRange) {
    FakeVolumes q;
    q.bytes = {{'E', 600}, {'F', 400}};
    const std::vector<char> both = {'E', 'F'};
    EXPECT_TRUE(FreeSpaceInRange(0, 5, 0, both, q));  // check off
    EXPECT_TRUE(FreeSpaceInRange(1, 1000, 0, both, q));
    EXPECT_TRUE(FreeSpaceInRange(1, 1100, 100, both, q));
    EXPECT_TRUE(FreeSpaceInRange(1, 900, 100, both, q));
    EXPECT_FALSE(FreeSpaceInRange(1, 1101, 100, both, q));
    EXPECT_FALSE(FreeSpaceInRange(1, 899, 100, both, q));
    EXPECT_FALSE(FreeSpaceInRange(1, 1000, 0, {'E'}, q));
    // A drive that cannot be asked counts as 0 bytes.
    EXPECT_TRUE(FreeSpaceInRange(1, 600, 0, {'E', 'G'}, q));
    // Extreme values saturate instead of overflowing.
    const auto max = std::numeric_limits<std::int64_t>::max();
    const auto min = std::numeric_limits<std::int64_t>::min();
    EXPECT_TRUE(FreeSpaceInRange(1, max, max, both, q));
    EXPECT_FALSE(FreeSpaceInRange(1, 0, min, both, q));  // range "negative": nothing fits
    EXPECT_TRUE(FreeSpaceInRange(1, 0, max, both, q));
    EXPECT_FALSE(FreeSpaceInRange(1, min, max, both, q));
    q.bytes = {{'E', std::numeric_limits<std::uint64_t>::max()}, {'F', 10}};
    EXPECT_TRUE(FreeSpaceInRange(1, max, 0, both, q));
}

TEST(SettingKeys, SavedKeysFollowTheSaveOrderWithTheirWrittenTypes) {
    RunSettings s;
    s.FlashType = 255;
    s.ClusterSizeSet = 0;
    s.FmtSecPerClus = 4096;
    s.EnFormat = 5;
    s.PerfShift = 0.85f;
    s.FreeSpace = 500107862016;
    const auto saved = SavedKeyValues(s);
    std::map<std::string, std::string> byKey;
    for (const auto& kv : saved)
        byKey[kv.section + "." + kv.key] = kv.value;
    EXPECT_EQ(byKey["VQEEPROM.FlashType"], "-1");
    EXPECT_EQ(byKey["VQEXECUTE.FmtSecPerClus"], "-1");
    EXPECT_EQ(byKey["VQEXECUTE.EnFormat"], "1");
    EXPECT_EQ(byKey["setting.PerfShift"], "0.85");
    EXPECT_EQ(byKey["VQEXECUTE.FreeSpace"], "500107862016");
    for (const char* unsaved :
         {"setting.SCSITimeout", "setting.MPKestrinCustomer", "setting.WaitTime",
          "setting.MPDevCount", "setting.EPPPowerOnDelay", "setting.EPPPowerOffDelay",
          "setting.EPPPowerGPIODelay", "setting.MPEEPROMAtHDD", "702PDswitch.EnPD",
          "LoopDebug.EnLoopDebug"})
        EXPECT_EQ(byKey.count(unsaved), 0u) << unsaved;

    ASSERT_EQ(saved.size(), 22u + 25u + 28u + 10u);
    EXPECT_EQ(saved[0].key, "USBWritePerformance");
    EXPECT_EQ(saved[19].key, "EnBarcodeMode");
    EXPECT_EQ(saved[22].key, "CapacityCustomize");
    EXPECT_EQ(saved[24].key, "FreeSpace");
    EXPECT_EQ(saved[47].key, "TableType");
    EXPECT_EQ(saved[74].key, "BarcodeLength");
    EXPECT_EQ(saved[75].section, "VQEEPROMVERIFY");
    EXPECT_EQ(saved[80].key, "EnCheckDiskName");

    s.ClusterSizeSet = 1;
    s.FlashType = 2;
    for (const auto& kv : SavedKeyValues(s)) {
        if (kv.key == "FmtSecPerClus") {
            EXPECT_EQ(kv.value, "4096");
        }
        if (kv.key == "FlashType") {
            EXPECT_EQ(kv.value, "2");
        }
    }
}

TEST(SettingKeys, AllKeysAreListedInTableOrderOnce) {
    const auto all = AllKeyValues(RunSettings{});
    EXPECT_EQ(all.size(), 30u + 25u + 28u + 2u + 10u + 2u);
    EXPECT_EQ(all.front().key, "USBWritePerformance");
    EXPECT_EQ(all[29].key, "SCSITimeout");
    EXPECT_EQ(all[30].key, "CapacityCustomize");
    EXPECT_EQ(all.back().key, "NumberOfPass");
    std::map<std::string, int> seen;
    for (const auto& kv : all)
        EXPECT_EQ(++seen[kv.section + "." + kv.key], 1) << kv.key;
}

TEST(ClassifyScan, FactsFollowTheAttachedChipKinds) {
    auto f = ClassifyScan({}, false);
    EXPECT_EQ(f.deviceCount, 0);
    EXPECT_TRUE(f.typeChoiceAllowed);
    EXPECT_TRUE(f.olderBridgesOnly);

    f = ClassifyScan({{3, 1, 2}}, false);
    EXPECT_TRUE(f.typeChoiceAllowed);
    EXPECT_TRUE(f.olderBridgesOnly);
    EXPECT_EQ(f.firstChipIdentity, 0x0103);  // kind in the low byte, revision in the high

    f = ClassifyScan({{22, 0, 4}, {22, 0, 4}}, false);
    EXPECT_FALSE(f.typeChoiceAllowed);
    EXPECT_TRUE(f.usb3Bridge);
    EXPECT_TRUE(f.usb3AllGen2);
    EXPECT_TRUE(f.stringSourceBridge);
    EXPECT_TRUE(f.diskStepsOff);
    EXPECT_TRUE(f.driveStringBridge);
    EXPECT_TRUE(f.opticalSizeBridge);
    EXPECT_TRUE(f.standbyTimerSupported);  // 22 leaves the initial value
    EXPECT_EQ(f.modelCount, 1);

    f = ClassifyScan({{13, 0, 3}, {20, 0, 2}}, false);
    EXPECT_TRUE(f.usb3Bridge);
    EXPECT_FALSE(f.usb3AllAboveUsb2);
    EXPECT_EQ(f.modelCount, 2);

    f = ClassifyScan({{31, 0, 2}}, false);
    EXPECT_FALSE(f.type3Offered);
    EXPECT_FALSE(f.firmwareGroupUsable);
    EXPECT_FALSE(f.standbyTimerSupported);
    f = ClassifyScan({{31, 0, 2}, {30, 0, 2}}, false);
    EXPECT_TRUE(f.type3Offered);
    EXPECT_TRUE(f.parallelFlashBridge);
    EXPECT_TRUE(f.otherBridge);

    f = ClassifyScan({{30, 0, 2}}, true);
    EXPECT_FALSE(f.firmwareGroupUsable);
    EXPECT_FALSE(f.otherBridge);

    // Kind 8: the first bridge's revision decides the standby timer; the last bridge wins.
    EXPECT_TRUE(ClassifyScan({{8, 8, 2}}, false).standbyTimerSupported);
    EXPECT_FALSE(ClassifyScan({{8, 7, 2}}, false).standbyTimerSupported);
    EXPECT_TRUE(ClassifyScan({{9, 0, 2}, {16, 0, 2}}, false).standbyTimerSupported);
    EXPECT_FALSE(ClassifyScan({{16, 0, 2}, {9, 0, 2}}, false).standbyTimerSupported);
    EXPECT_TRUE(ClassifyScan({{17, 0, 2}}, false).chipKind17or18);
}

}  // namespace
}  // namespace vq
