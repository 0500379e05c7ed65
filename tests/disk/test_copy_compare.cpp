// The software copy and the folder compare on in-memory volumes: copy sources and
// destinations, the counting and comparing walks, time stamps, links and faults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "disk/FolderCompare.h"
#include "disk/SoftwareCopy.h"
#include "platform/Diagnostics.h"
#include "platform/Operator.h"
#include "platform/Platform.h"
#include "tests/disk/FakeFiles.h"

namespace vq {
namespace {

using test::FakeFiles;

constexpr std::uint64_t kSecond = 10'000'000;
const std::string kSep(1, static_cast<char>(std::filesystem::path::preferred_separator));

// A path of the tests' volumes as the system writes it ("/vol" joined with the rest).
std::string Native(const std::string& generic) {
    std::filesystem::path p;
    std::size_t at = 0;
    while (at < generic.size()) {
        const std::size_t next = generic.find('/', at + 1);
        const std::string part = generic.substr(at, next == std::string::npos ? next : next - at);
        p = p.empty() ? std::filesystem::path(part) : p / part.substr(1);
        at = next == std::string::npos ? generic.size() : next;
    }
    return p.string();
}

struct Rig {
    FakeFiles files;
    RecordingOperator op;
    CapturingDiagnostics diag;
    Platform platform;
    int flushes = 0;

