#include "platform/PartitionScript.h"

#include <algorithm>
#include <charconv>
#include <sstream>

#include "base/AlignedBuffer.h"
#include "base/Text.h"
#include "platform/PartitionTable.h"

namespace vq {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

std::vector<std::string> Words(std::string_view s) {
    std::vector<std::string> out;
    std::istringstream in{std::string(s)};
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

std::optional<std::uint32_t> Number(std::string_view s) {
    std::uint32_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size())
        return std::nullopt;
    return v;
}

// The partitions a table lists, in their order (empty MBR entries left out).
std::vector<PartitionInfo> Listed(const DriveLayout& l) {
    std::vector<PartitionInfo> out;
    for (const PartitionInfo& p : l.partitions) {
        if (p.length != 0 && (l.style == PartitionStyle::Gpt || p.mbrType != 0))
            out.push_back(p);
    }
    return out;
}

bool Zero(Disk& disk, std::uint64_t offset, std::uint64_t bytes) {
    AlignedBuffer zero(static_cast<std::size_t>(bytes));
    return disk.write(offset, zero.span()).ok;
}

}  // namespace

std::optional<ToolFormat> ParseToolFormat(std::string_view line) {
    std::string rest(line);
    const std::string lower = ToLower(rest);
    if (!lower.starts_with("format"))
        return std::nullopt;
    rest.erase(0, 6);
    ToolFormat f;
    // label = "TEXT" (or a single word), with blanks allowed around the '='.
    if (const auto at = ToLower(rest).find("label"); at != std::string::npos) {
        const auto eq = rest.find_first_not_of(" \t", at + 5);
        if (eq == std::string::npos || rest[eq] != '=')
            return std::nullopt;
        const auto q = rest.find_first_not_of(" \t", eq + 1);
        if (q == std::string::npos)
            return std::nullopt;
        std::size_t end = 0;
        if (rest[q] == '"') {
            end = rest.find('"', q + 1);
            if (end == std::string::npos)
                return std::nullopt;
            f.label = rest.substr(q + 1, end - q - 1);
            ++end;
        } else {
            end = std::min(rest.find_first_of(" \t", q), rest.size());
            f.label = rest.substr(q, end - q);
        }
        while (!f.label.empty() && f.label.back() == ' ')
            f.label.pop_back();
        rest.erase(at, end - at);
    }
    // NAME=VALUE words, the '=' possibly set apart by blanks.
    std::string joined;
    for (const std::string& w : Words(rest)) {
        if (!joined.empty() && (w.front() == '=' || joined.back() == '='))
            joined += w;
        else
            joined += (joined.empty() ? "" : " ") + w;
    }
    for (const std::string& w : Words(joined)) {
        const std::string lw = ToLower(w);
        if (lw == "quick") {
            f.quick = true;
        } else if (lw.starts_with("fs=") && w.size() > 3) {
            f.fileSystem = w.substr(3);
        } else if (lw.starts_with("unit=")) {
            const auto n = Number(lw.substr(5));
            if (!n)
                return std::nullopt;
            f.unit = *n;
        } else {
            return std::nullopt;
        }
    }
    if (f.fileSystem.empty())
        return std::nullopt;
    return f;
}

