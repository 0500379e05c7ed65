// The pieces of the Linux disk, volume, removal and hotplug services that work without a
// device: the partition update plan, the tools' argument lists, the kernel's texts and
// messages, removal and port power on a sysfs tree of the test's own, and READ(10)/WRITE(10)
// on a device without SG_IO.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "base/AlignedBuffer.h"
#include "platform/PartitionScript.h"
#include "platform/linux/LinuxDisks.h"
#include "platform/linux/LinuxHotplug.h"
#include "platform/linux/LinuxProgram.h"
#include "platform/linux/LinuxRemoval.h"
#include "platform/linux/LinuxVolumes.h"

namespace vq {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

class TempTree {
  public:
    TempTree() {
        std::random_device rd;
        root_ = fs::temp_directory_path() /
                ("vq-svc-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        fs::create_directories(root_);
    }
    ~TempTree() {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    const fs::path& root() const { return root_; }
    void file(const fs::path& rel, const std::string& text) {
        fs::create_directories((root_ / rel).parent_path());
        std::ofstream(root_ / rel) << text;
    }
    std::string read(const fs::path& rel) {
        std::ifstream in(root_ / rel);
        std::string s;
        std::getline(in, s);
        return s;
    }

  private:
    fs::path root_;
};

// ---- disks --------------------------------------------------------------------------------

TEST(LinuxDisks, PartitionUpdateTakesTheKernelToTheTable) {
    const KernelPartition a{1, 2048, 1000}, b{2, 4096, 1000}, bMoved{2, 8192, 1000};
    const struct {
        const char* name;
        std::vector<KernelPartition> kernel, table;
        std::vector<std::uint32_t> remove;
        std::vector<KernelPartition> add;
    } rows[] = {
        {"nothing to do", {a, b}, {a, b}, {}, {}},
        {"kernel without a parser", {}, {a, b}, {}, {a, b}},
        {"table cleared", {a, b}, {}, {1, 2}, {}},
        {"one partition moved", {a, b}, {a, bMoved}, {2}, {bMoved}},
        {"one partition added to a busy disk", {a}, {a, b}, {}, {b}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const PartitionUpdate u = PlanPartitionUpdate(r.kernel, r.table);
        EXPECT_EQ(u.remove, r.remove);
        EXPECT_EQ(u.add, r.add);
    }
}

TEST(LinuxDisks, LayoutsGiveTheKernelsNumbering) {
    PartitionInfo p;
    p.startingOffset = 1 << 20;
    p.length = 8 << 20;
    p.mbrType = 0x07;
    PartitionInfo extended = p;
    extended.mbrType = 0x0F;
    extended.startingOffset = 16 << 20;
    PartitionInfo fourth = p;
    fourth.mbrType = 0x0C;
    fourth.startingOffset = 32 << 20;
    DriveLayout mbr;
    mbr.style = PartitionStyle::Mbr;
    mbr.partitions = {p, {}, extended, fourth};
    EXPECT_EQ(PartitionsOfLayout(mbr),
              (std::vector<KernelPartition>{{1, 2048, 16384}, {4, 65536, 16384}}));
    DriveLayout gpt;
    gpt.style = PartitionStyle::Gpt;
    p.partitionNumber = 2;
    gpt.partitions = {p};
    EXPECT_EQ(PartitionsOfLayout(gpt), (std::vector<KernelPartition>{{2, 2048, 16384}}));
}

TEST(LinuxDisks, KernelPartitionsAreReadFromSysfs) {
    TempTree t;
    t.file("class/block/sdb/dev", "8:16");
    t.file("class/block/sdb/sdb2/partition", "2");
    t.file("class/block/sdb/sdb2/start", "34816");
    t.file("class/block/sdb/sdb2/size", "1000");
    t.file("class/block/sdb/sdb1/partition", "1");
    t.file("class/block/sdb/sdb1/start", "2048");
    t.file("class/block/sdb/sdb1/size", "32768");
    t.file("class/block/sdb/queue/rotational", "0");
    EXPECT_EQ(KernelPartitionsOf(t.root(), "sdb"),
              (std::vector<KernelPartition>{{1, 2048, 32768}, {2, 34816, 1000}}));
    EXPECT_TRUE(KernelPartitionsOf(t.root(), "sdz").empty());
}

TEST(LinuxDisks, AnImageTakesReadAndWrite10AsSectorTransfers) {
    TempTree t;
    const fs::path image = t.root() / "disk.img";
    { std::ofstream(image, std::ios::binary); }
    fs::resize_file(image, 1 << 20);
    LinuxDisks disks("/nonexistent-sys", "/nonexistent-dev", nullptr);
    auto disk = disks.openImage(image.string(), 512);
    ASSERT_TRUE(disk);
    EXPECT_FALSE(disk->deviceNumber());  // not a device of the machine
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 3 + 1);
    // WRITE(10) of two blocks at block 5: the bytes land at 2560.
    const std::uint8_t write10[10] = {0x2A, 0, 0, 0, 0, 5, 0, 0, 2, 0};
    ScsiResult r = disk->execute({write10, DataDirection::Out, data, 5});
    EXPECT_TRUE(r.callSucceeded);
    EXPECT_EQ(r.scsiStatus, 0);
    EXPECT_EQ(r.bytesTransferred, 1024u);
    AlignedBuffer back(1024);
    ASSERT_TRUE(disk->read(2560, back.span()).ok);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.data()));
    // READ(10) of the second of them into an unaligned buffer.
    std::vector<std::uint8_t> in(513);
    const std::uint8_t read10[10] = {0x28, 0, 0, 0, 0, 6, 0, 0, 1, 0};
    r = disk->execute({read10, DataDirection::In, std::span(in).subspan(1), 5});
    EXPECT_TRUE(r.callSucceeded);
    EXPECT_EQ(r.bytesTransferred, 512u);
    EXPECT_TRUE(std::equal(in.begin() + 1, in.end(), data.begin() + 512));
    // Past the end: CHECK CONDITION with MEDIUM ERROR.
    const std::uint8_t beyond[10] = {0x28, 0, 0, 0, 0x10, 0, 0, 0, 1, 0};
    r = disk->execute({beyond, DataDirection::In, std::span(in).subspan(1), 5});
    EXPECT_EQ(r.scsiStatus, 0x02);
    EXPECT_EQ(r.sense[2], 0x03);
    // Anything else is the device's refusal of SG_IO.
    const std::uint8_t inquiry[6] = {0x12, 0, 0, 0, 36, 0};
    std::vector<std::uint8_t> answer(36);
    EXPECT_FALSE(disk->execute({inquiry, DataDirection::In, answer, 5}).callSucceeded);