    // The PC's software folder and an empty volume.
    Rig() {
        platform.files = &files;
        platform.op = &op;
        platform.diagnostics = &diag;
        files.addFolder("/pc");
        files.addFolder("/pc/sw", 1 * kSecond);
        files.addFile("/pc/sw/setup.exe", "MZ setup", 1000 * kSecond);
        files.addFile("/pc/sw/readme.txt", "read me", 1001 * kSecond + 5);
        files.addFolder("/pc/sw/drivers");
        files.addFile("/pc/sw/drivers/usb.inf", "[Version]", 1002 * kSecond);
        files.addFolder("/pc/sw/drivers/x64");
        files.addFile("/pc/sw/drivers/x64/usb.sys", std::string(3000, 'S'), 1003 * kSecond);
        files.addFolder("/vol");
    }
    SoftwareStepInput input(std::string dst = "SW") const {
        SoftwareStepInput in;
        in.volumeRoot = std::filesystem::path("/vol");
        in.copySource = "/pc/sw/*.*";
        in.dstFolder = std::move(dst);
        return in;
    }
    std::int32_t copy(const SoftwareStepInput& in, std::string* failure = nullptr) {
        return RunCopyStep(
            platform, in, [this] { ++flushes; }, {}, failure);
    }
    // The counts the run driver takes from the source at START.
    FolderCounts expected(bool advanced) {
        FolderCounts c;
        EXPECT_EQ(WalkFolder(platform, "/pc/sw", {}, 0, c), 1);
        c.advanced = advanced ? 1 : 0;
        return c;
    }
    std::int32_t compare(bool advanced, std::string* difference = nullptr) {
        FolderCounts c = expected(advanced);
        return RunCompareStep(platform, input(), c, difference);
    }
    std::vector<std::string> failTexts() const {
        std::vector<std::string> out;
        for (const auto& m : op.messages()) {
            EXPECT_EQ(m.title, "Fail ");
            out.push_back(m.text);
        }
        return out;
    }
};

TEST(CopySource, BuiltFromTheSourceTextAsTheRunDriverDoes) {
    FakeFiles files;
    files.addFolder("/pc");
    files.addFolder("/pc/sw");
    files.addFile("/pc/sw/setup.exe", "x");
    struct Row {
        std::string text, copySource, compareSource;
    } rows[] = {
        {"/pc/sw", "/pc/sw" + kSep + "*.*", "/pc/sw" + kSep},
        {"/pc/sw/", "/pc/sw/*.*", "/pc/sw/"},
        {"/pc/sw/setup.exe", "/pc/sw/*.*", "/pc/sw/"},  // a file: the folder that holds it
        {"/pc/sw/*.*", "/pc/sw/*.*", "/pc/sw/"},
        {"E:\\gone\\x.bin", "E:\\gone\\*.*", "E:\\gone\\"},
        {"E:x.bin", "E:" + kSep + "*.*", "E:" + kSep},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(MakeCopySource(files, r.text), r.copySource) << r.text;
        EXPECT_EQ(CompareSourceOf(r.copySource), r.compareSource) << r.text;
    }
    EXPECT_EQ(MakeCopySource(files, "/" + std::string(300, 'a') + "/").size(), 255u);
}

TEST(CopyDestination, StaysInsideTheVolume) {
    const std::filesystem::path root = "/vol";
    struct Row {
        const char* text;
        std::optional<std::filesystem::path> folder;
    } rows[] = {
        {"", root},
        {"SW", root / "SW"},
        {"SW\\bin", root / "SW" / "bin"},
        {"SW/bin/", root / "SW" / "bin"},
        {"\\SW", root / "SW"},
        {".\\SW\\.", root / "SW"},
        {"..", std::nullopt},
        {"SW\\..\\..\\etc", std::nullopt},
        {"a/../b", std::nullopt},
        {"C:\\Windows", std::nullopt},
        {"\\\\server\\share", std::nullopt},
        {"//server/share", std::nullopt},
        {"SW:stream", std::nullopt},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ResolveDestination(root, r.text), r.folder) << r.text;
}

TEST(SoftwareCopy, CopiesTheTreeIntoNewFoldersAndPassesTheCompare) {
    Rig rig;
    EXPECT_EQ(rig.copy(rig.input("SW\\v1\\image")), 1);
    EXPECT_EQ(rig.flushes, 3);
    EXPECT_EQ(rig.files.content("/vol/SW/v1/image/drivers/x64/usb.sys").size(), 3000u);
    SoftwareStepInput in = rig.input("SW\\v1\\image");
    FolderCounts counts = rig.expected(true);
    EXPECT_EQ(counts.folders, 2);
    EXPECT_EQ(counts.files, 4);
    EXPECT_EQ(RunCompareStep(rig.platform, in, counts, nullptr), 1);
    EXPECT_TRUE(rig.op.messages().empty());
}

TEST(SoftwareCopy, RefusesADestinationOutsideTheVolume) {
    Rig rig;
    std::string failure;
    EXPECT_EQ(rig.copy(rig.input("..\\..\\pc"), &failure), -1);
    EXPECT_EQ(failure, "Dest. Dir. must be a folder on the disk: ..\\..\\pc");
    ASSERT_EQ(rig.op.messages().size(), 1u);
    EXPECT_EQ(rig.op.messages()[0].title, "Error");
    EXPECT_EQ(rig.files.paths().size(), 9u) << "nothing was written anywhere";
    EXPECT_EQ(rig.flushes, 0);
    FolderCounts c = rig.expected(false);
    EXPECT_EQ(RunCompareStep(rig.platform, rig.input("../x"), c, nullptr), -1);
}

TEST(SoftwareCopy, FailsWithoutLetterAfterAFailureAndWhenTheVolumeFills) {
    Rig rig;
    SoftwareStepInput in = rig.input();
    in.earlierFailure = true;
    EXPECT_EQ(rig.copy(in), -1);
    in = rig.input();
    in.volumeRoot.reset();
    EXPECT_EQ(rig.copy(in), -1);
    EXPECT_FALSE(rig.files.exists("/vol/SW"));

    rig.files.capacity = 3010;  // room for the driver and little else
    std::string failure;
    EXPECT_EQ(rig.copy(rig.input(), &failure), -1);
    EXPECT_NE(failure.find("disk full"), std::string::npos) << failure;
    EXPECT_EQ(rig.flushes, 0);
    EXPECT_EQ(rig.compare(false), -1);
}

TEST(SoftwareCopy, AMissingSourceFolderFails) {
    Rig rig;
    SoftwareStepInput in = rig.input();
    in.copySource = "/pc/none/*.*";
    std::string failure;
    EXPECT_EQ(rig.copy(in, &failure), -1);
    EXPECT_NE(failure.find("/pc/none"), std::string::npos) << failure;
}

TEST(FolderCompare, ExtraFileInTheDestinationFailsInTheCountingPass) {
    Rig rig;
    ASSERT_EQ(rig.copy(rig.input()), 1);
    rig.files.addFile("/vol/SW/drivers/extra.txt", "more");
    std::string difference;
    EXPECT_EQ(rig.compare(true, &difference), -1);
    EXPECT_EQ(rig.files.opens(), 0) << "no file is read";
    EXPECT_TRUE(rig.op.messages().empty());
    EXPECT_EQ(difference,
              Native("/vol/SW") + ": 2 folders and 5 files, expected 2 folders and 4 files");
}

TEST(FolderCompare, SystemFoldersAreLeftOutOnBothSides) {
    Rig rig;
    rig.files.addFolder("/pc/sw/RECYCLER");
    rig.files.addFile("/pc/sw/RECYCLER/old.bin", "old");
    ASSERT_EQ(rig.copy(rig.input()), 1);
    rig.files.addFolder("/vol/SW/System Volume Information");
    rig.files.addFile("/vol/SW/System Volume Information/IndexerVolumeGuid", "guid");
    rig.files.addFolder("/vol/SW/drivers/RECYCLER");
    rig.files.addFolder("/vol/SW/drivers/RECYCLER/S-1-5");
    FolderCounts c = rig.expected(true);
    EXPECT_EQ(c.folders, 2);
    EXPECT_EQ(c.files, 4);
    EXPECT_EQ(RunCompareStep(rig.platform, rig.input(), c, nullptr), 1);
    // The exact names only: a folder called "recycler" is an ordinary folder.
    rig.files.addFolder("/vol/SW/recycler");
    EXPECT_EQ(rig.compare(false), -1);
}

TEST(FolderCompare, EachDifferenceIsShownWithTheDestinationPath) {
    struct Row {
        const char* name;
        std::function<void(FakeFiles&)> change;
        bool advanced;
        std::string message;  // empty: the trees match
        bool readsFiles;
    } rows[] = {
        {"identical, advanced off", [](FakeFiles&) {}, false, "", false},
        {"identical, advanced on", [](FakeFiles&) {}, true, "", true},
        {"time differs, same content",
         [](FakeFiles& f) { f.setTime("/vol/SW/readme.txt", 5000 * kSecond); }, false,
         Native("/vol/SW/readme.txt") + " Time does't match!!", false},
        {"one tick later",
         [](FakeFiles& f) { f.setTime("/vol/SW/readme.txt", 1001 * kSecond + 6); }, false,
         Native("/vol/SW/readme.txt") + " Time does't match!!", false},
        {"content differs, advanced off",
         [](FakeFiles& f) { f.changeByte("/vol/SW/drivers/x64/usb.sys", 2999); }, false, "", false},
        {"content differs, advanced on",
         [](FakeFiles& f) { f.changeByte("/vol/SW/drivers/x64/usb.sys", 2999); }, true,
         Native("/vol/SW/drivers/x64/usb.sys") + " File Content does't match!!", true},
        {"size differs",
         [](FakeFiles& f) { f.addFile("/vol/SW/setup.exe", "MZ setup!", 1000 * kSecond); }, false,
         Native("/vol/SW/setup.exe") + " Size does't match!!", false},
        {"renamed file",
         [](FakeFiles& f) {
             f.remove("/vol/SW/setup.exe");
             f.addFile("/vol/SW/setup.bak", "MZ setup", 1000 * kSecond);
         },
         false, Native("/vol/SW/setup.exe") + " doesn't exist!!!", false},
    };
    for (const auto& r : rows) {
        Rig rig;
        ASSERT_EQ(rig.copy(rig.input()), 1);
        r.change(rig.files);
        const int opensBefore = rig.files.opens();
        std::string difference;
        EXPECT_EQ(rig.compare(r.advanced, &difference), r.message.empty() ? 1 : -1) << r.name;
        EXPECT_EQ(difference, r.message) << r.name;
        EXPECT_EQ(rig.failTexts(), r.message.empty() ? std::vector<std::string>{}
                                                     : std::vector<std::string>{r.message})
            << r.name;
        EXPECT_EQ(rig.files.opens() > opensBefore, r.readsFiles) << r.name;
    }
}

TEST(FolderCompare, FatTimesMatchWithinTheirTwoSecondClock) {
    Rig rig;
    rig.files.fatTimes = true;
    rig.files.setTime("/pc/sw/readme.txt", 1001 * kSecond + 3'000'000);  // an odd second
    ASSERT_EQ(rig.copy(rig.input()), 1);
    const auto copied = rig.files.stat("/vol/SW/readme.txt");
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->lastWriteTime, 1002 * kSecond);

