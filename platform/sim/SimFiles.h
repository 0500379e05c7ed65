// The emulated system's files. A path inside a volume's root folder is a file of that
// volume: the volume must be on the machine, mounted and not locked; unbuffered transfers
// must be sector-aligned; time stamps are kept at the resolution of the volume's file
// system (FAT32: writes to 2 seconds, rounded up; creation to 10 ms; access to the day;
// exFAT: 10 ms, access 2 seconds); written bytes take whole clusters of its free space
// and cost the drive's emulated time; the volume's faults apply. Any other path is a file
// of the host, used as it is.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/FileService.h"

namespace vq::sim {

class SimVolumes;

class SimFiles final : public FileService {
  public:
    SimFiles(SimVolumes& volumes, std::function<std::filesystem::path()> workFolder);

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

    // Open handles of a path (a file being open refuses its deletion).
    void noteOpen(const std::filesystem::path& path, int delta);

  private:
    class Handle;
    std::uint32_t copyFile(const std::filesystem::path& from, const std::filesystem::path& to,
                           CopyProgress& done,
                           const std::function<bool(const CopyProgress&)>& progress,
                           std::vector<std::uint8_t>& buffer);

    SimVolumes& volumes_;
    std::function<std::filesystem::path()> workFolder_;
    std::mutex m_;
    std::map<std::string, int> open_;
};

// FILETIME (100 ns since 1601) of a host file time, and back.
std::uint64_t ToFileTime(std::filesystem::file_time_type t);
std::filesystem::file_time_type FromFileTime(std::uint64_t filetime);

}  // namespace vq::sim
