// The folder compare of the software image: the destination tree must hold the same
// folders and files as the source, every file matching by name, size and time stamp and,
// in the advanced compare, byte for byte. Links are entries of their folder: counted and
// compared as files, never followed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vq {

struct Platform;
struct FileEntry;

namespace foldercmp {
// Folders neither counted nor compared, on either side (exact names).
constexpr std::string_view kSystemVolumeInformation = "System Volume Information";
constexpr std::string_view kRecycler = "RECYCLER";
constexpr std::uint32_t kPieceBytes = 16u << 20;  // content compared in 16 MiB pieces

constexpr const char* kMismatchTitle = "Fail ";
constexpr const char* kMissing = " doesn't exist!!!";
constexpr const char* kNameDiffers = " Name does't match!!!";
constexpr const char* kSizeDiffers = " Size does't match!!";
constexpr const char* kTimeDiffers = " Time does't match!!";
constexpr const char* kContentDiffers = " File Content does't match!!";
constexpr const char* kLinkDiffers = " Link does't match!!";

// How far apart two write times (100 ns units) may be and still match.
constexpr std::uint64_t kExactTime = 0;
constexpr std::uint64_t kFatTimeWindow = 20'000'000;  // FAT keeps even seconds
constexpr std::uint64_t kExFatTimeWindow = 100'000;   // exFAT keeps 10 ms
}  // namespace foldercmp

// The counts of one port's compare: the expected numbers of folders and files (then the
// counted ones), whether the advanced (byte) compare is on, and how close two write times
// must be to match.
struct FolderCounts {
    std::int32_t folders = 0;
    std::int32_t files = 0;
    std::int32_t advanced = 0;  // bAdvenceCompare
    std::uint64_t timeWindow = foldercmp::kExactTime;
};

// The write-time window for a destination of the file system ("FAT32", "NTFS", ...): the
// coarser clock of FAT and exFAT, else exact.
std::uint64_t TimeWindowOf(std::string_view fileSystem);

// Walks `first`; mode 0 counts its folders and files into `counts`, mode 1 also compares
// each file with its namesake under `second`. Returns 1 when the walk completed (and, in
// mode 1, every file matched). `difference`, when given, receives the first difference.
int WalkFolder(Platform& platform, const std::filesystem::path& first,
               const std::filesystem::path& second, int mode, FolderCounts& counts,
               std::string* difference = nullptr);

// Checks the destination against the source and the expected counts in `counts`: first a
// counting pass over the destination, then a comparing walk of the source. Returns 1 when
// the trees match; `counts` is left with the counts of the comparing walk.
int CompareFolders(Platform& platform, const std::filesystem::path& source,
                   const std::filesystem::path& destination, FolderCounts& counts,
                   std::string* difference = nullptr);

// Compares one file with its copy by name, size, time (within `timeWindow`) and, when
// `advanced`, content. A mismatch is shown to the operator ("Fail ") with the destination
// path and what differs, and 0 is returned.
int CompareFile(Platform& platform, const std::filesystem::path& source,
                const std::filesystem::path& destination, bool advanced,
                std::uint64_t timeWindow = foldercmp::kExactTime,
                std::string* difference = nullptr);

// 1 when both files exist, have the same size and the same bytes.
int CompareFileContent(Platform& platform, const std::filesystem::path& first,
                       const std::filesystem::path& second);

}  // namespace vq
