// The disk, volume and file services of the Linux platform on loop devices: the contract
// every platform meets, and what a real kernel adds (a re-read while a partition of the disk
// is in use). Needs root and loop devices; skipped with the reason otherwise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <string>

#include "base/AlignedBuffer.h"
#include "platform/PartitionTable.h"
#include "platform/linux/LinuxHotplug.h"
#include "platform/linux/LinuxPlatform.h"
#include "platform/linux/LinuxProgram.h"
#include "tests/contract/DiskContract.h"

namespace vq {
namespace {

namespace fs = std::filesystem;
constexpr std::uint64_t kMiB = 1ull << 20;

bool KernelHas(const std::string& fsType) {
    std::ifstream in("/proc/filesystems");
    for (std::string line; std::getline(in, line);) {
        if (line.substr(line.rfind('\t') + 1) == fsType)
            return true;
    }
    return false;
}

// Why loop devices cannot be used here; empty when they can.
std::string LoopUnavailable() {
    if (::geteuid() != 0)
        return "loop device tests need root";
    if (!fs::exists("/dev/loop-control"))
        return "no /dev/loop-control on this machine";
    if (!ProgramOnPath("losetup") && !fs::exists("/usr/sbin/losetup") &&
        !fs::exists("/sbin/losetup"))
        return "losetup is not installed";
    return {};
}

// A sparse image attached to a free loop device, and a platform over the real machine
// whose mount folder and home are the test's own.
class LoopRig final : public contract::DiskRig {
  public:
    explicit LoopRig(std::uint64_t bytes = 256 * kMiB) {
        std::random_device rd;
        dir_ = fs::temp_directory_path() /
               ("vq-loop-" + std::to_string(::getpid()) + "-" + std::to_string(rd()));
        fs::create_directories(dir_ / "home");
        const fs::path image = dir_ / "disk.img";
        { std::ofstream(image, std::ios::binary); }
        fs::resize_file(image, bytes);
        std::string out;
        if (RunProgram({"losetup", "-f", "--show", "-P", image.string()}, &out) != 0)
            return;
        while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
            out.pop_back();
        loop_ = out;
        LinuxPlatformOptions o;
        o.home = dir_ / "home";
        host_ = std::make_unique<LinuxPlatform>(o);
    }
    ~LoopRig() override {
        host_.reset();  // its mounts go first
        if (!loop_.empty())
            RunProgram({"losetup", "-d", loop_});
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    bool ready() const { return host_ != nullptr; }
    Platform& platform() override { return host_->platform(); }
    std::string diskPath() override { return loop_; }
    fs::path hostFolder() override {
        fs::create_directories(dir_ / "host");
        return dir_ / "host";
    }
    std::string cannotMount(std::string_view fileSystem) override {
        if (fileSystem == "FAT32" && !KernelHas("vfat"))
            return "this kernel has no vfat driver";
        if (fileSystem == "exFAT" && !KernelHas("exfat") && !ProgramOnPath("mount.exfat-fuse"))
            return "this kernel has no exfat driver and no FUSE exFAT program is installed";
        if (fileSystem == "NTFS" && !KernelHas("ntfs3") &&
            !(KernelHas("fuseblk") && (ProgramOnPath("ntfs-3g") || fs::exists("/usr/bin/ntfs-3g"))))
            return "this kernel has no ntfs3 driver and ntfs-3g cannot run";
        return {};
    }
    // exFAT keeps eleven characters in its label entry.
    std::size_t exfatLabelLimit() override { return 11; }

  private:
    fs::path dir_;
    std::string loop_;
    std::unique_ptr<LinuxPlatform> host_;
};

std::unique_ptr<contract::DiskRig> MakeLoopRig() {
    if (const std::string why = LoopUnavailable(); !why.empty()) {
        std::cout << why << "\n";
        return nullptr;
    }
    auto rig = std::make_unique<LoopRig>();
    if (!rig->ready())
        std::cout << "no free loop device\n";
    return rig->ready() ? std::move(rig) : nullptr;
}

// One MBR partition from 1 MiB over a fresh loop disk, re-read: its letter (0: none).
char OnePartition(LoopRig& rig, std::uint8_t type = 0x07, std::uint64_t length = 64 * kMiB) {
    auto disk = rig.platform().disks->openDisk(rig.diskPath());
    if (!disk || !disk->createDisk(PartitionStyle::Mbr, 0x5742))
        return 0;
    DriveLayout l;
    l.style = PartitionStyle::Mbr;
    PartitionInfo p;
    p.startingOffset = kMiB;
    p.length = length;
    p.mbrType = type;
    l.partitions = {p, {}, {}, {}};
    const std::uint32_t before = rig.platform().volumes->logicalDriveMask();
    if (!disk->setLayout(l) || !disk->updateProperties())
        return 0;
    const std::uint32_t added = rig.platform().volumes->logicalDriveMask() & ~before;
    for (int i = 0; i < 26; ++i) {
        if (added & (1u << i))
            return static_cast<char>('A' + i);
    }
    return 0;
}

class LinuxLoop : public ::testing::Test {
  protected:
    void SetUp() override {
        if (const std::string why = LoopUnavailable(); !why.empty())
            GTEST_SKIP() << why;
        rig = std::make_unique<LoopRig>();
        if (!rig->ready())
            GTEST_SKIP() << "no free loop device";
    }
    Platform& p() { return rig->platform(); }
    std::unique_ptr<LoopRig> rig;
};

// The kernel refuses to re-read a disk while a partition of it is mounted; the partition
// added beside it still appears, and the mounted one stays as it is.
TEST_F(LinuxLoop, APartitionIsAddedBesideOneInUse) {
    if (const std::string why = rig->cannotMount("NTFS"); !why.empty())
        GTEST_SKIP() << why;
    const char first = OnePartition(*rig);
    ASSERT_NE(first, 0);
    ASSERT_EQ(p().volumes->systemFormat(first, "NTFS", "BUSY", 0, true), 0);
    const auto root = p().volumes->rootPath(first);
    std::uint32_t e = 0;
    auto file =
        p().files->open(root / "held.bin", FileMode::CreateNew, FileAccess::Write, false, &e);
    ASSERT_TRUE(file) << e;

    auto disk = p().disks->openDisk(rig->diskPath());
    ASSERT_TRUE(disk);
    auto l = disk->layout();
    ASSERT_TRUE(l);
    PartitionInfo second;
    second.startingOffset = 80 * kMiB;
    second.length = 32 * kMiB;
    second.mbrType = 0x0C;
    l->partitions[1] = second;
    ASSERT_TRUE(disk->setLayout(*l));
    const std::uint32_t before = p().volumes->logicalDriveMask();
    EXPECT_TRUE(disk->updateProperties());
    const std::uint32_t added = p().volumes->logicalDriveMask() & ~before;
    ASSERT_EQ(std::popcount(added), 1);
    const char letter = static_cast<char>('A' + std::countr_zero(added));
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    EXPECT_EQ(vol->partitionInfo()->startingOffset, 80 * kMiB);
    EXPECT_EQ(vol->partitionInfo()->partitionNumber, 2u);
    EXPECT_EQ(p().volumes->volumeInformation(first)->label, "BUSY");
    EXPECT_EQ(p().files->stat(root / "held.bin").has_value(), true);
}

// A loop device takes no SG_IO: the pass-through says so, and READ(10)/WRITE(10) of a disk
// or a volume reach the sectors they name (block numbers of the whole disk).
TEST_F(LinuxLoop, ReadAndWrite10ReachTheWholeDisksBlocks) {
    std::uint32_t error = 0;
    EXPECT_FALSE(p().scsi->open(rig->diskPath(), &error));
    EXPECT_TRUE(error == ENOTTY || error == EINVAL) << error;

    const char letter = OnePartition(*rig);
    ASSERT_NE(letter, 0);
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    std::vector<std::uint8_t> data(512, 0xA5);
    const std::uint8_t write10[10] = {0x2A, 0, 0, 0, 0x08, 0x01, 0, 0, 1, 0};  // block 2049
    const ScsiResult w = vol->execute({write10, DataDirection::Out, data, 10});
    EXPECT_TRUE(w.callSucceeded);
    EXPECT_EQ(w.scsiStatus, 0);
    AlignedBuffer back(512);
    ASSERT_TRUE(vol->read(512, back.span()).ok);  // the partition's second sector
    EXPECT_TRUE(std::all_of(back.data(), back.data() + 512, [](auto b) { return b == 0xA5; }));
}

// The partition's type is rewritten in the MBR; the volume stays.
TEST_F(LinuxLoop, MbrTypeIsRewrittenInTheTable) {
    const char letter = OnePartition(*rig, 0x07);
    ASSERT_NE(letter, 0);
    auto vol = p().volumes->openVolume(letter);
    ASSERT_TRUE(vol);
    ASSERT_TRUE(vol->setMbrType(0x0C));
    EXPECT_EQ(vol->partitionInfo()->mbrType, 0x0C);
    auto disk = p().disks->openDisk(rig->diskPath());
    AlignedBuffer mbr(512);
    ASSERT_TRUE(disk->read(0, mbr.span()).ok);
    EXPECT_EQ(mbr.data()[450], 0x0C);
    EXPECT_EQ(p().volumes->driveType(letter), DriveType::Fixed);
    EXPECT_EQ(p().volumes->volumeDevicePath(letter), rig->diskPath() + "p1");
    EXPECT_EQ(p().volumes->rootPath('C'), "/");
}

// A partition the kernel adds is heard of from its own messages.
TEST_F(LinuxLoop, TheKernelsMessageOfANewPartitionIsHeard) {
    std::mutex m;
    std::condition_variable cv;
    int changes = 0;
    LinuxHotplug hotplug([&] {
        std::lock_guard lock(m);
        ++changes;
        cv.notify_all();
    });
    hotplug.setListener([](const DeviceEvent&) {});
    if (!hotplug.listening())
        GTEST_SKIP() << "the kernel's device messages cannot be read here";
    ASSERT_NE(OnePartition(*rig), 0);
    std::unique_lock lock(m);
    EXPECT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return changes > 0; }));
}

}  // namespace

// The contract's tests, run on loop devices.
namespace contract {
INSTANTIATE_TEST_SUITE_P(Loop, DiskContract, ::testing::Values(&MakeLoopRig));
}  // namespace contract

}  // namespace vq
