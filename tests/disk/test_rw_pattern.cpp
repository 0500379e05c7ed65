// The pattern file of the read/write test: its digits, its blocks and the shared copy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/TestPattern.h"
#include "tests/disk/FakeFiles.h"

namespace vq {
namespace {

using test::FakeFiles;

std::vector<std::uint8_t> Head(const PatternBlock& b, std::size_t n) {
    return {b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(TestPattern, DigitsFormBytesHighDigitFirst) {
    struct Row {
        const char* text;
        std::vector<std::uint8_t> bytes;
        std::size_t filled;
    } rows[] = {
        {"0123456789abcdef", {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 8},
        {"A1 b2\r\n:c3-D4;", {0xA1, 0xB2, 0xC3, 0xD4}, 4},  // separators skipped
        {"1 2\n3", {0x12, 0x00}, 1},                        // a lone last digit is dropped
        {"G0", {0x00}, 1},                                  // 'G' is 16: 0x100 keeps 0x00
        {"zz", {0x53}, 1},                                  // 35 * 16 + 35 = 0x253
        {"\xff\x80 55", {0x55}, 1},                         // 8-bit characters are no digits
        {"", {0x00}, 0},
    };
    for (const auto& r : rows) {
        PatternBlock block;
        block.fill(0xEE);
        EXPECT_EQ(ParseTestPattern(r.text, block), r.filled) << r.text;
        EXPECT_EQ(Head(block, r.bytes.size()), r.bytes) << r.text;
        EXPECT_EQ(block[kPatternBlockBytes - 1], 0) << "the rest of the block is zero";
    }
}

TEST(TestPattern, BlocksAreConsecutive64KiBStretches) {
    // 65,536 bytes of 0x11 then 3 bytes 0x22 0x33 0x44: block 1 starts at the 0x22.
    std::string text(2 * kPatternBlockBytes, '1');
    text += "223344";
    PatternBlock b0, b1, b2;
    EXPECT_EQ(ParseTestPattern(text, b0, 0), kPatternBlockBytes);
    EXPECT_EQ(b0.back(), 0x11);
    EXPECT_EQ(ParseTestPattern(text, b1, 1), 3u);
    EXPECT_EQ(Head(b1, 4), (std::vector<std::uint8_t>{0x22, 0x33, 0x44, 0x00}));
    EXPECT_EQ(ParseTestPattern(text, b2, 2), 0u);
}

TEST(TestPattern, LoadsFromTheFileInPiecesAndStopsAtTheEnd) {
    FakeFiles files;
    files.addFolder("/pc");
    // A digit pair straddles every piece boundary of the reader; a short file leaves zeros.
    std::string text;
    for (int i = 0; i < 40000; ++i)
        text += "a 5\n";
    files.addFile("/pc/pattern.txt", text);
    PatternBlock block;
    std::uint32_t error = 99;
    ASSERT_TRUE(LoadTestPattern(files, "/pc/pattern.txt", block, 0, &error));
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(block[0], 0xA5);
    EXPECT_EQ(block[39999], 0xA5);
    EXPECT_EQ(block[40000], 0x00);
}

TEST(TestPattern, MissingFileIsAFailureWithTheSystemsError) {
    FakeFiles files;
    files.addFolder("/pc");
    PatternBlock block;
    block.fill(0x77);
    std::uint32_t error = 0;
    EXPECT_FALSE(LoadTestPattern(files, "/pc/none.txt", block, 0, &error));
    EXPECT_EQ(error, syserr::kFileNotFound);
    EXPECT_EQ(block[0], 0);
}

TEST(TestPatternStore, LoadsOnceAndSharesTheBlockButRetriesAFailure) {
    FakeFiles files;
    files.addFolder("/pc");
    TestPatternStore store;
    std::uint32_t error = 0;
    EXPECT_EQ(store.get(files, "/pc/p.txt", &error), nullptr);
    EXPECT_EQ(error, syserr::kFileNotFound);

    files.addFile("/pc/p.txt", "C3");
    auto first = store.get(files, "/pc/p.txt");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ((*first)[0], 0xC3);
    files.addFile("/pc/p.txt", "D4");  // changed after the first run: not read again
    auto second = store.get(files, "/pc/p.txt");
    EXPECT_EQ(second.get(), first.get());
    EXPECT_EQ((*second)[0], 0xC3);
    EXPECT_EQ(store.loadedFrom(), std::filesystem::path("/pc/p.txt"));
}

}  // namespace
}  // namespace vq
