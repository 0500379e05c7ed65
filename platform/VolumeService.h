// The volumes of the machine. On Windows and in the emulator a volume is named by its
// drive letter; paths on a volume are always built from its root path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DiskService.h"

namespace vq {

// The system's drive types (GetDriveType numbers).
enum class DriveType : std::uint32_t {
    Unknown = 0,
    NoRootDir = 1,
    Removable = 2,
    Fixed = 3,
    Remote = 4,
    CdRom = 5,
    RamDisk = 6,
};

// GetVolumeInformation: what the file system of a volume says of itself.
struct VolumeInformation {
    std::string label;
    std::uint32_t serialNumber = 0;
    std::uint32_t maxComponentLength = 0;
    std::string fileSystem;  // "FAT32", "NTFS", "exFAT"; empty when not recognised
};

// An open volume ("\\.\E:"): its sectors (offsets from the start of the partition), the
// partition it is, and the lock and dismount requests a formatter needs.
//   lock / unlock / dismount  FSCTL_LOCK/UNLOCK/DISMOUNT_VOLUME | exclusive open, umount
//   partitionInfo             IOCTL_DISK_GET_PARTITION_INFO_EX  | sysfs start/size + table
//   setMbrType                IOCTL_DISK_SET_PARTITION_INFO_EX  | the MBR entry rewritten
class Volume : public BlockDevice {
  public:
    // A locked volume refuses a second lock and file I/O until unlocked or closed.
    virtual bool lock() = 0;
    virtual bool unlock() = 0;
    // The file system is dropped; the next access mounts it afresh.
    virtual bool dismount() = 0;
    virtual std::optional<PartitionInfo> partitionInfo() = 0;
    virtual bool setMbrType(std::uint8_t type) = 0;
};

class VolumeService {
  public:
    virtual ~VolumeService() = default;
    // Bit n set: drive letter 'A' + n is in use.
    virtual std::uint32_t logicalDriveMask() = 0;
    // Letter of the drive that holds the operating system.
    virtual char systemDriveLetter() = 0;
    virtual DriveType driveType(char letter) = 0;
    // Device path for pass-through and device-number requests ("\\.\E:").
    virtual std::string volumeDevicePath(char letter) = 0;
    // Root folder of the volume ("E:\" on Windows; a folder of the host in the emulator).
    virtual std::filesystem::path rootPath(char letter) = 0;
    // Free bytes available to the caller, nullopt when the volume cannot be asked.
    virtual std::optional<std::uint64_t> freeBytes(char letter) = 0;
    // Size of the volume in bytes, nullopt when it cannot be asked.
    virtual std::optional<std::uint64_t> totalBytes(char letter) = 0;

    // Opens the volume for read and write with unbuffered access; null with the
    // system's error.
    virtual std::unique_ptr<Volume> openVolume(char letter, std::uint32_t* error = nullptr) = 0;
    virtual std::optional<VolumeInformation> volumeInformation(char letter) = 0;
    // Sets the label; returns 0 or the system's error (154: too long for a FAT32 label).
    virtual std::uint32_t setLabel(char letter, std::string_view label) = 0;

    // The system's own formatter (NTFS and exFAT; "FAT32" too where the system has one):
    // the command-line formatter, the format library or the partitioning tool's format
    // behind one call. The label is taken literally (never through a shell). Returns the
    // formatter's exit status: 0 on success.
    virtual int systemFormat(char letter, std::string_view fileSystem, std::string_view label,
                             std::uint32_t clusterBytes, bool quick) = 0;
    // Whether the system formatter can be run at all.
    virtual bool systemFormatAvailable() = 0;
    // Closes the system's "format this disk?" prompt when one is showing; true when one
    // was closed. Platforms without such a prompt return false.
    virtual bool closeFormatPrompt() = 0;
};

}  // namespace vq
