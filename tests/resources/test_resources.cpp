#include "resources/Resources.h"

#include <gtest/gtest.h>

#include <string>

#include "resources/ImageRule.h"

namespace vq::resources {
namespace {

TEST(Resources, EveryBuiltInImageHasItsNameAndSize) {
    const std::pair<const char*, std::size_t> expected[] = {
        {"VQS671_ROM0_MFG", 65536},  {"VQS672_ROM0_MFG", 65536},   {"VQS671_ROM1_MFG", 65536},
        {"VQS672_ROM1_MFG", 65536},  {"VQS673_ROM1_MFG", 65536},   {"VQS675_ROM1_MFG", 65536},
        {"VQS703_ROM0_MFG", 0xC400}, {"VQS702_ROM_MFG_A0", 50176}, {"VQS702_ROM_MFG_A1", 50176},
        {"VQS708_ROM0_MFG", 65536},  {"VQS712_ROM0_MFG", 65536},   {"VQB418FW", 32768},
    };
    EXPECT_EQ(AllResources().size(), std::size(expected));
    for (const auto& [name, size] : expected) {
        const auto img = FindResource("FW", name);
        ASSERT_TRUE(img.has_value()) << name;
        EXPECT_EQ(img->size(), size) << name;
        // Recognisable header: the name, then the size.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(img->data())), name);
        EXPECT_EQ((*img)[32] | ((*img)[33] << 8) | ((*img)[34] << 16), static_cast<int>(size));
        EXPECT_TRUE(MatchesImageRule(name, img->data(), img->size())) << name;
    }
}

TEST(Resources, LookupIgnoresCaseAndReportsMissingNames) {
    EXPECT_TRUE(FindResource("fw", "vqb418fw").has_value());
    EXPECT_FALSE(FindResource("FW", "VQS999_ROM0_MFG").has_value());
    EXPECT_FALSE(FindResource("RCDATA", "VQB418FW").has_value());
}

TEST(Resources, ImagesDifferAndTheRuleRejectsAChangedByte) {
    const auto a = FindResource("FW", "VQS671_ROM0_MFG");
    const auto b = FindResource("FW", "VQS672_ROM0_MFG");
    ASSERT_TRUE(a && b);
    EXPECT_NE(std::vector<std::uint8_t>(a->begin() + 36, a->begin() + 100),
              std::vector<std::uint8_t>(b->begin() + 36, b->begin() + 100));
    std::vector<std::uint8_t> copy(a->begin(), a->end());
    copy[40000] ^= 1;
    EXPECT_FALSE(MatchesImageRule("VQS671_ROM0_MFG", copy.data(), copy.size()));
    EXPECT_FALSE(MatchesImageRule("VQS671_ROM0_MFG", a->data(), a->size() - 1));
}

}  // namespace
}  // namespace vq::resources
