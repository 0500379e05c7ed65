#include <gtest/gtest.h>

#include "app/shell/DetailFacts.h"
#include "tests/run/RunRig.h"

namespace vq {
namespace {

TEST(FlashVendorName, NamesOfTheFlashTypes) {
    const std::pair<int, const char*> rows[] = {
        {3, "PMC/ISSI"},
        {4, "SST"},
        {5, "ST/EON/MXIC/ISSI/FUDAN/BERG/BOYA/ACE/BOHONG"},
        {6, "ATMEL"},
        {7, "MXIC/KH"},
        {8, "WINBOND"},
        {9, "AMIC"},
        {10, "EON"},
        {11, "ESMT"},
        {12, "SANYO"},
        {13, "GIGADEVICE"},
        {14, "VPOWERWINS/SHANGHAI FUDAN"},
        {15, "PMC/ISSI"},
        {16, "BOYA/BERG/BOHONG"},
        {17, "BERG/ACE"},
        {18, "ACE/BOHONG/BOYA"},
        {19, "XTX"},
        {20, "PUYA"},
        {2, "Unknown"},
        {21, "Unknown"},
        {255, "Unknown"},
    };
    for (const auto& [type, name] : rows)
        EXPECT_EQ(FlashVendorName(type), name) << type;
}

// The facts of one port after a refresh, for bridges of several kinds: the series names,
// the flash type that kinds 8 and 17 never ask for, the disk's own firmware revision
// without its trailing blanks, and the UAS driver.
TEST(DetailFacts, FactsOfOnePortByKind) {
    struct Row {
        std::uint8_t kind;
        bool uas;
        const char* chip;
        bool flashUnknown;
        const char* type;
    };
    const Row rows[] = {
        {19, false, "VQS646B Series", false, "USB"},
        {13, true, "VQS653/646 Series", false, "UASP"},
        {8, false, "VQ57", true, "USB"},
        {17, false, "VQ57", true, "USB"},
    };
    for (const Row& row : rows) {
        test::RunRig r;
        r.rig.st().addRootHub("r", 4);
        sim::BridgeConfig c = test::StationRig::Config("000000000001", row.kind);
        c.defaultIdentity.vid = 0x7E8A;
        c.defaultIdentity.pid = 0x2429;
        c.master->firmwareRevision = "AB12  ";
        c.master->sectors = 64 * 2048;
        r.rig.bridge("r", 1, c, {{'D', 60}}, sim::PortSpeed::Super, row.uas);
        r.loadSettings({});
        r.make();
        r.station->DeviceRefresh();
        const PortRecord& p = r.port(1);
        ASSERT_TRUE(p.usable) << int{row.kind};
        const DetailFacts f =
            ReadDetailFacts(p, 'D', r.station->transport(), r.station->discovery(), false);
        EXPECT_EQ(f.chipId.substr(0, std::string(row.chip).size()), row.chip) << int{row.kind};
        if (row.flashUnknown) {
            EXPECT_EQ(f.flashType, "Unknown") << int{row.kind};
        }
        EXPECT_EQ(f.deviceType, row.type) << int{row.kind};
        EXPECT_EQ(f.vendorId, "0x7E8A");
        EXPECT_EQ(f.diskLetter, "D");
        EXPECT_EQ(f.hddFirmware, "AB12") << int{row.kind};
        EXPECT_EQ(f.firmware, p.firmwarePresent ? p.firmwareVersion : "Internal code");
        EXPECT_TRUE(f.hddFirmwareEnabled);
    }
}

}  // namespace
}  // namespace vq
