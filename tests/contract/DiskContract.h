// The contract of the disk, volume and file services, written once and run against every
// platform that implements them: the emulator, and real disks (loop devices on Linux).
// A platform provides a rig factory and instantiates the suite:
//
//   INSTANTIATE_TEST_SUITE_P(Sim, DiskContract, ::testing::Values(&MakeSimRig));
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Platform.h"

namespace vq::contract {

// A machine with one disk the tests may wipe: 512-byte sectors, 256 MiB to 2 GiB, no
// volume of it mounted yet. Made fresh for every test.
class DiskRig {
  public:
    virtual ~DiskRig() = default;
    virtual Platform& platform() = 0;
    // The path that opens the whole disk.
    virtual std::string diskPath() = 0;
    // A host folder of the test's own (sources of copies), empty and writable.
    virtual std::filesystem::path hostFolder() = 0;
    // Why the machine cannot mount a file system of that name ("NTFS", "exFAT", "FAT32"),
    // empty when it can: checks of files on such a volume are skipped with the reason.
    virtual std::string cannotMount(std::string_view /*fileSystem*/) { return {}; }
    // The longest exFAT label the machine writes.
    virtual std::size_t exfatLabelLimit() { return 15; }
};

using RigFactory = std::unique_ptr<DiskRig> (*)();

class DiskContract : public ::testing::TestWithParam<RigFactory> {
  protected:
    void SetUp() override;

    Platform& p() { return rig->platform(); }
    // The disk with one MBR partition over it (1 MiB on), rescanned: the new volume's
    // letter (0 when none appeared).
    char partitionMbr();
    // ... and formatted with the system formatter.
    char formatted(const char* fileSystem, const char* label = "");

    std::unique_ptr<DiskRig> rig;
};

// Skips the test when the machine cannot mount the file system.
#define VQ_NEEDS_MOUNT(fileSystem)                                              \
    do {                                                                        \
        if (const std::string why = rig->cannotMount(fileSystem); !why.empty()) \
            GTEST_SKIP() << why;                                                \
    } while (0)

}  // namespace vq::contract