    // An image's sectors are what the caller says.
    auto big = disks.openImage(image.string(), 4096);
    ASSERT_TRUE(big);
    EXPECT_EQ(big->geometry()->bytesPerSector, 4096u);
    EXPECT_FALSE(disks.openImage(image.string(), 1024));
    std::uint32_t error = 0;
    EXPECT_FALSE(disks.openImage((t.root() / "none.img").string(), 512, &error));
    EXPECT_EQ(error, syserr::kFileNotFound);
}

TEST(LinuxDisks, PathsLeadToTheirBlockNode) {
    TempTree t;
    t.file("disk.img", "x");
    const std::string image = (t.root() / "disk.img").string();
    EXPECT_EQ(BlockNodeOf(image, "/sys", "/dev"), image);
    EXPECT_EQ(BlockNodeOf(image + "#usbstor", "/sys", "/dev"), image);
    EXPECT_EQ(BlockNodeOf((t.root() / "none").string(), "/sys", "/dev"), "");
    EXPECT_EQ(BlockNodeOf(t.root().string(), "/sys", "/dev"), "");  // a folder
}

TEST(LinuxPartitionTool, FormatLinesAsTheStationWritesThem) {
    const struct {
        const char* line;
        std::optional<ToolFormat> parsed;
    } rows[] = {
        {"format FS=NTFS label = \"DATA \" quick unit=4096 ",
         ToolFormat{"NTFS", "DATA", 4096, true}},
        {"format fs=exFAT label=\"Two words \" quick", ToolFormat{"exFAT", "Two words", 0, true}},
        {"FORMAT FS = FAT32 LABEL=X", ToolFormat{"FAT32", "X", 0, false}},
        {"format fs=NTFS label=\"open", std::nullopt},
        {"format fs=NTFS unit=big", std::nullopt},
        {"format label=\"X\" quick", std::nullopt},
        {"format fs=NTFS override", std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.line);
        const auto f = ParseToolFormat(r.line);
        ASSERT_EQ(f.has_value(), r.parsed.has_value());
        if (f) {
            EXPECT_EQ(f->fileSystem, r.parsed->fileSystem);
            EXPECT_EQ(f->label, r.parsed->label);
            EXPECT_EQ(f->unit, r.parsed->unit);
            EXPECT_EQ(f->quick, r.parsed->quick);
        }
    }
}

// The scripts on a disk image standing for disk 7, whose partitions get letters from E on.
TEST(LinuxPartitionTool, ScriptsPartitionFormatAndEndAtTheFirstRefusal) {
    TempTree t;
    const fs::path image = t.root() / "disk.img";
    { std::ofstream(image, std::ios::binary); }
    fs::resize_file(image, 64 << 20);
    LinuxDisks disks("/nonexistent-sys", "/nonexistent-dev", nullptr);
    std::vector<std::string> formatted;
    int rescans = 0;
    PartitionToolMachine m;
    m.openDisk = [&](std::uint32_t n) {
        return n == 7 ? disks.openImage(image.string()) : nullptr;
    };
    m.rescan = [&] { ++rescans; };
    m.assign = [](std::uint32_t, std::uint64_t start) { return start >= (1 << 20); };
    m.format = [&](std::uint32_t number, std::uint64_t start, const ToolFormat& f) {
        formatted.push_back(std::to_string(number) + "@" + std::to_string(start >> 20) + " " +
                            f.fileSystem + " " + f.label);
        return 0;
    };
    EXPECT_EQ(RunPartitionScript({"rescan", " select disk 7", "clean", "convert gpt",
                                  "create partition primary", "select partition 2", "",
                                  "format FS=NTFS label = \"DATA \" quick ", "assign", "rescan"},
                                 m),
              kToolDone);
    EXPECT_EQ(rescans, 2);
    EXPECT_EQ(formatted, std::vector<std::string>{"7@16 NTFS DATA"});
    auto disk = disks.openImage(image.string());
    const auto l = disk->layout();
    ASSERT_TRUE(l);
    ASSERT_EQ(l->style, PartitionStyle::Gpt);
    ASSERT_EQ(l->partitions.size(), 2u);
    EXPECT_EQ(l->partitions[0].startingOffset + l->partitions[0].length, 16u << 20);
    EXPECT_EQ(l->partitions[1].startingOffset, 16u << 20);

    const struct {
        std::vector<std::string> script;
        int code;
    } refused[] = {
        {{"select disk 8"}, kToolNoSuchObject},
        {{"select partition 1"}, kToolNoSuchObject},
        {{"select disk 7", "select partition 3"}, kToolNoSuchObject},
        {{"select disk 7", "convert gpt"}, kToolFailed},  // not empty
        {{"select disk 7", "delete partition"}, kToolSyntax},
        {{"select disk 7", "select partition 2", "format fs=NTFS label=\"x"}, kToolSyntax},
    };
    for (const auto& r : refused)
        EXPECT_EQ(RunPartitionScript(r.script, m), r.code) << r.script.back();
    // A fresh MBR partition takes the space from the first MiB; it has no file system yet.
    EXPECT_EQ(RunPartitionScript({"select disk 7", "clean", "create partition primary"}, m),
              kToolDone);
    const auto mbr = disk->layout();
    ASSERT_TRUE(mbr);
    EXPECT_EQ(mbr->style, PartitionStyle::Mbr);
    EXPECT_EQ(mbr->partitions[0].startingOffset, 1u << 20);
    EXPECT_EQ(mbr->partitions[0].mbrType, 0x06);
}

// ---- volumes ------------------------------------------------------------------------------

TEST(LinuxVolumes, MountInfoLinesGiveDeviceFolderTypeAndSource) {
    const std::string text =
        "22 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
        "98 22 0:52 / /home/st\\040ation/mnt/E rw,nosuid master:3 - fuseblk /dev/sdb1 rw\n"
        "broken line\n"
        "99 22 259:1 / /run/x rw - vfat /dev/sdc1 rw,fmask=0022\n";
    const auto m = ParseMountInfo(text);
    ASSERT_EQ(m.size(), 3u);
    EXPECT_EQ(m[0].majorMinor, "254:0");
    EXPECT_EQ(m[1].mountPoint, "/home/st ation/mnt/E");
    EXPECT_EQ(m[1].fsType, "fuseblk");
    EXPECT_EQ(m[1].source, "/dev/sdb1");
    EXPECT_EQ(m[2].fsType, "vfat");
}

TEST(LinuxVolumes, FormatterArgumentListsAreExact) {
    const struct {
        const char* fs;
        const char* label;
        std::uint32_t cluster;
        bool quick;
        Args argv;
    } rows[] = {
        {"NTFS",
         "DATA; rm -rf $HOME",
         4096,
         true,
         {"mkfs.ntfs", "-F", "-Q", "-L", "DATA; rm -rf $HOME", "-c", "4096", "-p", "2048", "-H",
          "255", "-S", "63", "/dev/sdb1"}},
        {"ntfs",
         "",
         0,
         false,
         {"mkfs.ntfs", "-F", "-p", "2048", "-H", "255", "-S", "63", "/dev/sdb1"}},
        {"exFAT",
         "Station",
         32768,
         true,
         {"mkfs.exfat", "-L", "Station", "-c", "32768", "/dev/sdb1"}},
        {"exFAT", "", 0, false, {"mkfs.exfat", "-f", "/dev/sdb1"}},
        {"FAT32",
         "data disk",
         8192,
         true,
         {"mkfs.fat", "-F", "32", "-n", "DATA DISK", "-S", "512", "-s", "16", "-h", "2048",
          "/dev/sdb1"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.fs) + " " + r.label);
        EXPECT_EQ(FormatCommand(r.fs, "/dev/sdb1", r.label, r.cluster, r.quick, 2048), r.argv);
    }
    const struct {
        const char* fs;
        const char* label;
        std::uint32_t cluster;
    } refused[] = {
        {"HPFS", "", 0},      {"NTFS", "", 3000},           {"NTFS", "", 256},
        {"NTFS", "", 131072}, {"FAT32", "TWELVE CHARS", 0}, {"exFAT", "Twelve chars", 0},
    };
    for (const auto& r : refused)
        EXPECT_FALSE(FormatCommand(r.fs, "/dev/sdb1", r.label, r.cluster, true, 2048))
            << r.fs << " " << r.label << " " << r.cluster;
}

TEST(LinuxVolumes, LabelRulesAndLabelWriters) {
    const struct {
        const char* fs;
        const char* label;
        std::uint32_t error;
        std::optional<Args> argv;
    } rows[] = {
        {"FAT32", "lower", 0, Args{"fatlabel", "/dev/sdb1", "LOWER"}},
        {"FAT32", "", 0, Args{"fatlabel", "-r", "/dev/sdb1"}},
        {"FAT32", "ELEVEN CHAR", 0, Args{"fatlabel", "/dev/sdb1", "ELEVEN CHAR"}},
        {"FAT32", "TWELVE CHARS", syserr::kLabelTooLong, std::nullopt},
        {"FAT32", "A*B", syserr::kInvalidName, std::nullopt},
        {"FAT32", "A.B", syserr::kInvalidName, std::nullopt},
        {"NTFS", "A label of thirty-two characters", 0,
         Args{"ntfslabel", "/dev/sdb1", "A label of thirty-two characters"}},
        {"NTFS", "A label of thirty-three character", syserr::kLabelTooLong, std::nullopt},
        {"NTFS", "tab\there", syserr::kInvalidName, std::nullopt},
        {"exFAT", "Eleven char", 0, Args{"exfatlabel", "/dev/sdb1", "Eleven char"}},
        {"exFAT", "", 0, Args{"exfatlabel", "/dev/sdb1", ""}},
        {"exFAT", "Twelve chars", syserr::kLabelTooLong, std::nullopt},
        {"ext4", "x", 0, std::nullopt},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.fs) + " " + r.label);
        EXPECT_EQ(CheckLabel(r.fs, r.label), r.error);
        EXPECT_EQ(LabelCommand(r.fs, "/dev/sdb1", r.label), r.argv);
    }
}

