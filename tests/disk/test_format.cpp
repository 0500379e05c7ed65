// FormatVolume and its result codes, the partitioning tool's format fallback and its
// script, the labels that may not be written into a script, and the format prompt.
#include <gtest/gtest.h>

#include "base/Format.h"
#include "disk/Fat32Format.h"
#include "disk/Format.h"
#include "disk/Partition.h"
#include "tests/disk/DiskDoubles.h"

namespace vq::disk {
namespace {

using test::DiskRig;
using test::FakeDiskState;
using test::FakeVolumeState;

constexpr const char* kDisk = "\\\\?\\usbstor#disk3";

// Volume F: 1 GiB at sector 63 of disk 3.
struct FormatVolumeRig : DiskRig {
    FakeVolumeState* f = nullptr;
    FormatVolumeRig() {
        auto& d = disks.disks[kDisk] = FakeDiskState::WithChs(140, 255, 63);
        d.number = StorageDeviceNumber{7, 3, 0};
        f = &volumeOn('F', d, 63, 2097152);
    }
};

TEST(FormatVolume, Fat32WithTheStationsFormatterOutsideThePortLock) {
    FormatVolumeRig rig;
    EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "STATION", kFsFat32, 0), kFormatOk);
    EXPECT_EQ(rig.portLock.entered, 0);
    EXPECT_TRUE(rig.f->systemFormats.empty());
    EXPECT_EQ(rig.f->labelsSet, std::vector<std::string>{"STATION"});
    EXPECT_EQ(rig.f->typesSet, std::vector<std::uint8_t>{0x0C});
    const std::string tail =
        "Format complete.\n"
        "\n1073741824 bytes total disk space.\n"
        "536870912 bytes available on disk.\n"
        "\nVolume Serial Number is 1234-5678\n";
    ASSERT_GE(rig.console.size(), tail.size());
    EXPECT_EQ(rig.console.substr(rig.console.size() - tail.size()), tail);
}

TEST(FormatVolume, Fat32RetriesTheFormatterThenGivesUp) {
    FormatVolumeRig rig;
    rig.f->partition.length = 65535ull * 512;  // too small on every attempt
    rig.ctx.hddAccessRetry = 4;
    EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "X", kFsFat32, 0), kFormatNotMade);
    EXPECT_TRUE(rig.disks.disks[kDisk].store.sectors.empty()) << "nothing written";
    for (int i = 1; i <= 4; ++i)
        EXPECT_TRUE(rig.debugged(Format("Retry format for the %dth time, g_nHDDAccessRetry=4", i)));
    EXPECT_EQ(rig.clock.sleeps, std::vector<std::uint32_t>(4, 1000));
    EXPECT_TRUE(rig.f->labelsSet.empty());
}

TEST(FormatVolume, Fat32LabelTooLongIsMinus2) {
    FormatVolumeRig rig;
    EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "TWELVE-CHARS", kFsFat32, 0), kFormatLabelTooLong);
    EXPECT_EQ(rig.f->labelsSet.size(), 1u) << "no retries for error 154 on FAT32";
}

TEST(FormatVolume, NtfsAndExFatWithTheSystemFormatterInsideThePortLock) {
    struct Case {
        int fs;
        std::uint32_t cluster;
        const char* call;
    };
    for (const Case c :
         {Case{kFsNtfs, 4096, "NTFS|DATA 1|4096|1"}, Case{kFsNtfs, 65536, "NTFS|DATA 1|65536|1"},
          Case{kFsExFat, 32768, "exFAT|DATA 1|32768|1"}, Case{kFsExFat, 1024, "exFAT|DATA 1|0|1"},
          Case{kFsNtfs, 0, "NTFS|DATA 1|0|1"}}) {
        FormatVolumeRig rig;
        rig.f->fat32Labels = false;
        EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "DATA 1", c.fs, c.cluster), kFormatOk);
        EXPECT_EQ(rig.f->systemFormats, std::vector<std::string>{c.call});
        EXPECT_EQ(rig.f->labelsSet, (std::vector<std::string>{"", "DATA 1"}))
            << "the old label is cleared first";
        EXPECT_EQ(rig.portLock.entered, 1);
        EXPECT_FALSE(rig.portLock.held);
        EXPECT_TRUE(rig.f->typesSet.empty());
    }
}

