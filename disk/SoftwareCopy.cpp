#include "disk/SoftwareCopy.h"

#include <vector>

#include "base/Format.h"
#include "platform/Diagnostics.h"
#include "platform/FileService.h"
#include "platform/Operator.h"
#include "platform/Platform.h"

namespace vq {

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

void Fail(Platform& p, std::string* failure, const std::string& text, bool show) {
    if (failure && failure->empty())
        *failure = text;
    if (p.diagnostics)
        p.diagnostics->debugOutput(text + "\n");
    if (show && p.op)
        p.op->showMessage({text, swcopy::kTitle, MessageIcon::Error, MessageButtons::Ok});
}

// The components of a "Dest. Dir." text; nullopt when one of them climbs out of the root
// or names a drive.
std::optional<std::vector<std::string>> Components(std::string_view text) {
    std::vector<std::string> parts;
    // "\\server\share" and "//server" name another machine.
    if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1]))
        return std::nullopt;
    std::string part;
    auto flush = [&]() -> bool {
        if (part == "..")
            return false;
        if (part.find(':') != std::string::npos)
            return false;  // a drive ("C:") or an alternate stream
        if (!part.empty() && part != ".")
            parts.push_back(part);
        part.clear();
        return true;
    };
    for (const char c : text) {
        if (IsSeparator(c)) {
            if (!flush())
                return std::nullopt;
        } else {
            part += c;
        }
    }
    if (!flush())
        return std::nullopt;
    return parts;
}

bool IsFolder(FileService& files, const std::filesystem::path& p) {
    const auto e = files.stat(p);
    return e && e->isDirectory() && !e->isLink();
}

}  // namespace

std::string MakeCopySource(FileService& files, std::string_view srcDirText) {
    std::string source(srcDirText);
    if (!IsFolder(files, std::filesystem::path(source))) {
        const auto cut = source.find_last_of("\\/:");
        source = cut == std::string::npos ? std::string() : source.substr(0, cut + 1);
    }
    if (source.find(swcopy::kAllFiles) == std::string::npos) {
        if (source.empty() || !IsSeparator(source.back()))
            source += static_cast<char>(std::filesystem::path::preferred_separator);
        source += swcopy::kAllFiles;
    }
    if (source.size() > swcopy::kCopySourceMax)
        source.resize(swcopy::kCopySourceMax);
    return source;
}

std::string CompareSourceOf(std::string_view copySource) {
    if (copySource.find(swcopy::kAllFiles) == std::string_view::npos || copySource.size() < 3)
        return std::string(copySource);
    return std::string(copySource.substr(0, copySource.size() - 3));
}

FolderCounts CountSource(Platform& p, std::string_view copySource, bool advanced) {
    FolderCounts counts;
    WalkFolder(p, std::filesystem::path(CompareSourceOf(copySource)), {}, 0, counts);
    counts.advanced = advanced ? 1 : 0;
    return counts;
}

std::optional<std::filesystem::path> ResolveDestination(const std::filesystem::path& volumeRoot,
                                                        std::string_view dstFolder) {
    const auto parts = Components(dstFolder);
    if (!parts)
        return std::nullopt;
    std::filesystem::path p = volumeRoot;
    for (const auto& part : *parts)
        p /= part;
    return p;
}

int CopySoftware(Platform& p, std::string_view copySource, const std::filesystem::path& volumeRoot,
                 const std::filesystem::path& destination,
                 const std::function<bool(const CopyProgress&)>& progress, std::string* failure) {
    if (!p.files)
        return 0;
    FileService& files = *p.files;
    if (!IsFolder(files, destination)) {
        std::uint32_t err = files.createFolder(destination);
        if (err != 0 && err != syserr::kAlreadyExists) {
            // Make the missing folders one by one, from the volume's root down.
            const auto rel = destination.lexically_relative(volumeRoot);
            std::filesystem::path at = volumeRoot;
            err = 0;
            for (const auto& part : rel) {
                if (part.empty() || part == ".")
                    continue;
                at /= part;
                if (IsFolder(files, at))
                    continue;
                err = files.createFolder(at);
                if (err != 0 && err != syserr::kAlreadyExists)
                    break;
                err = 0;
            }
            if (err != 0 || !IsFolder(files, destination)) {
                Fail(p, failure,
                     Format("%scannot create %s (error %u)", swcopy::kCopyFail,
                            destination.string(), err),
                     false);
                return 0;
            }
        }
    }
    const std::filesystem::path source(CompareSourceOf(copySource));
    const std::uint32_t err = files.copyTree(
        source, destination, progress ? progress : [](const CopyProgress&) { return true; });
    if (err != 0) {
        Fail(p, failure,
             Format("%s%s to %s: %s", swcopy::kCopyFail, source.string(), destination.string(),
                    err == syserr::kDiskFull ? std::string("disk full") : Format("error %u", err)),
             false);
        return 0;
    }
    return 1;
}

std::int32_t RunCopyStep(Platform& p, const SoftwareStepInput& in,
                         const std::function<void()>& flushCache,
                         const std::function<bool(const CopyProgress&)>& progress,
                         std::string* failure) {
    if (in.earlierFailure || !in.volumeRoot)
        return -1;
    const auto destination = ResolveDestination(*in.volumeRoot, in.dstFolder);
    if (!destination) {
        Fail(p, failure, std::string(swcopy::kOutsideVolume) + in.dstFolder, true);
        return -1;
    }
    if (!CopySoftware(p, in.copySource, *in.volumeRoot, *destination, progress, failure))
        return -1;
    if (flushCache) {
        for (int i = 0; i < swcopy::kFlushesAfterCopy; ++i)
            flushCache();
    }
    return 1;
}

std::int32_t RunCompareStep(Platform& p, const SoftwareStepInput& in, FolderCounts& counts,
                            std::string* difference) {
    if (in.earlierFailure || !in.volumeRoot)
        return -1;
    const auto destination = ResolveDestination(*in.volumeRoot, in.dstFolder);
    if (!destination) {
        Fail(p, difference, std::string(swcopy::kOutsideVolume) + in.dstFolder, true);
        return -1;
    }
    const std::filesystem::path source(CompareSourceOf(in.copySource));
    return CompareFolders(p, source, *destination, counts, difference) ? 1 : -1;
}

}  // namespace vq
