#include "platform/sim/SimDisks.h"

#include <algorithm>
#include <charconv>

#include "base/AlignedBuffer.h"
#include "base/Text.h"
#include "platform/ImageDisk.h"
#include "platform/PartitionTable.h"
#include "platform/sim/SimDiskIo.h"
#include "platform/sim/SimScsi.h"
#include "platform/sim/SimVolumes.h"

namespace vq::sim {

namespace {

constexpr std::uint64_t kMiB = 1ull << 20;

// Exit codes of the partitioning tool.
constexpr int kToolOk = 0;
constexpr int kToolBadArgument = 2;
constexpr int kToolFailed = 4;
constexpr int kToolSyntax = 5;

class SimDisk final : public Disk {
  public:
    SimDisk(SimVolumes& volumes, std::shared_ptr<SimBridge> bridge, std::uint64_t generation)
        : volumes_(volumes), bridge_(std::move(bridge)), gen_(generation) {}

    std::optional<DiskGeometry> geometry() override { return BridgeGeometry(*bridge_, gen_); }

    IoResult read(std::uint64_t offset, std::span<std::uint8_t> buffer) override {
        return transfer(offset, buffer.data(), buffer.size(), false);
    }
    IoResult write(std::uint64_t offset, std::span<const std::uint8_t> buffer) override {
        return transfer(offset, const_cast<std::uint8_t*>(buffer.data()), buffer.size(), true);
    }
    ScsiResult execute(const ScsiRequest& request) override {
        return bridge_->execute(request, gen_);
    }
    std::optional<StorageDeviceNumber> deviceNumber() override {
        return bridge_->deviceNumber(gen_);
    }

    bool createDisk(PartitionStyle style, std::uint32_t signature) override {
        const auto g = geometry();
        return g && CreateEmptyTable(*this, *g, style, signature, Guid{});
    }
    std::optional<DriveLayout> layout() override {
        const auto g = geometry();
        return g ? ReadDriveLayout(*this, *g) : std::nullopt;
    }
    bool setLayout(const DriveLayout& l) override {
        const auto g = geometry();
        return g && WriteDriveLayout(*this, *g, l);
    }
    bool updateProperties() override {
        if (!bridge_->present() || bridge_->generation() != gen_)
            return false;
        volumes_.rescanDisk(bridge_->storageNumber());
        return true;
    }

    std::uint32_t number() const { return bridge_->storageNumber(); }

  private:
    IoResult transfer(std::uint64_t offset, std::uint8_t* p, std::size_t n, bool write) {
        IoResult r;
        SimDrive* d = DiskDrive(*bridge_);
        const std::uint32_t b = d ? d->sectorSize() : 512;
        if (reinterpret_cast<std::uintptr_t>(p) % b || offset % b || n % b) {
            r.error = syserr::kInvalidParameter;
            return r;
        }
        if (write)
            volumes_.diskWritten(bridge_->storageNumber());
        return BridgeTransfer(*bridge_, gen_, b, offset / b, p, n, write);
    }

