// The volumes of the machine. On Windows and in the emulator a volume is named by its
// drive letter; paths on a volume are always built from its root path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

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
};

}  // namespace vq
