#include "app/IniFile.h"

#include <gtest/gtest.h>

#include "AppTestSupport.h"

namespace vq {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

TEST(IniFile, ReadsSectionsAndKeysWithoutRegardToCase) {
    IniFile ini;
    ini.parse("[Setting]\nWRLOOP=9\n[vqeeprom]\nStringA=Velmora\n");
    EXPECT_EQ(ini.get("setting", "WRLoop"), "9");
    EXPECT_EQ(ini.get("VQEEPROM", "stringa"), "Velmora");
    EXPECT_EQ(ini.get("setting", "StringA"), std::nullopt);
    EXPECT_EQ(ini.get("missing", "WRLoop"), std::nullopt);
}

TEST(IniFile, ReadTrimsBlanksAndUnwrapsMatchingQuotes) {
    IniFile ini;
    ini.parse(
        "[s]\n"
        "  a  =   spaced value \t\n"
        "b=\"quoted  \"\n"
        "c='single'\n"
        "d=\"mismatched'\n"
        "e=\"\n"
        "f=\n"
        "g=x=y\n");
    EXPECT_EQ(ini.get("s", "a"), "spaced value");
    EXPECT_EQ(ini.get("s", "b"), "quoted  ");
    EXPECT_EQ(ini.get("s", "c"), "single");
    EXPECT_EQ(ini.get("s", "d"), "\"mismatched'");
    EXPECT_EQ(ini.get("s", "e"), "\"");
    EXPECT_EQ(ini.get("s", "f"), "");
    EXPECT_EQ(ini.get("s", "g"), "x=y");
}

TEST(IniFile, ToleratesCrLfBomMissingFinalLineEndLinesWithoutEqualsAndDuplicates) {
    IniFile ini;
    ini.parse(
        "\xEF\xBB\xBF[s]\r\n"
        "just a line\r\n"
        "; k=comment\r\n"
        "# k=comment too\r\n"
        "k=first\r\n"
        "K=second\n"
        "[t]\r\n"
        "last=no line end");
    EXPECT_EQ(ini.get("s", "k"), "first");
    EXPECT_EQ(ini.get("t", "last"), "no line end");
    EXPECT_EQ(ini.get("s", "just a line"), std::nullopt);
}

TEST(IniFile, ALoneCarriageReturnEndsALineToo) {
    IniFile ini;
    ini.parse("[s]\ra=Test.b\rin\r\n\r\nb=2\n\rc=3");
    EXPECT_EQ(ini.get("s", "a"), "Test.b");
    EXPECT_EQ(ini.get("s", "b"), "2");
    EXPECT_EQ(ini.get("s", "c"), "3");
    EXPECT_EQ(ini.text(), "[s]\r\na=Test.b\r\nin\r\n\r\nb=2\r\n\r\nc=3\r\n");
}

TEST(IniFile, OnlyTheFirstSectionOfANameIsRead) {
    IniFile ini;
    ini.parse("[s]\na=1\n[S]\na=2\nb=3\n");
    EXPECT_EQ(ini.get("s", "a"), "1");
    EXPECT_EQ(ini.get("s", "b"), std::nullopt);
}

TEST(IniFile, KeysBeforeAnySectionBelongToNone) {
    IniFile ini;
    ini.parse("a=1\n[s]\nb=2\n");
    EXPECT_EQ(ini.get("s", "a"), std::nullopt);
    EXPECT_EQ(ini.get("s", "b"), "2");
}

TEST(IniFile, WriteReplacesTheLineInPlaceKeepingEverythingElse) {
    IniFile ini;
    ini.parse(
        "; station settings\n"
        "[setting]\n"
        "  WRLoop = 7  \n"
        "\n"
        "; comment\n"
        "Other=1\n"
        "[x]\n"
        "WRLoop=3\n");
    ini.set("SETTING", "wrloop", "12");
    EXPECT_EQ(ini.text(),
              "; station settings\r\n"
              "[setting]\r\n"
              "WRLoop=12\r\n"
              "\r\n"
              "; comment\r\n"
              "Other=1\r\n"
              "[x]\r\n"
              "WRLoop=3\r\n");
}

TEST(IniFile, WriteOfADuplicateKeyReplacesTheFirstLine) {
    IniFile ini;
    ini.parse("[s]\nk=1\nk=2\n");
    ini.set("s", "k", "9");
    EXPECT_EQ(ini.text(), "[s]\r\nk=9\r\nk=2\r\n");
}

TEST(IniFile, NewKeyGoesAfterTheLastKeyOfItsSection) {
    IniFile ini;
    ini.parse("[a]\nx=1\n; about b\n\n[b]\ny=2\n");
    ini.set("a", "z", "3");
    EXPECT_EQ(ini.text(), "[a]\r\nx=1\r\nz=3\r\n; about b\r\n\r\n[b]\r\ny=2\r\n");
}

TEST(IniFile, NewKeyOfASectionWithoutKeysGoesAfterItsLastText) {
    IniFile ini;
    ini.parse("[a]\n; nothing yet\n\n[b]\n");
    ini.set("a", "k", "v");
    EXPECT_EQ(ini.text(), "[a]\r\n; nothing yet\r\nk=v\r\n\r\n[b]\r\n");
}

TEST(IniFile, MissingSectionIsAppendedAtTheEndAfterABlankLine) {
    IniFile ini;
    ini.parse("[a]\nx=1");
    ini.set("VQEEPROM", "VenderID", "7E8A");
    ini.set("VQEEPROM", "ProductID", "2429");
    EXPECT_EQ(ini.text(), "[a]\r\nx=1\r\n\r\n[VQEEPROM]\r\nVenderID=7E8A\r\nProductID=2429\r\n");

    IniFile empty;
    empty.parse("");
    empty.set("s", "k", "v");
    EXPECT_EQ(empty.text(), "[s]\r\nk=v\r\n");
}

TEST(IniFile, ByteOrderMarkIsKeptOnWrite) {
    IniFile ini;
    ini.parse("\xEF\xBB\xBF[s]\nk=1\n");
    ini.set("s", "k", "2");
    EXPECT_EQ(ini.text(), "\xEF\xBB\xBF[s]\r\nk=2\r\n");
}

TEST(IniFile, ValuesThatWouldNotReadBackAreQuotedAndLineBreaksBecomeBlanks) {
    IniFile ini;
    ini.parse("");
    ini.set("s", "a", "ABC     ");
    ini.set("s", "b", "'x'");
    ini.set("s", "c", "two\r\nlines");
    ini.set("s", "d", "in side");
    EXPECT_EQ(ini.text(), "[s]\r\na=\"ABC     \"\r\nb=\"'x'\"\r\nc=two  lines\r\nd=in side\r\n");
    IniFile back;
    back.parse(ini.text());
    EXPECT_EQ(back.get("s", "a"), "ABC     ");
    EXPECT_EQ(back.get("s", "b"), "'x'");
    EXPECT_EQ(back.get("s", "c"), "two  lines");
}

TEST(IniFile, IntegersReadAsTheDefaultWhenNotValidAndNeverOverflow) {
    IniFile ini;
    ini.parse(
        "[s]\n"
        "a= -42 \n"
        "b=abc\n"
        "c=12abc\n"
        "d=2147483647\n"
        "e=2147483648\n"
        "f=-2147483648\n"
        "g=99999999999999999999999999\n"
        "h=0x10\n"
        "i=$FFFFFFFF\n"
        "j=+7\n"
        "k=\n"
        "l=0x123456789\n");
    EXPECT_EQ(ini.getInt("s", "a", 5), -42);
    EXPECT_EQ(ini.getInt("s", "b", 5), 5);
    EXPECT_EQ(ini.getInt("s", "c", 5), 5);
    EXPECT_EQ(ini.getInt("s", "d", 5), 2147483647);
    EXPECT_EQ(ini.getInt("s", "e", 5), 5);
    EXPECT_EQ(ini.getInt("s", "f", 5), -2147483647 - 1);
    EXPECT_EQ(ini.getInt("s", "g", 5), 5);
    EXPECT_EQ(ini.getInt("s", "h", 5), 16);
    EXPECT_EQ(ini.getInt("s", "i", 5), -1);
    EXPECT_EQ(ini.getInt("s", "j", 5), 7);
    EXPECT_EQ(ini.getInt("s", "k", 5), 5);
    EXPECT_EQ(ini.getInt("s", "l", 5), 5);
    EXPECT_EQ(ini.getInt("s", "missing", 5), 5);
}

TEST(IniFile, Int64ReadsTheLeadingNumberAndClamps) {
    IniFile ini;
    ini.parse(
        "[s]\n"
        "a=500107862016\n"
        "b=123.9\n"
        "c=99999999999999999999999\n"
        "d=-99999999999999999999999\n"
        "e=none\n");
    EXPECT_EQ(ini.getInt64("s", "a", 0), 500107862016);
    EXPECT_EQ(ini.getInt64("s", "b", 0), 123);
    EXPECT_EQ(ini.getInt64("s", "c", 0), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(ini.getInt64("s", "d", 0), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(ini.getInt64("s", "e", 7), 7);
}

TEST(IniFile, FloatsNeedAWholeFiniteNumber) {
    IniFile ini;
    ini.parse("[s]\na=0.85\nb=1,5\nc=abc\nd=1e39\ne=nan\nf= 2 \n");
    EXPECT_FLOAT_EQ(ini.getFloat("s", "a", 1.0f), 0.85f);
    EXPECT_FLOAT_EQ(ini.getFloat("s", "b", 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(ini.getFloat("s", "c", 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(ini.getFloat("s", "d", 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(ini.getFloat("s", "e", 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(ini.getFloat("s", "f", 1.0f), 2.0f);
}

TEST(IniFile, FloatTextReadsBackToTheSameValue) {
    for (float v : {1.0f, 0.85f, 1.1f, 0.1f, 123456.78f, 3.0e-7f, -2.5f}) {
        const auto back = ParseIniFloat(FormatFloat(v));
        ASSERT_TRUE(back.has_value()) << FormatFloat(v);
        EXPECT_EQ(*back, v) << FormatFloat(v);
    }
    EXPECT_EQ(FormatFloat(1.0f), "1");
}

TEST(IniFile, LoadRefusesFoldersHugeFilesAndBinaryContent) {
    TempDir dir;
    IniFile ini;
    EXPECT_EQ(ini.load(dir.path() / "none.ini"), IniFile::LoadStatus::Missing);
    EXPECT_EQ(ini.load(dir.path()), IniFile::LoadStatus::NotAFile);

    const auto big = dir.path() / "big.ini";
    WriteFile(big, "[s]\n");
    std::filesystem::resize_file(big, 100u * 1024 * 1024);
    EXPECT_EQ(ini.load(big), IniFile::LoadStatus::TooLarge);

    const auto bin = dir.path() / "bin.ini";
    WriteFile(bin, std::string("[s]\nk=1\n\x01\x02\x03", 11));
    EXPECT_EQ(ini.load(bin), IniFile::LoadStatus::NotText);
    WriteFile(bin, std::string("[s]\0k=1", 7));
    EXPECT_EQ(ini.load(bin), IniFile::LoadStatus::NotText);

    const auto good = dir.path() / "good.ini";
    WriteFile(good, "[s]\tk=1\n\x1A");
    EXPECT_EQ(ini.load(good), IniFile::LoadStatus::Ok);
}

TEST(IniFile, SaveWritesTheWholeFileAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto path = dir.path() / "VQMassProd.ini";
    WriteFile(path, "; mine\n[setting]\nWRLoop=7\n");
    IniFile ini;
    ASSERT_EQ(ini.load(path), IniFile::LoadStatus::Ok);
    ini.set("setting", "WRLoop", "8");
    std::string error;
    ASSERT_TRUE(ini.save(path, &error)) << error;
    EXPECT_EQ(ReadFile(path), "; mine\r\n[setting]\r\nWRLoop=8\r\n");
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST(IniFile, SaveReportsAFileThatCannotBeWrittenAndLeavesItUntouched) {
    TempDir dir;
    IniFile ini;
    ini.parse("[s]\nk=1\n");
    std::string error;
    EXPECT_FALSE(ini.save(dir.path() / "no-such-folder" / "x.ini", &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ini.save(dir.path(), &error));  // a folder

    const auto ro = dir.path() / "ro.ini";
    WriteFile(ro, "[s]\nk=0\n");
    std::filesystem::permissions(ro, std::filesystem::perms::owner_read |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
    EXPECT_FALSE(ini.save(ro, &error));
    EXPECT_EQ(ReadFile(ro), "[s]\nk=0\n");
}

TEST(IniFile, AFailedSaveKeepsTheSystemsReasonAndLeavesNoTemporaryFile) {
    TempDir dir;
    IniFile ini;
    ini.parse("[s]\nk=1\n");
    std::string error;
    const auto target = dir.path() / "no-such-folder" / "x.ini";
    EXPECT_FALSE(ini.save(target, &error));
    // Which temporary file could not be made, and the system's own words for why.
    EXPECT_EQ(error.rfind("cannot create " + target.string() + ".tmp", 0), 0u) << error;
    const auto colon = error.rfind(": ");
    ASSERT_NE(colon, std::string::npos) << error;
    EXPECT_GT(error.size(), colon + 2) << error;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              0);
}

TEST(IniFile, SavingThroughASymbolicLinkReplacesItsTarget) {
    TempDir dir;
    const auto real = dir.path() / "real.ini";
    const auto link = dir.path() / "link.ini";
    WriteFile(real, "[s]\nk=0\n");
    std::error_code ec;
    std::filesystem::create_symlink("real.ini", link, ec);  // relative, as users make them
    if (ec)
        GTEST_SKIP() << "no symbolic links here: " << ec.message();
    IniFile ini;
    ASSERT_EQ(ini.load(link), IniFile::LoadStatus::Ok);
    ini.set("s", "k", "1");
    std::string error;
    ASSERT_TRUE(ini.save(link, &error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_EQ(ReadFile(real), "[s]\r\nk=1\r\n");
    EXPECT_EQ(ReadFile(link), "[s]\r\nk=1\r\n");
}

TEST(IniFile, EveryFileASaveWritesLoadsAgain) {
    // LF line ends grow into CR LF on a save: a file read just under 1 MiB grows past it.
    TempDir dir;
    const auto path = dir.path() / "big.ini";
    std::string text = "[s]\nk=0\n";
    const std::string line = "; " + std::string(997, 'c') + "\n";
    while (text.size() + line.size() <= 1024 * 1024)
        text += line;
    WriteFile(path, text);
    IniFile ini;
    ASSERT_EQ(ini.load(path), IniFile::LoadStatus::Ok);
    ini.set("s", "k", "1");
    std::string error;
    ASSERT_TRUE(ini.save(path, &error)) << error;
    EXPECT_GT(std::filesystem::file_size(path), 1024u * 1024);
    IniFile again;
    ASSERT_EQ(again.load(path), IniFile::LoadStatus::Ok);
    EXPECT_EQ(again.get("s", "k"), "1");

    // Right at the limit: a text of exactly kMaxFileSize bytes is written and read; one byte
    // more is refused by the save, which leaves the old file as it was.
    const std::string head = "[s]\r\nk=";
    const std::size_t room = IniFile::kMaxFileSize - head.size() - 2;
    IniFile exact;
    exact.parse(head + std::string(room, 'v') + "\r\n");
    ASSERT_EQ(exact.text().size(), IniFile::kMaxFileSize);
    ASSERT_TRUE(exact.save(path, &error)) << error;
    ASSERT_EQ(again.load(path), IniFile::LoadStatus::Ok);
    EXPECT_EQ(again.get("s", "k")->size(), room);
    IniFile over;
    over.parse(head + std::string(room + 1, 'v') + "\r\n");
    EXPECT_FALSE(over.save(path, &error));
    EXPECT_NE(error.find("larger than"), std::string::npos) << error;
    EXPECT_EQ(std::filesystem::file_size(path), IniFile::kMaxFileSize);
}

}  // namespace
}  // namespace vq