    FolderCounts fat = rig.expected(true);
    fat.timeWindow = TimeWindowOf("FAT32");
    EXPECT_EQ(RunCompareStep(rig.platform, rig.input(), fat, nullptr), 1);
    FolderCounts exact = rig.expected(true);
    exact.timeWindow = TimeWindowOf("NTFS");
    EXPECT_EQ(RunCompareStep(rig.platform, rig.input(), exact, nullptr), -1);
    // Two seconds apart is another FAT time.
    rig.files.setTime("/vol/SW/readme.txt", 1004 * kSecond);
    EXPECT_EQ(RunCompareStep(rig.platform, rig.input(), fat, nullptr), -1);
    EXPECT_EQ(TimeWindowOf("exFAT"), 100'000u);
}

TEST(FolderCompare, LinksAreEntriesNeverFollowed) {
    Rig rig;
    // A link back to the software folder itself, and a link to a file.
    rig.files.addLink("/pc/sw/drivers/loop", "/pc/sw", true, 7 * kSecond);
    rig.files.addLink("/pc/sw/latest.exe", "setup.exe", false, 8 * kSecond);
    FolderCounts c = rig.expected(true);
    EXPECT_EQ(c.folders, 2);
    EXPECT_EQ(c.files, 6);
    ASSERT_EQ(rig.copy(rig.input()), 1);
    const auto loop = rig.files.stat("/vol/SW/drivers/loop");
    ASSERT_TRUE(loop);
    EXPECT_TRUE(loop->isLink());
    EXPECT_EQ(rig.compare(true), 1);

    // A plain file where the source has a link is a difference.
    rig.files.remove("/vol/SW/latest.exe");
    rig.files.addFile("/vol/SW/latest.exe", "setup.exe", 8 * kSecond);
    std::string difference;
    EXPECT_EQ(rig.compare(true, &difference), -1);
    EXPECT_EQ(difference, Native("/vol/SW/latest.exe") + " Link does't match!!");
}

TEST(FolderCompare, MissingFoldersFailBeforeAnyWalk) {
    Rig rig;
    FolderCounts c;
    EXPECT_EQ(CompareFolders(rig.platform, "/pc/sw", "/vol/SW", c), 0);
    EXPECT_EQ(CompareFolders(rig.platform, "/pc/none", "/vol", c), 0);
    EXPECT_EQ(WalkFolder(rig.platform, "/pc/sw", "/vol/none", 1, c), 0);
    EXPECT_EQ(rig.files.opens(), 0);
}

TEST(CompareFileContent, ComparesIn16MiBPiecesToTheLastByte) {
    Rig rig;
    const std::string big((16u << 20) + 1, 'b');
    rig.files.addFile("/pc/big.bin", big);
    rig.files.addFile("/vol/big.bin", big);
    EXPECT_EQ(CompareFileContent(rig.platform, "/pc/big.bin", "/vol/big.bin"), 1);
    EXPECT_EQ(rig.files.largestRead(), 16u << 20);
    rig.files.changeByte("/vol/big.bin", 16u << 20);
    EXPECT_EQ(CompareFileContent(rig.platform, "/pc/big.bin", "/vol/big.bin"), 0);

    rig.files.addFile("/vol/short.bin", std::string(16u << 20, 'b'));
    EXPECT_EQ(CompareFileContent(rig.platform, "/pc/big.bin", "/vol/short.bin"), 0);
    EXPECT_EQ(CompareFileContent(rig.platform, "/pc/big.bin", "/vol/none.bin"), 0);
    rig.files.addFile("/pc/empty", "");
    rig.files.addFile("/vol/empty", "");
    EXPECT_EQ(CompareFileContent(rig.platform, "/pc/empty", "/vol/empty"), 1);
}

}  // namespace
}  // namespace vq