TEST(LinuxVolumes, FileSystemNamesAndSerialNumbers) {
    EXPECT_EQ(FileSystemNameOf("vfat", "FAT32"), "FAT32");
    EXPECT_EQ(FileSystemNameOf("vfat", "FAT16"), "FAT");
    EXPECT_EQ(FileSystemNameOf("ntfs", ""), "NTFS");
    EXPECT_EQ(FileSystemNameOf("exfat", "1.0"), "exFAT");
    EXPECT_EQ(FileSystemNameOf("ext4", "1.0"), "ext4");
    EXPECT_EQ(SerialOfUuid("1863CEE3677A5775"), 0x677A5775u);
    EXPECT_EQ(SerialOfUuid("FB77-FB2C"), 0xFB77FB2Cu);
    EXPECT_EQ(SerialOfUuid(""), 0u);
}

TEST(LinuxVolumes, ProgramsGetTheirArgumentsLiterally) {
    std::string out;
    EXPECT_EQ(RunProgram({"printf", "[%s]", "a b; echo $HOME `id` \"q\""}, &out), 0);
    EXPECT_EQ(out, "[a b; echo $HOME `id` \"q\"]");
    EXPECT_EQ(RunProgram({"sh", "-c", "exit 7"}), 7);
    EXPECT_EQ(RunProgram({"no-such-program-of-the-station"}), 127);
    EXPECT_EQ(RunProgram({}), 127);
    EXPECT_TRUE(ProgramOnPath("sh"));
    EXPECT_FALSE(ProgramOnPath("no-such-program-of-the-station"));
}

