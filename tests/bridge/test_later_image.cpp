// Checksums and the images and blocks the station prepares for the later bridge families,
// byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "bridge/FirmwareImage.h"
#include "bridge/ImageCrc.h"
#include "bridge/LaterImage.h"
#include "resources/FirmwareExamples.h"
#include "tests/common/TestHex.h"

namespace vq::bridge {
namespace {

using testing_util::Hex;

std::vector<std::uint8_t> Text(std::string_view s) {
    return {s.begin(), s.end()};
}

std::uint32_t Reverse32(std::uint32_t v) {
    std::uint32_t r = 0;
    for (int i = 0; i < 32; ++i)
        r = (r << 1) | ((v >> i) & 1);
    return r;
}

TEST(ImageCrc32, KnownValues) {
    EXPECT_EQ(ImageCrc32(Text("abcd")), 0xA4B608B2u);
    EXPECT_EQ(ImageCrc32({}), 0xFFFFFFFFu);
    // A trailing group of fewer than four bytes is left out.
    EXPECT_EQ(ImageCrc32(Text("abcdXYZ")), ImageCrc32(Text("abcd")));
}

// With each byte taken from its low bit, the register is the mirror image of the common
// reflected CRC-32 before its final inversion, over the data with each group of four bytes
// reversed; so the published CRC-32 values check it.
TEST(ImageCrc32, AgreesWithTheReflectedCrc32) {
    std::vector<std::uint8_t> ascending(32);
    for (int i = 0; i < 32; ++i)
        ascending[i] = static_cast<std::uint8_t>(i);
    struct Row {
        std::vector<std::uint8_t> data;
        std::uint32_t crc32;  // the common CRC-32 of data
    } rows[] = {
        {Text("12345678"), 0x9AE0DAAF},
        {std::vector<std::uint8_t>(32, 0x00), 0x190A55AD},
        {std::vector<std::uint8_t>(32, 0xFF), 0xFF6CAB0B},
        {ascending, 0x91267E8A},
    };
    for (const auto& row : rows) {
        std::vector<std::uint8_t> swapped = row.data;
        for (std::size_t g = 0; g + 4 <= swapped.size(); g += 4)
            std::reverse(swapped.begin() + g, swapped.begin() + g + 4);
        EXPECT_EQ(ImageCrc32(swapped), Reverse32(~row.crc32));
    }
}

TEST(BlockCrc16, KnownValues) {
    struct Row {
        std::vector<std::uint8_t> data;
        std::uint16_t crc;
    } rows[] = {
        {Text("abc"), 0x3BD6},
        {Text("123456789"), 0x43AF},
        {{}, 0xFFFF},
        {std::vector<std::uint8_t>(12, 0), 0xF27D},
    };
    for (const auto& row : rows)
        EXPECT_EQ(BlockCrc16(row.data), row.crc);
}

TEST(SettingBlock, ByteForByte) {
    struct Row {
        std::uint32_t minutes;
        bool enabled;
        const char* head;  // bytes 0-23; the rest of the 4096 are zero
    } rows[] = {
        {0, true, "49 55 50 30 00 00 00 0C 72 CC D9 DE 00 00 00 00 00 00 00 00 00 00 02 58"},
        {10, true, "49 55 50 30 00 00 00 0C 2D F8 B6 BA 00 00 00 00 01 00 00 00 00 00 17 70"},
        {10, false, "49 55 50 30 00 00 00 0C BF 0B 72 C5 00 00 00 00 00 00 00 00 00 00 17 70"},
        {1440, true, "49 55 50 30 00 00 00 0C 89 CF AA AE 00 00 00 00 01 00 00 00 00 0D 2F 00"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.minutes);
        LaterImageSettings s;
        s.standbyMinutes = row.minutes;
        s.standbyEnabled = row.enabled;
        const auto block = BuildSettingBlock(s);
        std::vector<std::uint8_t> expected = Hex(row.head);
        expected.resize(kSettingBlockSize, 0);
        EXPECT_EQ(std::vector<std::uint8_t>(block.begin(), block.end()), expected);
    }
}

TEST(IdentityRecord, ByteForByte) {
    const auto r = BuildIdentityRecord({3, 7, 45, 200}, "SN0001");
    std::vector<std::uint8_t> expected(72, 0);
    expected[0] = 0x42;
    const std::string stamp = "307045";
    expected[4] = 'P';
    std::copy(stamp.begin(), stamp.end(), expected.begin() + 5);
    expected[11] = 200;
    expected[12] = 'P';
    std::copy(stamp.begin(), stamp.end(), expected.begin() + 13);
    expected[19] = 201;
    const std::string serial = "SN0001              ";
    std::copy(serial.begin(), serial.end(), expected.begin() + 52);
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.end()), expected);