TEST(FormatVolume, ResultCodes) {
    struct Case {
        const char* name;
        void (*setup)(FormatVolumeRig&);
        int fs;
        int result;
        const char* text;
    };
    const Case cases[] = {
        {"no system formatter", [](FormatVolumeRig& r) { r.volumes.formatterAvailable = false; },
         kFsNtfs, kFormatNotMade, "Could not located FMIFS entry points.\n\n"},
        {"optical drive", [](FormatVolumeRig& r) { r.f->type = DriveType::CdRom; }, kFsFat32,
         kFormatNotMade, "Drive F: is neither a fixed nor a removable drive (type 5)"},
        {"formatter exit code", [](FormatVolumeRig& r) { r.f->systemFormatExit = 1; }, kFsNtfs,
         kFormatToolFailed, "Format complete.\n"},
        {"no volume information", [](FormatVolumeRig& r) { r.f->failInfo = true; }, kFsFat32,
         kFormatNoVolumeInfo, "Format complete.\n"},
        {"no size", [](FormatVolumeRig& r) { r.f->failSize = true; }, kFsFat32, kFormatNoSize,
         "Could not query volume size: "},
        // A volume the formatter left without a file system answers no query: still -7,
        // so that the fallback runs.
        {"formatter exit code, then no volume information",
         [](FormatVolumeRig& r) {
             r.f->systemFormatExit = 1;
             r.f->failInfo = true;
         },
         kFsNtfs, kFormatToolFailed, "Format complete.\n"},
        {"formatter exit code, then no size",
         [](FormatVolumeRig& r) {
             r.f->systemFormatExit = 1;
             r.f->failSize = true;
         },
         kFsNtfs, kFormatToolFailed, "Could not query volume size: "},
        {"file system index", [](FormatVolumeRig&) {}, 3, kFormatNotMade, ""},
    };
    for (const auto& c : cases) {
        FormatVolumeRig rig;
        c.setup(rig);
        EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "L", c.fs, 0), c.result) << c.name;
        EXPECT_NE(rig.console.find(c.text), std::string::npos) << c.name << ": " << rig.console;
        EXPECT_FALSE(rig.portLock.held) << c.name;
    }
}

TEST(FormatVolume, LabelRetriesDoNotDecide) {
    FormatVolumeRig rig;
    rig.f->labelError = 5;
    rig.ctx.hddAccessRetry = 3;
    EXPECT_EQ(FormatVolume(rig.ctx, 'F', true, "L", kFsNtfs, 0), kFormatOk);
    EXPECT_EQ(rig.f->labelsSet, (std::vector<std::string>{"", "L", "L", "L", "L"}));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(rig.debugged(Format("%d Label", i)));
}

TEST(FormatUnitText, TheFormattersUnits) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {512, "512"},   {4096, "4096"}, {8192, "8192"}, {16384, "16K"}, {32768, "32K"},
        {65536, "64K"}, {0, ""},        {1024, ""},     {2048, ""},     {131072, ""}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(FormatUnitText(bytes), text) << bytes;
}

TEST(DiskpartFormatScript, TextForEachFileSystemAndUnit) {
    EXPECT_EQ(ScriptText(DiskpartFormatScript(3, 1, "NTFS", "DATA", 4096)),
              "rescan\r\n select disk 3\r\nselect partition 1\r\n\r\n"
              "format FS=NTFS label = \"DATA \" quick unit=4096 \r\nassign\r\nrescan\r\n");
    EXPECT_EQ(ScriptText(DiskpartFormatScript(12, 2, "exFAT", "", 0)),
              "rescan\r\n select disk 12\r\nselect partition 2\r\n\r\n"
              "format FS=exFAT label = \" \" quick \r\nassign\r\nrescan\r\n");
    EXPECT_EQ(ScriptText(DiskpartFormatScript(1, 1, "FAT32", "A B", 32768)),
              "rescan\r\n select disk 1\r\nselect partition 1\r\n\r\n"
              "format FS=FAT32 label = \"A B \" quick unit=32768 \r\nassign\r\nrescan\r\n");
}

TEST(FormatWithDiskpart, FormatsThePartitionTheStepMadeWithoutThePortLock) {
    struct Case {
        PartitionStyle style;
        const char* line;
    };
    for (const Case c : {Case{PartitionStyle::Mbr, "select partition 1"},
                         Case{PartitionStyle::Gpt, "select partition 2"}}) {
        FormatVolumeRig rig;
        DriveLayout l;
        l.style = c.style;
        rig.disks.disks[kDisk].layout = l;
        bool locked = false;
        rig.disks.onToolRun = [&] { locked = rig.portLock.held; };
        EXPECT_EQ(FormatWithDiskpart(rig.ctx, kDisk, "NTFS", "DATA", 0), 1);
        ASSERT_EQ(rig.disks.scripts.size(), 1u);
        EXPECT_EQ(rig.disks.scripts[0][1], " select disk 3");
        EXPECT_EQ(rig.disks.scripts[0][2], c.line);
        EXPECT_FALSE(locked);
    }
}