int RunPartitionScript(const std::vector<std::string>& script, PartitionToolMachine& machine) {
    std::unique_ptr<Disk> disk;
    std::uint32_t number = 0;
    std::optional<PartitionInfo> partition;
    for (const std::string& line : script) {
        const auto w = Words(ToLower(line));
        if (w.empty())
            continue;
        if (w.size() == 1 && w[0] == "rescan") {
            machine.rescan();
        } else if (w.size() == 3 && w[0] == "select" && w[1] == "disk") {
            const auto n = Number(w[2]);
            disk = n ? machine.openDisk(*n) : nullptr;
            if (!disk)
                return kToolNoSuchObject;
            number = *n;
            partition.reset();
        } else if (w.size() == 3 && w[0] == "select" && w[1] == "partition") {
            const auto n = Number(w[2]);
            if (!disk || !n)
                return kToolNoSuchObject;
            const auto l = disk->layout();
            if (!l)
                return kToolFailed;
            const auto list = Listed(*l);
            if (*n == 0 || *n > list.size())
                return kToolNoSuchObject;
            partition = list[*n - 1];
        } else if (w.size() == 1 && w[0] == "clean") {
            if (!disk)
                return kToolNoSuchObject;
            const auto g = disk->geometry();
            if (!g)
                return kToolFailed;
            const std::uint64_t span =
                std::min(kMiB, g->totalBytes / 2 / g->bytesPerSector * g->bytesPerSector);
            if (!Zero(*disk, 0, span) || !Zero(*disk, g->totalBytes - span, span) ||
                !disk->updateProperties())
                return kToolFailed;
            partition.reset();
        } else if (w.size() == 2 && w[0] == "convert" && w[1] == "gpt") {
            if (!disk)
                return kToolNoSuchObject;
            const auto g = disk->geometry();
            const auto l = disk->layout();
            if (!g || !l || !Listed(*l).empty())
                return kToolFailed;  // only an empty disk converts
            const std::uint32_t b = g->bytesPerSector;
            DriveLayout gpt;
            gpt.style = PartitionStyle::Gpt;
            gpt.gptDiskId = NewGuid();
            PartitionInfo msr;
            msr.style = PartitionStyle::Gpt;
            msr.gptType = kGptReservedType;
            msr.startingOffset = GptFirstUsable(b) * b;
            msr.length = 16 * kMiB - msr.startingOffset;
            msr.gptName = "Microsoft reserved partition";
            gpt.partitions.push_back(msr);
            if (!disk->createDisk(PartitionStyle::Gpt, 0) || !disk->setLayout(gpt) ||
                !disk->updateProperties())
                return kToolFailed;
            partition.reset();
        } else if (w.size() == 3 && w[0] == "create" && w[1] == "partition" && w[2] == "primary") {
            if (!disk)
                return kToolNoSuchObject;
            const auto g = disk->geometry();
            auto l = disk->layout();
            if (!g || !l)
                return kToolFailed;
            const std::uint32_t b = g->bytesPerSector;
            const std::uint64_t sectors = g->totalBytes / b;
            if (l->style == PartitionStyle::Raw) {
                l->style = PartitionStyle::Mbr;
                l->partitions.assign(4, PartitionInfo{});
            }
            const bool gpt = l->style == PartitionStyle::Gpt;
            std::uint64_t start = gpt ? GptFirstUsable(b) * b : kMiB;
            for (const PartitionInfo& p : Listed(*l))
                start = std::max(start, p.startingOffset + p.length);
            start = (start + kMiB - 1) / kMiB * kMiB;
            const std::uint64_t end = gpt ? (GptLastUsable(sectors, b) + 1) * b
                                          : std::min<std::uint64_t>(sectors, 0xFFFFFFFFull) * b;
            if (start + kMiB > end)
                return kToolFailed;  // no room left
            PartitionInfo p;
            p.style = l->style;
            p.startingOffset = start;
            p.length = end - start;
            p.rewritePartition = true;
            if (gpt) {
                p.gptType = kGptBasicDataType;
                p.gptId = NewGuid();
                p.gptName = "Basic data partition";
                p.partitionNumber = static_cast<std::uint32_t>(l->partitions.size() + 1);
                l->partitions.push_back(p);
            } else {
                const auto slot =
                    std::find_if(l->partitions.begin(), l->partitions.end(),
                                 [](const PartitionInfo& e) { return e.mbrType == 0; });
                if (slot == l->partitions.end())
                    return kToolFailed;
                p.mbrType = 0x06;  // no file system yet
                *slot = p;
            }
            if (!disk->setLayout(*l) || !disk->updateProperties())
                return kToolFailed;
            partition = p;
        } else if (w[0] == "format") {
            const auto f = ParseToolFormat(line.substr(line.find_first_not_of(" \t")));
            if (!f)
                return kToolSyntax;
            if (!disk || !partition)
                return kToolNoSuchObject;
            if (machine.format(number, partition->startingOffset, *f) != 0)
                return kToolFailed;
        } else if (w.size() == 1 && w[0] == "assign") {
            if (!disk || !partition)
                return kToolNoSuchObject;
            if (!machine.assign(number, partition->startingOffset))
                return kToolFailed;
        } else {
            return kToolSyntax;
        }
    }
    return kToolDone;
}

}  // namespace vq