    // A serial longer than 20 characters is cut; out-of-range clock fields keep their width.
    const auto cut = BuildIdentityRecord({9, 60, 1000, 1}, "ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(std::string(cut.begin() + 52, cut.end()), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(std::string(cut.begin() + 5, cut.begin() + 11), "960999");
}

// A recognisable two-bank image: every byte its offset's low byte XOR the bank number.
std::vector<std::uint8_t> PatternImage() {
    std::vector<std::uint8_t> image(kLaterImageSize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i ^ (i >> 17));
    return image;
}

// The configuration fields of one bank as the station writes them, built by hand.
void ExpectConfigFields(const std::vector<std::uint8_t>& image, std::size_t bank,
                        std::uint8_t sourceByte, std::uint8_t clear) {
    SCOPED_TRACE(bank);
    const auto at = [&](std::size_t off) { return image[bank + off]; };
    EXPECT_EQ(at(1536), sourceByte);
    std::vector<std::uint8_t> vendor = {'V', 'Q', 'T', 'E', 'C', 'H', 0, clear};
    std::vector<std::uint8_t> product(16, clear);
    const std::string p = "Disk Bridge";
    std::copy(p.begin(), p.end(), product.begin());
    product[p.size()] = 0;
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + bank + 1552, image.begin() + bank + 1560),
              vendor);
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + bank + 1560, image.begin() + bank + 1576),
              product);
    std::vector<std::uint8_t> manufacturer(32, 0);
    manufacturer[0] = 2 * 7 + 2;
    manufacturer[1] = 3;
    const std::string m = "Velmora";
    std::copy(m.begin(), m.end(), manufacturer.begin() + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + bank + 1576, image.begin() + bank + 1608),
              manufacturer);
    std::vector<std::uint8_t> productDesc(32, 0);
    productDesc[0] = 2 * 30 + 2;  // cut to the 30 characters the descriptor holds
    productDesc[1] = 3;
    const std::string pd(30, 'x');
    std::copy(pd.begin(), pd.end(), productDesc.begin() + 2);
    EXPECT_EQ(std::vector<std::uint8_t>(image.begin() + bank + 1608, image.begin() + bank + 1640),
              productDesc);
    const ConstBytes b = ConstBytes(image).subspan(bank, kLaterBankSize);
    EXPECT_EQ(GetBE32(b, 2044), ImageCrc32(b.subspan(1024, 1020)));
    EXPECT_EQ(GetBE32(b, 0x1FFFC), ImageCrc32(b.first(0x1FFFC)));
}

LaterImageSettings Settings() {
    LaterImageSettings s;
    s.inquiryVendor = "VQTECH";
    s.inquiryProduct = "Disk Bridge";
    s.manufacturer = "Velmora";
    s.product = std::string(40, 'x');
    return s;
}

TEST(PatchImageConfig, BothBanksWithEachSourceOption) {
    struct Row {
        bool manuProd, inquiry;
        std::uint8_t byte;
    } rows[] = {{false, false, 0}, {false, true, 1}, {true, false, 2}, {true, true, 3}};
    for (const auto& row : rows) {
        auto image = PatternImage();
        const auto original = image;
        auto s = Settings();
        s.manuProdSourceCtl = row.manuProd;
        s.inquirySourceCtl = row.inquiry;
        ASSERT_TRUE(PatchImageConfig(image, s));
        ExpectConfigFields(image, 0, row.byte, 0x00);
        ExpectConfigFields(image, kLaterBankSize, row.byte, ' ');
        // Nothing else changed.
        for (std::size_t bank : {std::size_t{0}, kLaterBankSize}) {
            for (std::size_t i = 0; i < kLaterBankSize; ++i) {
                const bool written =
                    i == 1536 || (i >= 1552 && i < 1640) || (i >= 2044 && i < 2048) || i >= 0x1FFFC;
                if (!written && image[bank + i] != original[bank + i])
                    FAIL() << "byte " << bank + i << " changed";
            }
        }
    }
}