    SimVolumes& volumes_;
    std::shared_ptr<SimBridge> bridge_;
    std::uint64_t gen_;
};

std::vector<std::string> Words(std::string_view line) {
    std::vector<std::string> out;
    std::string w;
    for (char c : line) {
        if (c == ' ' || c == '\t') {
            if (!w.empty())
                out.push_back(std::move(w));
            w.clear();
        } else {
            w.push_back(c);
        }
    }
    if (!w.empty())
        out.push_back(std::move(w));
    return out;
}

std::optional<std::uint32_t> Number(std::string_view s) {
    std::uint32_t v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size())
        return std::nullopt;
    return v;
}

// The partitions the tool numbers, in table order.
std::vector<PartitionInfo> Listed(const DriveLayout& l) {
    std::vector<PartitionInfo> out;
    for (const auto& p : l.partitions) {
        if ((l.style == PartitionStyle::Mbr && p.mbrType != 0) || l.style == PartitionStyle::Gpt)
            out.push_back(p);
    }
    return out;
}

std::uint64_t AlignUp(std::uint64_t v, std::uint64_t unit) {
    return (v + unit - 1) / unit * unit;
}

// "format fs=NTFS label="TEXT" quick unit=4096", '=' with or without spaces around it.
struct FormatArgs {
    std::string fs;
    std::string label;
    std::uint32_t unit = 0;
    bool quick = false;
};

std::optional<FormatArgs> ParseFormat(std::string_view line) {
    FormatArgs a;
    std::string rest(line.substr(6));  // after "format"
    // The label first: the text between the quotes after "label =".
    const std::string lower = ToLower(rest);
    const auto at = lower.find("label");
    if (at != std::string::npos) {
        auto eq = rest.find_first_not_of(" \t", at + 5);
        if (eq == std::string::npos || rest[eq] != '=')
            return std::nullopt;
        auto q = rest.find_first_not_of(" \t", eq + 1);
        if (q == std::string::npos)
            return std::nullopt;
        std::size_t end = 0;
        if (rest[q] == '"') {
            end = rest.find('"', q + 1);
            if (end == std::string::npos)
                return std::nullopt;
            a.label = rest.substr(q + 1, end - q - 1);
            ++end;
        } else {
            end = rest.find_first_of(" \t", q);
            if (end == std::string::npos)
                end = rest.size();
            a.label = rest.substr(q, end - q);
        }
        rest.erase(at, end - at);
    }
    // The rest: name=value words, "=" possibly set apart by spaces.
    std::string joined;
    for (const auto& w : Words(rest)) {
        if (w == "=" || w.front() == '=' || (!joined.empty() && joined.back() == '='))
            joined += w;
        else
            joined += (joined.empty() ? "" : " ") + w;
    }
    for (const auto& w : Words(joined)) {
        const std::string lw = ToLower(w);
        if (lw == "quick") {
            a.quick = true;
        } else if (lw.starts_with("fs=")) {
            a.fs = w.substr(3);
        } else if (lw.starts_with("unit=")) {
            const auto n = Number(lw.substr(5));
            if (!n)
                return std::nullopt;
            a.unit = *n;
        } else {
            return std::nullopt;
        }
    }
    if (a.fs.empty())
        return std::nullopt;
    return a;
}

}  // namespace

SimDisks::SimDisks(SimScsi& scsi, SimVolumes& volumes) : scsi_(scsi), volumes_(volumes) {}

std::unique_ptr<Disk> SimDisks::openDisk(std::string_view path, std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) -> std::unique_ptr<Disk> {
        if (error)
            *error = code;
        return nullptr;
    };
    auto bridge = scsi_.find(path);
    if (!bridge)
        return fail(syserr::kFileNotFound);
    const auto gen = bridge->attach();
    if (!gen)
        return fail(syserr::kFileNotFound);
    if (!DiskDrive(*bridge))
        return fail(syserr::kNotSupported);  // no disk behind it (none, or an optical drive)
    if (error)
        *error = 0;
    return std::make_unique<SimDisk>(volumes_, std::move(bridge), *gen);
}

std::unique_ptr<Disk> SimDisks::openImage(std::string_view path, std::uint32_t bytesPerSector,
                                          std::uint32_t* error) {
    return OpenImageDisk(std::filesystem::path(std::string(path)), bytesPerSector, error);
}

bool SimDisks::partitionToolAvailable() {
    return toolAvailable_;
}

void SimDisks::setPartitionToolAvailable(bool available) {
    toolAvailable_ = available;
}

