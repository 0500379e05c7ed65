// The disk, volume and file services of the Linux platform on loop devices: the contract
// every platform meets, and what a real kernel adds (a re-read while a partition of the disk
// is in use). Needs root and loop devices; skipped with the reason otherwise.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "base/AlignedBuffer.h"
#include "platform/PartitionTable.h"
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

}  // namespace

// The contract's tests, run on loop devices.
namespace contract {
INSTANTIATE_TEST_SUITE_P(Loop, DiskContract, ::testing::Values(&MakeLoopRig));
}  // namespace contract

}  // namespace vq