TEST(FormatWithDiskpart, RefusesDisk0AndLabelsAScriptCannotCarry) {
    FormatVolumeRig disk0;
    disk0.disks.disks[kDisk].number = StorageDeviceNumber{7, 0, 0};
    EXPECT_EQ(FormatWithDiskpart(disk0.ctx, kDisk, "NTFS", "DATA", 0), 0);
    EXPECT_TRUE(disk0.disks.scripts.empty());

    for (const char* label :
         {"x\" & del /q C:\\*", "a&b", "a|b", "a<b", "a>b", "a^b", "100%", "tab\there", "cr\r"}) {
        FormatVolumeRig rig;
        EXPECT_FALSE(LabelSafeForScript(label)) << label;
        EXPECT_EQ(FormatWithDiskpart(rig.ctx, kDisk, "NTFS", label, 0), 0) << label;
        EXPECT_TRUE(rig.disks.scripts.empty()) << label;
        EXPECT_NE(rig.console.find("cannot be written into a partitioning script"),
                  std::string::npos);
    }
    for (const char* label : {"", "DATA", "Line 7 (A)", "x-y_z.1"})
        EXPECT_TRUE(LabelSafeForScript(label)) << label;

    FormatVolumeRig failing;
    failing.disks.tool = [](const std::vector<std::string>&) { return 2; };
    EXPECT_EQ(FormatWithDiskpart(failing.ctx, kDisk, "NTFS", "DATA", 0), 0);
}

TEST(FormatStep, TheFallbackRunsOnlyAfterMinus7) {
    FormatVolumeRig rig;
    rig.f->systemFormatExit = 1;
    EXPECT_TRUE(FormatStep(rig.ctx, 'F', kDisk, kFsExFat, "DATA", 8192));
    ASSERT_EQ(rig.disks.scripts.size(), 1u);
    EXPECT_EQ(rig.disks.scripts[0][4], "format FS=exFAT label = \"DATA \" quick unit=8192 ");

    FormatVolumeRig both;
    both.f->systemFormatExit = 1;
    both.disks.tool = [](const std::vector<std::string>&) { return 1; };
    EXPECT_FALSE(FormatStep(both.ctx, 'F', kDisk, kFsNtfs, "DATA", 0));

    FormatVolumeRig tooLong;
    EXPECT_FALSE(FormatStep(tooLong.ctx, 'F', kDisk, kFsFat32, "TWELVE-CHARS", 0));
    EXPECT_TRUE(tooLong.disks.scripts.empty());
}

TEST(CloseFormatPrompt, PolledEvery5msOnWindows7AndLater) {
    struct Case {
        OsVersion os;
        bool shows;
    };
    for (const Case c : {Case{{5, 1, 0}, false}, Case{{6, 0, 0}, false}, Case{{6, 1, 0}, true},
                         Case{{6, 3, 0}, true}, Case{{10, 0, 0}, true}}) {
        EXPECT_EQ(ShowsFormatPrompt(c.os), c.shows) << c.os.major << "." << c.os.minor;
    }
    DiskRig rig;
    rig.clock.onSleep = [&rig] {
        if (rig.clock.sleeps.size() == 3)
            rig.volumes.promptsShowing = 1;
    };
    EXPECT_TRUE(CloseFormatPromptAfterFormat(rig.ctx, OsVersion{10, 0, 0}));
    EXPECT_EQ(rig.volumes.promptPolls, 4);
    EXPECT_EQ(rig.clock.sleeps, std::vector<std::uint32_t>(3, 5));

    DiskRig none;
    EXPECT_FALSE(CloseFormatPromptAfterFormat(none.ctx, OsVersion{6, 1, 0}));
    EXPECT_EQ(none.volumes.promptPolls, 601);
    EXPECT_FALSE(CloseFormatPromptAfterFormat(none.ctx, OsVersion{5, 1, 0}));
    EXPECT_EQ(none.volumes.promptPolls, 601);
}

}  // namespace
}  // namespace vq::disk
