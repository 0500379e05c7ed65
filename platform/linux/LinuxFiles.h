// Files and folders on the host's file systems. Unbuffered files are opened with O_DIRECT;
// their transfers must be multiples of the file system's direct I/O alignment (512 bytes
// where the file system does not tell) in length and buffer address. A file system that
// refuses O_DIRECT gets the file through the page cache instead: the handle still holds
// the transfers to the alignment, writes are flushed and dropped from the cache when it
// closes, and the fallback is reported once per file system to the diagnostics.
#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <set>

#include "platform/FileService.h"

namespace vq {

class Diagnostics;

class LinuxFiles final : public FileService {
  public:
    explicit LinuxFiles(Diagnostics* diagnostics = nullptr) : diagnostics_(diagnostics) {}

    std::unique_ptr<File> open(const std::filesystem::path& path, FileMode mode, FileAccess access,
                               bool unbuffered, std::uint32_t* error = nullptr) override;
    std::uint32_t remove(const std::filesystem::path& path) override;
    std::uint32_t createFolder(const std::filesystem::path& path) override;
    std::optional<FileEntry> stat(const std::filesystem::path& path) override;
    std::optional<std::vector<FileEntry>> list(const std::filesystem::path& folder) override;
    std::uint32_t copyTree(const std::filesystem::path& source,
                           const std::filesystem::path& destination,
                           const std::function<bool(const CopyProgress&)>& progress) override;
    std::optional<std::uint64_t> freeBytes(const std::filesystem::path& path) override;
    std::filesystem::path tempFolder() override;

  private:
    void noteCachedFallback(std::uint64_t device, const std::filesystem::path& path);

    Diagnostics* diagnostics_;
    std::mutex m_;
    std::set<std::uint64_t> cachedDevices_;  // file systems that refused O_DIRECT
};

// The system error code for an errno value; `fallback` for values that have none of
// their own (the generic failure of the operation at hand).
std::uint32_t SystemErrorOfErrno(int err, std::uint32_t fallback);

// FILETIME (100 ns units since 1601-01-01 UTC) of a time since 1970.
std::uint64_t FileTimeOfUnix(std::int64_t seconds, std::uint32_t nanoseconds);

}  // namespace vq