TEST(PatchImageConfig, TextsFillTheirFieldsWithoutSpilling) {
    auto image = PatternImage();
    auto s = Settings();
    s.inquiryVendor = "ABCDEFGHIJ";  // longer than the field: no terminator spills over
    s.inquiryProduct = "";
    ASSERT_TRUE(PatchImageConfig(image, s));
    EXPECT_EQ(std::string(image.begin() + 1552, image.begin() + 1560), "ABCDEFGH");
    EXPECT_EQ(image[1560], 0);
    EXPECT_EQ(std::string(image.begin() + 0x20000 + 1561, image.begin() + 0x20000 + 1576),
              std::string(15, ' '));
}

TEST(PatchImageConfig, CloneOptionLeavesBankOne) {
    auto image = PatternImage();
    const auto original = image;
    auto s = Settings();
    s.cloneProduct = true;
    ASSERT_TRUE(PatchImageConfig(image, s));
    ExpectConfigFields(image, 0, 0, 0x00);
    EXPECT_TRUE(
        std::equal(image.begin() + kLaterBankSize, image.end(), original.begin() + kLaterBankSize));
}

TEST(CloneMarker, ComparesTheBankChecksums) {
    std::vector<std::uint8_t> image(kLaterImageSize, 0);
    PutBE32(image, 0x1FFFC, 0x12345678);
    PutBE32(image, 0x3FFFC, 0x12345678);
    EXPECT_FALSE(HasCloneMarker(image));
    image[0x3FFFF] ^= 1;
    EXPECT_TRUE(HasCloneMarker(image));
    EXPECT_FALSE(HasCloneMarker(ConstBytes(image).first(0x3FFFF)));
}

TEST(PatchImageHeader, BothBanks) {
    auto image = PatternImage();
    ASSERT_TRUE(PatchImageConfig(image, Settings()));
    const auto configured = image;
    ASSERT_TRUE(PatchImageHeader(image));
    for (std::size_t bank : {std::size_t{0}, kLaterBankSize}) {
        SCOPED_TRACE(bank);
        const ConstBytes b = ConstBytes(image).subspan(bank, kLaterBankSize);
        std::vector<std::uint8_t> header(b.begin() + 512, b.begin() + 524);
        std::vector<std::uint8_t> expected = Hex("5A C3 69 E1 00 00 00 00");
        for (int i = 0; i < 4; ++i)
            expected.push_back(configured[bank + 0x1FFFC + i]);
        EXPECT_EQ(header, expected);
        EXPECT_EQ(GetBE32(b, 1020), ImageCrc32(b.first(1020)));
        // The rest of the bank is as the configuration left it.
        EXPECT_TRUE(std::equal(b.begin() + 524, b.begin() + 1020, configured.begin() + bank + 524));
        EXPECT_TRUE(std::equal(b.begin() + 1024, b.end(), configured.begin() + bank + 1024));
    }
}

TEST(PatchImage, RefusesAShortImage) {
    std::vector<std::uint8_t> image(kLaterImageSize - 1, 0x11);
    EXPECT_FALSE(PatchImageConfig(image, Settings()));
    EXPECT_FALSE(PatchImageHeader(image));
    EXPECT_TRUE(std::all_of(image.begin(), image.end(), [](auto b) { return b == 0x11; }));
}

TEST(Compare, SkipsTheBytesTheChipKeeps) {
    std::vector<std::uint8_t> a(0x40000, 0x33), b = a;
    const auto first = CompareExclusions(21);
    const auto later = CompareExclusions(27);
    for (std::size_t i :
         {std::size_t{512}, std::size_t{1023}, std::size_t{0x20200}, std::size_t{0x203FF}})
        b[i] ^= 0xFF;
    EXPECT_EQ(FirstDifference(a, b, 0x40000, first), std::nullopt);
    EXPECT_EQ(FirstDifference(a, b, 0x40000, later), std::optional<std::size_t>(0x20200));
    b[511] ^= 1;
    b[1024] ^= 1;
    EXPECT_EQ(FirstDifference(a, b, 0x40000, first), std::optional<std::size_t>(511));
    b[511] ^= 1;
    EXPECT_EQ(FirstDifference(a, b, 0x40000, first), std::optional<std::size_t>(1024));
    // A read-back shorter than the compared length differs where it ends.
    EXPECT_EQ(FirstDifference(a, ConstBytes(a).first(100), 200, first),
              std::optional<std::size_t>(100));
}

std::vector<std::uint8_t> ImageWithProbe(std::size_t size, std::vector<std::uint8_t> probe) {
    std::vector<std::uint8_t> f(size, 0);
    std::copy(probe.begin(), probe.end(), f.begin());
    return f;
}

