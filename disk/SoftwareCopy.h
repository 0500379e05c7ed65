// The software copy and the compare steps of a port: the contents of a source folder on
// the PC copied into a destination folder on the port's volume, then checked against it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "disk/FolderCompare.h"

namespace vq {

struct Platform;
class FileService;
struct CopyProgress;

namespace swcopy {
constexpr std::size_t kCopySourceMax = 255;
constexpr std::string_view kAllFiles = "*.*";
constexpr int kFlushesAfterCopy = 3;
constexpr const char* kOutsideVolume = "Dest. Dir. must be a folder on the disk: ";
constexpr const char* kCopyFail = "Software copy fail: ";
constexpr const char* kTitle = "Error";
}  // namespace swcopy

// The copy source the run driver builds from the "Src. Dir." text: the text when it names
// an existing folder, else its folder part (up to the last separator or colon), followed
// by "*.*" (after a separator) unless the text has one; at most 255 characters.
std::string MakeCopySource(FileService& files, std::string_view srcDirText);

// The folder the compare reads: the copy source without its trailing "*.*".
std::string CompareSourceOf(std::string_view copySource);

// The expected counts the run driver takes at START: a counting walk of the folder the
// copy source names (so a source text naming a file counts the folder that is copied).
FolderCounts CountSource(Platform& platform, std::string_view copySource, bool advanced);

// The folder under the volume's root that `dstFolder` ("Dest. Dir.") names; nullopt when
// it would leave the volume (a ".." component, a drive or network name). Both '\' and '/'
// separate components; an empty text is the root itself.
std::optional<std::filesystem::path> ResolveDestination(const std::filesystem::path& volumeRoot,
                                                        std::string_view dstFolder);

// Creates the destination folder when it is missing (with its missing parents, never above
// `volumeRoot`) and copies the contents of the copy source's folder into it. Links are
// copied as links. Returns 1 on success; a failure is described in `*failure`.
int CopySoftware(Platform& platform, std::string_view copySource,
                 const std::filesystem::path& volumeRoot, const std::filesystem::path& destination,
                 const std::function<bool(const CopyProgress&)>& progress = {},
                 std::string* failure = nullptr);

// The port's facts the copy and compare steps use.
struct SoftwareStepInput {
    bool earlierFailure = false;
    std::optional<std::filesystem::path> volumeRoot;  // nullopt: no drive letter
    std::string copySource;                           // as MakeCopySource built it
    std::string dstFolder;                            // SwDstFolder
};

// The copy step: -1 after an earlier failure, without a drive letter, for a destination
// outside the volume or a failed copy; else 1 after `flushCache` three times.
std::int32_t RunCopyStep(Platform& platform, const SoftwareStepInput& in,
                         const std::function<void()>& flushCache,
                         const std::function<bool(const CopyProgress&)>& progress = {},
                         std::string* failure = nullptr);

// The compare step: -1 after an earlier failure, without a drive letter or on a
// difference; else 1. `counts` holds the expected counts and the compare options.
std::int32_t RunCompareStep(Platform& platform, const SoftwareStepInput& in, FolderCounts& counts,
                            std::string* difference = nullptr);

}  // namespace vq
