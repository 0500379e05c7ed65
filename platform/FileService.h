// Files and folders, on the station's volumes and on the host (the pattern file, the
// software folder to copy). Paths are built from a volume's root path or given by the
// operator; they are never made by formatting a drive letter into a string.
//
//   open (unbuffered)  CreateFile FILE_FLAG_NO_BUFFERING | open O_DIRECT
//   list / stat        FindFirstFile/FindNextFile        | readdir + lstat
//   copyTree           SHFileOperation FO_COPY           | the tree copied file by file
//   freeBytes          GetDiskFreeSpaceEx                | statvfs
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/DiskService.h"

namespace vq {

// File attributes, as the system numbers them (FILE_ATTRIBUTE_*).
namespace fileattr {
constexpr std::uint32_t kReadOnly = 0x01;
constexpr std::uint32_t kHidden = 0x02;
constexpr std::uint32_t kSystem = 0x04;
constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kArchive = 0x20;
constexpr std::uint32_t kReparsePoint = 0x400;  // symbolic link or junction
}  // namespace fileattr

// One entry of a folder listing (WIN32_FIND_DATA). Times are FILETIMEs: 100 ns units
// since 1601-01-01 UTC, at the resolution the volume's file system keeps.
struct FileEntry {
    std::string name;
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::uint64_t creationTime = 0;
    std::uint64_t lastAccessTime = 0;
    std::uint64_t lastWriteTime = 0;
    bool isDirectory() const { return (attributes & fileattr::kDirectory) != 0; }
    bool isLink() const { return (attributes & fileattr::kReparsePoint) != 0; }
};

enum class FileMode {
    CreateNew,     // fails with kFileExists when the file is there
    CreateAlways,  // an existing file is truncated
    OpenExisting,  // fails with kFileNotFound when it is not there
};

enum class FileAccess { Read, Write, ReadWrite };

// An open file. With unbuffered access every transfer's length and buffer address must
// be a multiple of the volume's sector size (kInvalidParameter otherwise).
class File {
  public:
    virtual ~File() = default;
    // Sequential transfers from the current position.
    virtual IoResult read(std::span<std::uint8_t> buffer) = 0;
    virtual IoResult write(std::span<const std::uint8_t> buffer) = 0;
    virtual std::optional<std::uint64_t> size() = 0;
    // Flushes the file's data to the device.
    virtual bool flush() = 0;
};

struct CopyProgress {
    std::uint64_t bytesDone = 0;
    std::uint64_t bytesTotal = 0;
    std::uint32_t filesDone = 0;
    std::uint32_t filesTotal = 0;
};

class FileService {
  public:
    virtual ~FileService() = default;
    // Opens a file; null with the system's error. `unbuffered` bypasses the system cache.
    virtual std::unique_ptr<File> open(const std::filesystem::path& path, FileMode mode,
                                       FileAccess access, bool unbuffered,
                                       std::uint32_t* error = nullptr) = 0;
    // 0, or the system's error (kFileNotFound when it is not there).
    virtual std::uint32_t remove(const std::filesystem::path& path) = 0;
    // Creates one folder (its parent must exist); 0 or the system's error
    // (kAlreadyExists when it is there).
    virtual std::uint32_t createFolder(const std::filesystem::path& path) = 0;
    // The entry a path names (without following a final link); nullopt when none.
    virtual std::optional<FileEntry> stat(const std::filesystem::path& path) = 0;
    // The entries of a folder, "." and ".." excluded, in the file system's order;
    // nullopt when the folder cannot be read.
    virtual std::optional<std::vector<FileEntry>> list(const std::filesystem::path& folder) = 0;
    // Copies the contents of `source` (a folder) into `destination` (which exists),
    // silently and overwriting, keeping time stamps; links are copied as links, never
    // followed. The callback sees the progress and may return false to stop. Returns 0
    // or the system's error of the first file that failed.
    virtual std::uint32_t copyTree(const std::filesystem::path& source,
                                   const std::filesystem::path& destination,
                                   const std::function<bool(const CopyProgress&)>& progress) = 0;
    // Free bytes of the file system that holds the path.
    virtual std::optional<std::uint64_t> freeBytes(const std::filesystem::path& path) = 0;
    // The folder for temporary files (the scripts the station writes).
    virtual std::filesystem::path tempFolder() = 0;
};

}  // namespace vq
