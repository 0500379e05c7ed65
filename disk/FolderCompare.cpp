#include "disk/FolderCompare.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "base/Format.h"
#include "platform/Diagnostics.h"
#include "platform/FileService.h"
#include "platform/Operator.h"
#include "platform/Platform.h"

namespace vq {

namespace {

bool IsFolder(const std::optional<FileEntry>& e) {
    return e && e->isDirectory() && !e->isLink();
}

// A folder entry that the walk descends into: a real folder, not a link, not one of the
// system's own folders.
bool Descends(const FileEntry& e) {
    return e.isDirectory() && !e.isLink() && e.name != foldercmp::kSystemVolumeInformation &&
           e.name != foldercmp::kRecycler;
}

bool Excluded(const FileEntry& e) {
    return e.isDirectory() && !e.isLink() &&
           (e.name == foldercmp::kSystemVolumeInformation || e.name == foldercmp::kRecycler);
}

void Note(std::string* difference, const std::string& text) {
    if (difference && difference->empty())
        *difference = text;
}

// The path as the report shows it: no trailing separator.
std::string ReportPath(const std::filesystem::path& p) {
    std::string s = p.string();
    while (s.size() > 1 && (s.back() == '\\' || s.back() == '/'))
        s.pop_back();
    return s;
}

bool TimesMatch(std::uint64_t a, std::uint64_t b, std::uint64_t window) {
    const std::uint64_t d = a > b ? a - b : b - a;
    return window == 0 ? d == 0 : d < window;
}

}  // namespace

std::uint64_t TimeWindowOf(std::string_view fileSystem) {
    if (fileSystem == "FAT" || fileSystem == "FAT12" || fileSystem == "FAT16" ||
        fileSystem == "FAT32")
        return foldercmp::kFatTimeWindow;
    if (fileSystem == "exFAT")
        return foldercmp::kExFatTimeWindow;
    return foldercmp::kExactTime;
}

int WalkFolder(Platform& p, const std::filesystem::path& first, const std::filesystem::path& second,
               int mode, FolderCounts& counts, std::string* difference) {
    if (!p.files)
        return 0;
    FileService& files = *p.files;
    const bool comparing = mode == 1;
    if (!IsFolder(files.stat(first))) {
        Note(difference, ReportPath(first) + foldercmp::kMissing);
        return 0;
    }
    if (comparing && !IsFolder(files.stat(second))) {
        Note(difference, ReportPath(second) + foldercmp::kMissing);
        return 0;
    }
    auto entries = files.list(first);
    if (!entries) {
        Note(difference, ReportPath(first) + ": cannot be read");
        return 0;
    }
    for (const FileEntry& e : *entries) {
        if (Excluded(e))
            continue;
        if (Descends(e)) {
            ++counts.folders;
            if (!WalkFolder(p, first / e.name, comparing ? second / e.name : second, mode, counts,
                            difference))
                return 0;
            continue;
        }
        ++counts.files;
        if (comparing && !CompareFile(p, first / e.name, second / e.name, counts.advanced != 0,
                                      counts.timeWindow, difference))
            return 0;
    }
    return 1;
}

int CompareFolders(Platform& p, const std::filesystem::path& source,
                   const std::filesystem::path& destination, FolderCounts& counts,
                   std::string* difference) {
    if (!p.files)
        return 0;
    const std::int32_t expectedFolders = counts.folders;
    const std::int32_t expectedFiles = counts.files;
    if (!IsFolder(p.files->stat(source))) {
        Note(difference, ReportPath(source) + foldercmp::kMissing);
        return 0;
    }
    if (!IsFolder(p.files->stat(destination))) {
        Note(difference, ReportPath(destination) + foldercmp::kMissing);
        return 0;
    }

    counts.folders = 0;
    counts.files = 0;
    if (!WalkFolder(p, destination, {}, 0, counts, difference))
        return 0;
    const bool agree = counts.folders == expectedFolders && counts.files == expectedFiles;
    if (!agree) {
        const std::string text = Format(
            "%s: %d folders and %d files, expected %d folders and %d files",
            ReportPath(destination), counts.folders, counts.files, expectedFolders, expectedFiles);
        if (p.diagnostics)
            p.diagnostics->debugOutput(text + "\n");
        Note(difference, text);
    }
    counts.folders = 0;
    counts.files = 0;
    if (!agree)
        return 0;
    if (!WalkFolder(p, source, destination, 1, counts, difference))
        return 0;
    if (counts.folders != expectedFolders || counts.files != expectedFiles) {
        Note(difference, Format("%s: %d folders and %d files, expected %d folders and %d files",
                                ReportPath(source), counts.folders, counts.files, expectedFolders,
                                expectedFiles));
        return 0;
    }
    return 1;
}

int CompareFile(Platform& p, const std::filesystem::path& source,
                const std::filesystem::path& destination, bool advanced, std::uint64_t timeWindow,
                std::string* difference) {
    if (!p.files)
        return 0;
    std::string report = ReportPath(destination);
    const char* what = nullptr;
    const auto dst = p.files->stat(destination);
    const auto src = dst ? p.files->stat(source) : std::nullopt;
    if (!dst) {
        what = foldercmp::kMissing;
    } else if (!src) {
        what = "";
    } else if (src->name != dst->name) {
        what = foldercmp::kNameDiffers;
    } else if (src->isLink() != dst->isLink()) {
        what = foldercmp::kLinkDiffers;
    } else if (src->size != dst->size) {
        what = foldercmp::kSizeDiffers;
    } else if (!TimesMatch(src->lastWriteTime, dst->lastWriteTime, timeWindow)) {
        what = foldercmp::kTimeDiffers;
    } else if (advanced && !src->isLink() && !CompareFileContent(p, source, destination)) {
        what = foldercmp::kContentDiffers;
    }
    if (!what)
        return 1;
    report += what;
    Note(difference, report);
    if (p.op)
        p.op->showMessage(
            {report, foldercmp::kMismatchTitle, MessageIcon::None, MessageButtons::Ok});
    return 0;
}

int CompareFileContent(Platform& p, const std::filesystem::path& first,
                       const std::filesystem::path& second) {
    if (!p.files)
        return 0;
    FileService& files = *p.files;
    auto a = files.open(first, FileMode::OpenExisting, FileAccess::Read, false);
    auto b = a ? files.open(second, FileMode::OpenExisting, FileAccess::Read, false) : nullptr;
    if (!a || !b)
        return 0;
    const auto sizeA = a->size();
    const auto sizeB = b->size();
    if (!sizeA || !sizeB || *sizeA != *sizeB)
        return 0;
    const std::uint64_t size = *sizeA;
    // Pieces no larger than the file, so small files cost no 16 MiB buffers.
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(foldercmp::kPieceBytes, size));
    if (piece == 0)
        return 1;
    std::unique_ptr<std::uint8_t[]> bufA;
    std::unique_ptr<std::uint8_t[]> bufB;
    try {
        bufA.reset(new std::uint8_t[piece]);
        bufB.reset(new std::uint8_t[piece]);
    } catch (const std::bad_alloc&) {
        return 0;
    }
    std::uint64_t compared = 0;
    while (compared < size) {
        const IoResult ra = a->read({bufA.get(), piece});
        const IoResult rb = b->read({bufB.get(), piece});
        // A read error, or a file that ends before its size (it changed under us), is a
        // difference; equal pieces must have equal lengths.
        if (!ra.ok || !rb.ok || rb.bytes == 0 || ra.bytes != rb.bytes)
            return 0;
        if (std::memcmp(bufA.get(), bufB.get(), rb.bytes) != 0)
            return 0;
        compared += rb.bytes;
    }
    return 1;
}

}  // namespace vq