// ---- removal and port power ---------------------------------------------------------------

// A USB disk 1-2 (bus 1, device 5) on port 2 of root hub usb1, with SCSI device 6:0:0:0
// and its disk sdb (8:16) with one partition (8:17).
void MakeUsbDisk(TempTree& t, const std::string& remove = "") {
    const std::string usb = "devices/pci0000:00/usb1/1-2";
    const std::string scsi = usb + "/1-2:1.0/host6/target6:0:0/6:0:0:0";
    t.file(usb + "/busnum", "1");
    t.file(usb + "/devnum", "5");
    if (!remove.empty())
        t.file(usb + "/remove", remove);
    t.file(scsi + "/delete", "");
    t.file(scsi + "/block/sdb/dev", "8:16");
    t.file(scsi + "/block/sdb/sdb1/partition", "1");
    t.file(scsi + "/block/sdb/sdb1/dev", "8:17");
    t.file("devices/pci0000:00/usb1/1-0:1.0/usb1-port2/disable", "0");
    fs::create_directories(t.root() / "bus/usb/devices");
    fs::create_directories(t.root() / "dev/block");
    fs::create_symlink(t.root() / usb, t.root() / "bus/usb/devices/1-2");
    fs::create_symlink(t.root() / "devices/pci0000:00/usb1", t.root() / "bus/usb/devices/usb1");
    fs::create_symlink(t.root() / scsi / "block/sdb", t.root() / "dev/block/8:16");
    fs::create_symlink(t.root() / scsi, t.root() / scsi / "block/sdb/device");
}