int SimDisks::runPartitionTool(const std::vector<std::string>& script, std::uint32_t* error) {
    if (!toolAvailable_) {
        if (error)
            *error = syserr::kFileNotFound;
        return -1;
    }
    if (error)
        *error = 0;
    std::unique_ptr<SimDisk> disk;
    std::optional<PartitionInfo> partition;

    auto current = [&]() -> std::optional<DriveLayout> { return disk->layout(); };
    auto wipe = [&](std::uint64_t offset, std::uint64_t bytes) {
        AlignedBuffer zero(static_cast<std::size_t>(bytes));
        return disk->write(offset, zero.span()).ok;
    };

    for (const std::string& raw : script) {
        const std::string line(Trim(raw));
        if (line.empty())
            continue;
        const auto w = Words(ToLower(line));
        if (w.size() == 1 && w[0] == "rescan") {
            volumes_.rescanAll();
        } else if (w.size() == 3 && w[0] == "select" && w[1] == "disk") {
            const auto n = Number(w[2]);
            auto bridge = n ? volumes_.bridgeOf(*n) : nullptr;
            auto gen = bridge ? bridge->attach() : std::nullopt;
            if (!gen || !DiskDrive(*bridge))
                return kToolBadArgument;
            disk = std::make_unique<SimDisk>(volumes_, bridge, *gen);
            partition.reset();
        } else if (w.size() == 3 && w[0] == "select" && w[1] == "partition") {
            const auto n = Number(w[2]);
            if (!disk || !n)
                return kToolBadArgument;
            const auto l = current();
            if (!l)
                return kToolFailed;
            const auto list = Listed(*l);
            if (*n == 0 || *n > list.size())
                return kToolBadArgument;
            partition = list[*n - 1];
        } else if (w.size() == 1 && w[0] == "clean") {
            if (!disk)
                return kToolBadArgument;
            const auto g = disk->geometry();
            if (!g)
                return kToolFailed;
            const std::uint64_t span =
                std::min(kMiB, g->totalBytes / 2 / g->bytesPerSector * g->bytesPerSector);
            if (!wipe(0, span) || !wipe(g->totalBytes - span, span))
                return kToolFailed;
            partition.reset();
            volumes_.rescanDisk(disk->number());
        } else if (w.size() == 2 && w[0] == "convert" && w[1] == "gpt") {
            if (!disk)
                return kToolBadArgument;
            const auto g = disk->geometry();
            const auto l = current();
            if (!g || !l || !Listed(*l).empty())
                return kToolFailed;  // only an empty disk converts
            // The reserved partition ends at 16 MiB.
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
            if (!disk->createDisk(PartitionStyle::Gpt, 0) || !disk->setLayout(gpt))
                return kToolFailed;
            partition.reset();
            volumes_.rescanDisk(disk->number());
        } else if (w.size() == 3 && w[0] == "create" && w[1] == "partition" && w[2] == "primary") {
            if (!disk)
                return kToolBadArgument;
            const auto g = disk->geometry();
            auto l = current();
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
            for (const auto& p : Listed(*l))
                start = std::max(start, p.startingOffset + p.length);
            start = AlignUp(start, kMiB);
            const std::uint64_t end = gpt ? (GptLastUsable(sectors, b) + 1) * b
                                          : std::min<std::uint64_t>(sectors, 0xFFFFFFFFull) * b;
            if (start + kMiB > end)
                return kToolFailed;  // no room
            PartitionInfo p;
            p.style = l->style;
            p.startingOffset = start;
            p.length = end - start;
            p.rewritePartition = true;
            if (gpt) {
                p.gptType = kGptBasicDataType;
                p.gptId = NewGuid();
                p.gptName = "Basic data partition";
                l->partitions.push_back(p);
            } else {
                auto slot = std::find_if(l->partitions.begin(), l->partitions.end(),
                                         [](const PartitionInfo& e) { return e.mbrType == 0; });
                if (slot == l->partitions.end())
                    return kToolFailed;
                p.mbrType = 0x06;  // no file system yet
                *slot = p;
            }
            if (!disk->setLayout(*l))
                return kToolFailed;
            partition = p;
            volumes_.rescanDisk(disk->number());
        } else if (w[0] == "format") {
            const auto args = ParseFormat(line);
            if (!args)
                return kToolSyntax;
            if (!disk || !partition)
                return kToolBadArgument;
            if (volumes_.formatPartition(disk->number(), partition->startingOffset, args->fs,
                                         args->label, args->unit) != 0)
                return kToolFailed;
        } else if (w.size() == 1 && w[0] == "assign") {
            if (!disk || !partition)
                return kToolBadArgument;
            if (!volumes_.assign(disk->number(), partition->startingOffset))
                return kToolFailed;
        } else {
            return kToolSyntax;
        }
    }
    return kToolOk;
}

}  // namespace vq::sim
