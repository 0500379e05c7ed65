// Whole disks, opened by device path (the storage interface path of a bridge's disk, a
// physical drive path, or on Linux a block device node). The station partitions disks
// through these operations and runs the system's partitioning tool through them; it
// never reaches the operating system another way.
//
// How the operations map to the systems (Windows, then Linux):
//   geometry: IOCTL_DISK_GET_DRIVE_GEOMETRY; HDIO_GETGEO with BLKGETSIZE64 and BLKSSZGET
//   read, write: ReadFile and WriteFile without buffering; pread and pwrite, O_DIRECT
//   createDisk: IOCTL_DISK_CREATE_DISK; a fresh empty MBR or GPT written
//   layout: IOCTL_DISK_GET/SET_DRIVE_LAYOUT_EX; the tables read and written by hand
//   updateProperties: IOCTL_DISK_UPDATE_PROPERTIES; BLKRRPART (BLKPG per partition when
//     the disk is busy)
//   deviceNumber: IOCTL_STORAGE_GET_DEVICE_NUMBER; the platform's disk numbering
//   runPartitionTool: diskpart.exe /s SCRIPT; the script's commands carried out
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ScsiPassThrough.h"

namespace vq {

// DISK_GEOMETRY: the size of the disk as the system describes it. The whole disk is
// cylinders x tracksPerCylinder x sectorsPerTrack x bytesPerSector, rounded down to
// whole cylinders; totalBytes is the device's real length.
struct DiskGeometry {
    std::uint64_t cylinders = 0;
    std::uint32_t tracksPerCylinder = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t bytesPerSector = 0;
    std::uint64_t totalBytes = 0;
};

enum class PartitionStyle : std::uint32_t { Mbr = 0, Gpt = 1, Raw = 2 };

using Guid = std::array<std::uint8_t, 16>;  // in on-disk byte order

// PARTITION_INFORMATION_EX: one partition of a layout, or the partition a volume is.
struct PartitionInfo {
    PartitionStyle style = PartitionStyle::Mbr;
    std::uint64_t startingOffset = 0;  // bytes
    std::uint64_t length = 0;          // bytes
    std::uint32_t partitionNumber = 0;
    bool rewritePartition = false;
    // MBR
    std::uint8_t mbrType = 0;
    bool bootIndicator = false;
    bool recognizedPartition = false;
    std::uint32_t hiddenSectors = 0;
    // GPT
    Guid gptType{};
    Guid gptId{};
    std::uint64_t gptAttributes = 0;
    std::string gptName;  // up to 36 characters
};

// DRIVE_LAYOUT_INFORMATION_EX. An MBR layout has four entries (empty ones have type 0);
// a GPT layout lists the partitions that exist.
struct DriveLayout {
    PartitionStyle style = PartitionStyle::Raw;
    std::uint32_t mbrSignature = 0;
    Guid gptDiskId{};
    std::vector<PartitionInfo> partitions;
};

// Outcome of a read or write: the bytes moved and the system's error (0 when none).
struct IoResult {
    bool ok = false;
    std::uint32_t bytes = 0;
    std::uint32_t error = 0;
};

// System error codes the station tells apart, as Windows numbers them; every platform
// reports its failures in these numbers where one fits.
namespace syserr {
constexpr std::uint32_t kFileNotFound = 2;
constexpr std::uint32_t kPathNotFound = 3;
constexpr std::uint32_t kAccessDenied = 5;
constexpr std::uint32_t kInvalidHandle = 6;
constexpr std::uint32_t kNotReady = 21;
constexpr std::uint32_t kWriteFault = 29;
constexpr std::uint32_t kReadFault = 30;
constexpr std::uint32_t kSharingViolation = 32;
constexpr std::uint32_t kLockViolation = 33;
constexpr std::uint32_t kNotSupported = 50;
constexpr std::uint32_t kFileExists = 80;
constexpr std::uint32_t kInvalidParameter = 87;
constexpr std::uint32_t kDiskFull = 112;
constexpr std::uint32_t kInvalidName = 123;  // a label with characters the file system refuses
constexpr std::uint32_t kLabelTooLong = 154;
constexpr std::uint32_t kAlreadyExists = 183;
constexpr std::uint32_t kUnrecognizedVolume = 1005;  // no file system the system knows
constexpr std::uint32_t kCancelled = 1223;           // a progress callback said stop
constexpr std::uint32_t kDeviceRemoved = 1617;       // the handle's device left the machine
}  // namespace syserr

// An open disk or volume: sector I/O without the system's cache. Offsets, lengths and
// buffer addresses must be multiples of the sector size (kInvalidParameter otherwise).
class BlockDevice {
  public:
    virtual ~BlockDevice() = default;
    virtual std::optional<DiskGeometry> geometry() = 0;
    virtual IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) = 0;
    virtual IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) = 0;
    // SCSI pass-through on the same handle (the formatter writes the label entry with
    // READ(10)/WRITE(10) through it). Block numbers are those of the whole disk.
    virtual ScsiResult execute(const ScsiRequest& request) = 0;
    virtual std::optional<StorageDeviceNumber> deviceNumber() = 0;
};

class Disk : public BlockDevice {
  public:
    // Initialises the disk with an empty partition table of the style (CREATE_DISK).
    virtual bool createDisk(PartitionStyle style, std::uint32_t mbrSignature = 0) = 0;
    virtual std::optional<DriveLayout> layout() = 0;
    virtual bool setLayout(const DriveLayout& layout) = 0;
    // Asks the system to re-read the disk's partitions; volumes appear or vanish.
    virtual bool updateProperties() = 0;
};

class DiskService {
  public:
    virtual ~DiskService() = default;
    // Opens a whole disk for read and write, shared; null with the system's error.
    virtual std::unique_ptr<Disk> openDisk(std::string_view path,
                                           std::uint32_t* error = nullptr) = 0;
    // Opens a disk image file (or a block device) as a disk: what a formatter or a test
    // uses away from a station. Sector size 512 or 4096.
    virtual std::unique_ptr<Disk> openImage(std::string_view path,
                                            std::uint32_t bytesPerSector = 512,
                                            std::uint32_t* error = nullptr) = 0;
    // Whether the system's partitioning tool is there (diskpart.exe in the system folder).
    virtual bool partitionToolAvailable() = 0;
    // Runs the partitioning tool over a script (the lines as the station writes them,
    // without line ends) and returns its exit code; -1 when it could not be started
    // (*error holds the reason). Only these commands are taken: "rescan",
    // "select disk N", "select partition N", "clean", "convert gpt",
    // "create partition primary", "format fs=NAME label=\"TEXT\" quick [unit=N]",
    // "assign"; anything else ends the script with a nonzero code, as the tool would.
    virtual int runPartitionTool(const std::vector<std::string>& script,
                                 std::uint32_t* error = nullptr) = 0;
};

}  // namespace vq