constexpr DevNode kSdb = (8u << 20) | 16;
constexpr DevNode kUsb1_5 = (1u << 16) | 5;

TEST(LinuxRemoval, DiskIsDeletedUnlessStillMounted) {
    const struct {
        const char* name;
        DevNode node;
        bool released;
        std::vector<std::string> mounted;
        bool removed;
    } rows[] = {
        {"disk", kSdb, true, {"254:0"}, true},
        {"disk with a partition mounted elsewhere", kSdb, true, {"8:17"}, false},
        {"disk whose own mount is busy", kSdb, false, {}, false},
        {"USB device without remove", kUsb1_5, true, {}, true},
        {"USB device with its disk mounted", kUsb1_5, true, {"8:16"}, false},
        {"no such node", (9u << 20) | 1, true, {}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        TempTree t;
        MakeUsbDisk(t);
        std::vector<std::string> asked;
        LinuxRemoval removal(
            t.root(),
            [&](const std::string& disk) {
                asked.push_back(disk);
                return r.released;
            },
            [&] { return r.mounted; });
        const RemovalResult res = removal.queryAndRemoveSubtree(r.node);
        EXPECT_EQ(res.callSucceeded, r.removed);
        const std::string deleted =
            t.read("devices/pci0000:00/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/delete");
        EXPECT_EQ(deleted, r.removed ? "1" : "");
        if (r.node != ((9u << 20) | 1)) {
            EXPECT_EQ(asked, std::vector<std::string>{"sdb"});
            EXPECT_EQ(res.vetoType, r.removed ? 0u : kVetoOutstandingOpen);
            EXPECT_EQ(res.vetoName, r.removed ? "" : "/dev/sdb");
        }
    }
}

TEST(LinuxRemoval, UsbDeviceGoesThroughItsRemoveFileAndEjectSwitchesThePortOff) {
    TempTree t;
    MakeUsbDisk(t, "0");
    LinuxRemoval removal(t.root(), nullptr, [] { return std::vector<std::string>{}; });
    EXPECT_TRUE(removal.queryAndRemoveSubtree(kUsb1_5).callSucceeded);
    EXPECT_EQ(t.read("devices/pci0000:00/usb1/1-2/remove"), "1");

    EXPECT_TRUE(removal.requestEject(kUsb1_5).callSucceeded);
    const fs::path disable = "devices/pci0000:00/usb1/1-0:1.0/usb1-port2/disable";
    EXPECT_EQ(t.read(disable), "1");
    EXPECT_EQ(removal.setPortPower("usb1", 2, true), "");
    EXPECT_EQ(t.read(disable), "0");
    const std::string missing = removal.setPortPower("1-2", 4, false);
    EXPECT_NE(missing.find("hub 1-2 offers no power control of port 4"), std::string::npos)
        << missing;
}

// ---- hotplug ------------------------------------------------------------------------------

std::vector<char> Message(std::initializer_list<std::string_view> fields) {
    std::vector<char> m;
    for (const auto f : fields) {
        m.insert(m.end(), f.begin(), f.end());
        m.push_back('\0');
    }
    return m;
}

TEST(LinuxHotplug, KernelMessagesBecomeTheStationsEvents) {
    using K = DeviceEvent::Kind;
    const struct {
        const char* name;
        std::vector<char> message;
        std::optional<DeviceEvent> event;
        bool partition;
    } rows[] = {
        {"disk added",
         Message({"add@/devices/x/block/sdb", "ACTION=add", "DEVPATH=/devices/x/block/sdb",
                  "SUBSYSTEM=block", "DEVTYPE=disk", "DEVNAME=sdb", "SEQNUM=1"}),
         DeviceEvent{K::Arrival, DeviceEvent::Type::DeviceInterface, "/dev/sdb"}, false},
        {"USB device removed",
         Message({"remove@/devices/pci/usb1/1-2", "SUBSYSTEM=usb", "DEVTYPE=usb_device"}),
         DeviceEvent{K::RemoveComplete, DeviceEvent::Type::DeviceInterface,
                     "/devices/pci/usb1/1-2"},
         false},
        {"SCSI device added",
         Message({"add@/devices/h/6:0:0:0", "SUBSYSTEM=scsi", "DEVTYPE=scsi_device"}),
         DeviceEvent{K::Arrival, DeviceEvent::Type::DeviceInterface, "/devices/h/6:0:0:0"}, false},
        {"partition added",
         Message({"add@/devices/x/block/sdb/sdb1", "SUBSYSTEM=block", "DEVTYPE=partition",
                  "DEVNAME=sdb1"}),
         std::nullopt, true},
        {"USB interface",
         Message({"add@/devices/u/1-2:1.0", "SUBSYSTEM=usb", "DEVTYPE=usb_interface"}),
         std::nullopt, false},
        {"disk changed",
         Message({"change@/devices/x/block/sdb", "SUBSYSTEM=block", "DEVTYPE=disk", "DEVNAME=sdb"}),
         std::nullopt, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const auto u = ParseUevent(r.message);
        ASSERT_TRUE(u);
        const auto e = EventOfUevent(*u);
        ASSERT_EQ(e.has_value(), r.event.has_value());
        if (e) {
            EXPECT_EQ(e->kind, r.event->kind);
            EXPECT_EQ(e->type, r.event->type);
            EXPECT_EQ(e->name, r.event->name);
        }
        EXPECT_EQ(IsPartitionChange(*u), r.partition);
    }
    for (const auto junk : {std::string_view("libudev\0\xfe\xed", 10), std::string_view("add"),
                            std::string_view("@/x"), std::string_view("add@x")})
        EXPECT_FALSE(ParseUevent(std::span<const char>(junk.data(), junk.size()))) << junk;
}

TEST(LinuxHotplug, ReportedEventsReachTheListenerUntilItIsRemoved) {
    LinuxHotplug hotplug;
    std::vector<std::string> seen;
    hotplug.setListener([&](const DeviceEvent& e) { seen.push_back(e.name); });
    hotplug.report({DeviceEvent::Kind::Arrival, DeviceEvent::Type::Volume, "E"});
    hotplug.setListener(nullptr);
    hotplug.report({DeviceEvent::Kind::Arrival, DeviceEvent::Type::Volume, "F"});
    EXPECT_EQ(seen, std::vector<std::string>{"E"});
}

}  // namespace
}  // namespace vq
