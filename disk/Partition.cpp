#include "disk/Partition.h"

#include <algorithm>

#include "base/AlignedBuffer.h"
#include "base/Format.h"
#include "base/Text.h"
#include "disk/MasterBootRecord.h"
#include "platform/VolumeService.h"

namespace vq::disk {

namespace {

constexpr std::uint32_t kZeroWriteTries = 5;
constexpr std::uint32_t kZeroWritePauseMs = 300;
constexpr int kLetterAttempts = 101;
constexpr std::uint32_t kGptDataPartition = 2;

std::unique_ptr<Disk> OpenDisk(const DiskContext& ctx, std::string_view path) {
    if (ctx.platform.disks == nullptr)
        return nullptr;
    return ctx.platform.disks->openDisk(path);
}

// The disk opened for one of the MBR procedures, with its geometry and the partition
// entry the geometry gives; null when any of them cannot be had.
std::unique_ptr<Disk> OpenForMbr(const DiskContext& ctx, std::string_view path,
                                 DiskGeometry& geometry, PartitionInfo& entry) {
    auto disk = OpenDisk(ctx, path);
    const auto g = disk ? disk->geometry() : std::nullopt;
    if (!g || !MbrPartitionEntry(*g, entry))
        return nullptr;
    geometry = *g;
    return disk;
}

// The disk's layout as read back, with the entry as its first partition.
std::optional<DriveLayout> LayoutWithEntry(Disk& disk, const PartitionInfo& entry) {
    auto layout = disk.layout();
    if (!layout)
        return std::nullopt;
    if (layout->partitions.empty())
        layout->partitions.resize(4);
    layout->partitions[0] = entry;
    return layout;
}

// One sector of the disk (at least 512 bytes) filled from `content`, zero beyond it.
AlignedBuffer SectorWith(std::uint32_t bytesPerSector, ConstBytes content) {
    AlignedBuffer sector(std::max<std::size_t>(bytesPerSector, 512));
    std::copy(content.begin(), content.end(), sector.data());
    return sector;
}

}  // namespace

std::vector<std::string> RescanScript() {
    return {"rescan"};
}

std::vector<std::string> GptCleanScript(std::int64_t diskNumber) {
    return {Format("select disk %d", diskNumber), "clean"};
}

std::vector<std::string> GptConvertScript(std::int64_t diskNumber) {
    return {Format("select disk %d", diskNumber), "Convert GPT", "create partition Primary"};
}

std::vector<std::string> GptAssignScript(std::int64_t diskNumber) {
    return {Format("select disk %d", diskNumber), "select partition 2", "assign"};
}

std::string ScriptText(const std::vector<std::string>& script) {
    std::string text;
    for (const auto& line : script)
        text += line + "\r\n";
    return text;
}

bool MbrPartitionEntry(const DiskGeometry& g, PartitionInfo& entry) {
    const std::uint64_t wholeCylinders =
        g.cylinders * g.tracksPerCylinder * g.sectorsPerTrack * g.bytesPerSector;
    const std::uint64_t start = kPartitionStartSector * g.bytesPerSector;
    // A disk of less than one track would give a negative length, a partition that wraps
    // round to the end of the address space.
    if (wholeCylinders <= start)
        return false;
    entry.style = PartitionStyle::Mbr;
    entry.startingOffset = start;
    entry.length = wholeCylinders - start;
    entry.partitionNumber = 1;
    entry.mbrType = kPartitionTypeNtfs;
    entry.bootIndicator = false;
    entry.recognizedPartition = true;
    entry.rewritePartition = true;
    entry.hiddenSectors = 0;
    return true;
}

int PartitionMbr(const DiskContext& ctx, std::string_view diskPath) {
    DiskGeometry g;
    PartitionInfo entry;
    auto disk = OpenForMbr(ctx, diskPath, g, entry);
    if (!disk)
        return 0;

    // Wipe the old volume's boot sector where the new partition starts. The outcome does
    // not stop the procedure: the partition table write decides.
    const AlignedBuffer zeros = SectorWith(g.bytesPerSector, {});
    for (std::uint32_t i = 0; i < kZeroWriteTries; ++i) {
        if (disk->write(entry.startingOffset, zeros.span()).ok)
            break;
        if (i + 1 < kZeroWriteTries)
            ctx.sleepMs(kZeroWritePauseMs);
    }

    if (!disk->createDisk(PartitionStyle::Mbr, 0))
        return 0;
    auto layout = LayoutWithEntry(*disk, entry);
    if (!layout)
        return 0;
    layout->style = PartitionStyle::Mbr;
    bool ok = disk->setLayout(*layout);
    ok = disk->updateProperties() && ok;
    ok = disk->updateProperties() && ok;
    return ok ? 1 : 0;
}

int PartitionMbrLegacy(const DiskContext& ctx, std::string_view diskPath) {
    DiskGeometry g;
    PartitionInfo entry;
    auto disk = OpenForMbr(ctx, diskPath, g, entry);
    if (!disk)
        return 0;

    const auto& mbr = BuiltInMasterBootRecord();
    const AlignedBuffer sector = SectorWith(g.bytesPerSector, mbr);
    const IoResult written = disk->write(0, sector.span());
    if (!written.ok || written.bytes < mbr.size())
        return 0;

    const auto layout = LayoutWithEntry(*disk, entry);
    return layout && disk->setLayout(*layout) ? 1 : 0;
}

int PartitionGpt(const DiskContext& ctx, std::string_view diskPath) {
    auto disk = OpenDisk(ctx, diskPath);
    if (!disk)
        return 0;
    // Without the partitioning tool nothing would be partitioned: that is a failure, not
    // the success of the property refresh below.
    if (ctx.platform.disks->partitionToolAvailable() == false) {
        ctx.debug("PartitionGpt: the partitioning tool is missing\n");
        return 0;
    }
    const auto number = disk->deviceNumber();
    if (!number) {
        ctx.debug("PartitionGpt: the disk number cannot be read\n");
        return 0;
    }
    const std::int64_t n = number->deviceNumber;
    for (const auto& script : {GptCleanScript(n), GptConvertScript(n), GptAssignScript(n)}) {
        if (RunDiskpartScript(ctx, script) != 0)
            return 0;
    }
    bool ok = disk->updateProperties();
    ok = disk->updateProperties() && ok;
    if (!ok)
        return 0;
    // The tool's exit codes are its own word; the layout shows what it did.
    const auto layout = disk->layout();
    const bool partitioned =
        layout && layout->style == PartitionStyle::Gpt &&
        std::any_of(layout->partitions.begin(), layout->partitions.end(),
                    [](const PartitionInfo& p) {
                        return p.partitionNumber == kGptDataPartition && p.length > 0;
                    });
    if (!partitioned)
        ctx.debug("PartitionGpt: the disk has no GPT data partition afterwards\n");
    return partitioned ? 1 : 0;
}

int RunDiskpartScript(const DiskContext& ctx, const std::vector<std::string>& script,
                      bool takePortLock, std::uint32_t* error) {
    if (ctx.platform.disks == nullptr) {
        if (error)
            *error = syserr::kFileNotFound;
        return -1;
    }
    if (!takePortLock)
        return ctx.platform.disks->runPartitionTool(script, error);
    LockHolder hold(ctx.portLock);
    return ctx.platform.disks->runPartitionTool(script, error);
}

int RescanDisks(const DiskContext& ctx) {
    if (ctx.platform.disks == nullptr || !ctx.platform.disks->partitionToolAvailable())
        return 0;
    const int first = RunDiskpartScript(ctx, RescanScript());
    if (first == -1)
        return 0;
    if (first == 0 && RunDiskpartScript(ctx, RescanScript()) == -1)
        return 0;
    return 1;
}

int FindDiskDriveLetter(const DiskContext& ctx, std::string_view diskPath, char& letter) {
    VolumeService* volumes = ctx.platform.volumes;
    if (volumes == nullptr)
        return 0;
    const std::uint32_t mask = volumes->logicalDriveMask();
    bridge::Target disk{ctx.transport, std::string(diskPath)};
    StorageDeviceNumber diskNumber;
    if (!bridge::QueryDeviceNumber(disk, diskNumber))
        return 0;
    const char system = ToUpperAscii(volumes->systemDriveLetter());
    for (int i = 0; i < 26; ++i) {
        const char c = static_cast<char>('A' + i);
        if ((mask & (1u << i)) == 0 || c == system)
            continue;
        StorageDeviceNumber n;
        const bridge::Target volume{ctx.transport, volumes->volumeDevicePath(c)};
        if (bridge::QueryDeviceNumber(volume, n) && n.deviceType == diskNumber.deviceType &&
            n.deviceNumber == diskNumber.deviceNumber) {
            letter = c;
            return 1;
        }
    }
    return 0;
}

std::uint64_t DiskSizeMB(const DiskContext& ctx, std::string_view path) {
    auto disk = OpenDisk(ctx, path);
    if (!disk)
        return 0;
    const auto g = disk->geometry();
    if (!g)
        return 0;
    return (g->cylinders * g->tracksPerCylinder * g->sectorsPerTrack * g->bytesPerSector) >> 20;
}

PartitionProcedure ChoosePartitionProcedure(bool windows2000, bool gpt) {
    if (windows2000)
        return PartitionProcedure::MbrLegacy;
    return gpt ? PartitionProcedure::Gpt : PartitionProcedure::Mbr;
}

int RunPartitionProcedure(const DiskContext& ctx, PartitionProcedure procedure,
                          std::string_view diskPath) {
    switch (procedure) {
        case PartitionProcedure::MbrLegacy:
            return PartitionMbrLegacy(ctx, diskPath);
        case PartitionProcedure::Gpt:
            return PartitionGpt(ctx, diskPath);
        case PartitionProcedure::Mbr:
            break;
    }
    return PartitionMbr(ctx, diskPath);
}

bool WaitForDiskDriveLetter(const DiskContext& ctx, std::string_view diskPath, int port,
                            char& letter) {
    for (int attempt = 1; attempt <= kLetterAttempts; ++attempt) {
        ctx.sleepMs(1000);
        if (FindDiskDriveLetter(ctx, diskPath, letter))
            return true;
        ctx.debug(Format("%d Port : GetDiskLetter Fail %d times!!\n", port, attempt));
    }
    return false;
}

bool PartitionStep(const DiskContext& ctx, PartitionProcedure procedure, std::string_view diskPath,
                   int port, char& letter) {
    if (!RunPartitionProcedure(ctx, procedure, diskPath))
        return false;
    return WaitForDiskDriveLetter(ctx, diskPath, port, letter);
}

}  // namespace vq::disk
