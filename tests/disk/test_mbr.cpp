// The master boot record the station carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "disk/MasterBootRecord.h"

namespace vq::disk {
namespace {

TEST(MasterBootRecord, LayoutOfTheSector) {
    const auto& mbr = BuiltInMasterBootRecord();
    EXPECT_EQ(mbr[440], 0x49);
    EXPECT_EQ(mbr[441], 0x2E);
    EXPECT_EQ(mbr[442], 0x73);
    EXPECT_EQ(mbr[443], 0xB1);
    EXPECT_EQ(mbr[444], 0x00);
    EXPECT_EQ(mbr[445], 0x00);
    EXPECT_TRUE(std::all_of(mbr.begin() + 446, mbr.begin() + 510, [](auto b) { return b == 0; }))
        << "the partition table is empty";
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    // Real-mode code starts with an instruction, not with zeros.
    EXPECT_EQ(mbr[0], 0xFA) << "cli";
}

TEST(MasterBootRecord, CarriesItsThreeMessages) {
    const auto& mbr = BuiltInMasterBootRecord();
    const std::string code(mbr.begin(), mbr.begin() + kMbrSignatureOffset);
    for (const char* message : {"Invalid partition table", "Error loading operating system",
                                "Missing operating system"}) {
        // Each message is a zero-terminated string inside the code area.
        EXPECT_NE(code.find(std::string(message) + '\0'), std::string::npos) << message;
    }
}

TEST(MasterBootRecord, IsTheAssembledSource) {
#ifdef VQ_ASSEMBLED_MBR
    std::ifstream in(VQ_ASSEMBLED_MBR, std::ios::binary);
    ASSERT_TRUE(in) << VQ_ASSEMBLED_MBR;
    const std::vector<std::uint8_t> assembled{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(assembled.size(), kMbrBootCodeSize);
    const auto& mbr = BuiltInMasterBootRecord();
    EXPECT_TRUE(std::equal(assembled.begin(), assembled.end(), mbr.begin()))
        << "disk/mbr/mbr.asm and the embedded bytes differ";
#else
    GTEST_SKIP() << "nasm is not installed: the embedded boot code is not compared with "
                    "disk/mbr/mbr.asm";
#endif
}

}  // namespace
}  // namespace vq::disk