TEST(DescribeLaterImage, KindsAnImageServes) {
    struct Row {
        const char* name;
        std::vector<std::uint8_t> file;
        std::vector<ChipIdentity> serves;
        const char* model;
    } rows[] = {
        {"671", ImageWithProbe(0x40000, Text("VQS671")), {MakeChipIdentity(21, 0)}, "671"},
        {"672", ImageWithProbe(0x40000, Text("VQS672")), {MakeChipIdentity(22, 0)}, "672"},
        {"673",
         ImageWithProbe(0x40000, Text("VQS673")),
         {MakeChipIdentity(21, 0), MakeChipIdentity(23, 0)},
         "673"},
        {"675 truncated", ImageWithProbe(0x3F000, Text("VQS675")), {}, "675"},
        {"705", ImageWithProbe(0xC600, Hex("00 00 00 00 70 05")), {MakeChipIdentity(25, 0)}, "705"},
        {"702 A0",
         ImageWithProbe(0xC600, Hex("00 00 00 00 07 02")),
         {MakeChipIdentity(26, 1)},
         "72"},
        {"702 A1",
         ImageWithProbe(0x10600, Hex("00 00 00 00 70 22")),
         {MakeChipIdentity(26, 2)},
         "7022"},
        {"708",
         ImageWithProbe(0x10600, Hex("00 00 00 00 70 08")),
         {MakeChipIdentity(27, 0)},
         "708"},
        {"712",
         ImageWithProbe(0x10600, Hex("00 00 00 00 71 02")),
         {MakeChipIdentity(28, 0)},
         "712"},
        {"930",
         ImageWithProbe(0x10600, Hex("00 00 00 00 93 00")),
         {MakeChipIdentity(29, 0)},
         "9300"},
        {"708 truncated", ImageWithProbe(0x10400, Hex("00 00 00 00 70 08")), {}, "708"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto f = DescribeLaterImage(row.file);
        EXPECT_EQ(f.serves, row.serves);
        EXPECT_EQ(f.size, row.file.size());
        if (!row.serves.empty()) {
            EXPECT_EQ(f.modelText, row.model);
            EXPECT_EQ(f.banks, IsFirstLaterFamily(KindOf(row.serves.front())) ? 2 : 1);
        }
    }
}

TEST(DescribeLaterImage, SeesHeadersAndChecksums) {
    auto image = ImageWithProbe(0x40000, Text("VQS672"));
    auto f = DescribeLaterImage(image);
    EXPECT_FALSE(f.headerPresent[0]);
    EXPECT_FALSE(f.configCrcOk[1]);
    ASSERT_TRUE(PatchImageConfig(image, Settings()));
    ASSERT_TRUE(PatchImageHeader(image));
    f = DescribeLaterImage(image);
    for (int n = 0; n < 2; ++n) {
        EXPECT_TRUE(f.headerPresent[n]);
        EXPECT_TRUE(f.configCrcOk[n]);
        EXPECT_EQ(f.bankCrc[n], GetBE32(image, n * kLaterBankSize + 0x1FFFC));
    }
    // A header whose copy of the bank checksum is stale is not a valid header.
    image[0x1FFFC] ^= 1;
    EXPECT_FALSE(DescribeLaterImage(image).headerPresent[0]);
}

// The shipped examples of the later families are valid images of their kind: every header
// and checksum right, both banks alike, the size the kind takes.
TEST(DescribeLaterImage, ShippedExamples) {
    const auto folder = std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "firmware";
    int seen = 0;
    for (const auto& row : resources::kExampleFirmware) {
        if (!IsLaterFamily(row.kind))
            continue;
        SCOPED_TRACE(std::string(row.file));
        ++seen;
        FirmwareImage image;
        ASSERT_EQ(LoadFirmwareImage(folder / row.file, image), FirmwareLoadError::None);
        const auto f = DescribeLaterImage(image.bytes());
        const ChipIdentity chip = MakeChipIdentity(row.kind, row.kind == 26 ? row.revision : 0);
        EXPECT_NE(std::find(f.serves.begin(), f.serves.end(), chip), f.serves.end());
        if (IsFirstLaterFamily(row.kind)) {
            EXPECT_EQ(f.banks, 2);
            for (int n = 0; n < 2; ++n) {
                EXPECT_TRUE(f.headerPresent[n]);
                EXPECT_TRUE(f.configCrcOk[n]);
            }
            EXPECT_FALSE(f.cloneMarker);
        } else {
            EXPECT_EQ(f.banks, 1);
        }
    }
    EXPECT_EQ(seen, 11);  // two banks for 21 to 24, the long v702 image among the rest
}

}  // namespace
}  // namespace vq::bridge
