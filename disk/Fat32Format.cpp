#include "disk/Fat32Format.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "base/AlignedBuffer.h"
#include "base/Format.h"
#include "bridge/VendorCommands.h"
#include "platform/Clock.h"

namespace vq::disk {

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::uint32_t kFsInfoSector = 1;
constexpr std::uint32_t kBackupBootSector = 6;
constexpr std::uint8_t kMedia = 0xF8;
constexpr std::uint8_t kAttrVolumeLabel = 0x08;

// The volume's own handle as a pass-through device: commands on it carry disk blocks.
class BlockDeviceScsi final : public ScsiDevice {
  public:
    explicit BlockDeviceScsi(BlockDevice& device) : device_(device) {}
    ScsiResult execute(const ScsiRequest& request) override { return device_.execute(request); }
    std::optional<StorageDeviceNumber> deviceNumber() override { return device_.deviceNumber(); }

  private:
    BlockDevice& device_;
};

// IOCTL_DISK_VERIFY as the disk driver sends it: VERIFY(10) over a range of disk blocks.
bool VerifyBlocks(const DiskContext& ctx, BlockDevice& volume, std::uint64_t firstBlock,
                  std::uint64_t blocks) {
    if (blocks == 0 || blocks > 0xFFFF || firstBlock + blocks > 0xFFFFFFFFull)
        return false;
    std::array<std::uint8_t, 10> cdb{0x2F};
    PutBE32(cdb, 2, static_cast<std::uint32_t>(firstBlock));
    PutBE16(cdb, 7, static_cast<std::uint16_t>(blocks));
    ScsiRequest request;
    request.cdb = cdb;
    request.direction = DataDirection::None;
    request.timeoutSeconds = ctx.transport.settings().scsiTimeout;
    const ScsiResult r = volume.execute(request);
    return r.callSucceeded && r.scsiStatus == 0;
}

// Verifies a byte range of the volume; a failing range is verified again in halves while
// a half is more than 64 KiB. Failures never stop the format.
void VerifyRange(const DiskContext& ctx, BlockDevice& volume, std::uint64_t partitionStart,
                 std::uint64_t offset, std::uint64_t length, std::uint32_t bytesPerSector) {
    if (VerifyBlocks(ctx, volume, (partitionStart + offset) / bytesPerSector,
                     length / bytesPerSector))
        return;
    const std::uint64_t half = length / 2 / bytesPerSector * bytesPerSector;
    if (half <= 64 * 1024)
        return;
    VerifyRange(ctx, volume, partitionStart, offset, half, bytesPerSector);
    VerifyRange(ctx, volume, partitionStart, offset + half, length - half, bytesPerSector);
}

// Closes what an attempt opened on the way out, whatever the outcome.
class VolumeUnlocker {
  public:
    explicit VolumeUnlocker(Volume& v) : v_(v) {}
    ~VolumeUnlocker() {
        if (armed_)
            v_.unlock();
    }
    void disarm() { armed_ = false; }

  private:
    Volume& v_;
    bool armed_ = true;
};

}  // namespace

std::uint32_t Fat32SectorsPerCluster(std::uint64_t partitionBytes, std::uint32_t bytesPerSector,
                                     std::uint32_t clusterBytes) {
    std::uint32_t spc = 1;
    if (clusterBytes != 0) {
        spc = std::max<std::uint32_t>(clusterBytes / bytesPerSector, 1);
    } else {
        const std::uint64_t mib = partitionBytes / kMiB;
        std::uint32_t kib = 0;
        if (mib > 32768)
            kib = 32;
        else if (mib > 16384)
            kib = 16;
        else if (mib > 8192)
            kib = 8;
        else if (mib > 512)
            kib = 4;
        spc = kib == 0 ? 1 : std::max<std::uint32_t>(kib * 1024 / bytesPerSector, 1);
    }
    if (bytesPerSector == 4096)
        spc = 128;
    return spc;
}

Fat32Plan PlanFat32(std::uint64_t partitionBytes, std::uint32_t bytesPerSector,
                    std::uint32_t clusterBytes, Fat32Layout& layout) {
    const std::uint64_t total = partitionBytes / bytesPerSector;
    if (total < kFat32MinSectors)
        return Fat32Plan::TooSmall;
    if (total >= kFat32MaxSectors)
        return Fat32Plan::TooBig;
    layout.bytesPerSector = bytesPerSector;
    layout.totalSectors = static_cast<std::uint32_t>(total);
    layout.sectorsPerCluster = Fat32SectorsPerCluster(partitionBytes, bytesPerSector, clusterBytes);
    // The field is one byte and FAT clusters are powers of two: 3,000-byte clusters or
    // 256 sectors would give a volume no system can read.
    if (layout.sectorsPerCluster > 128 || !std::has_single_bit(layout.sectorsPerCluster))
        return Fat32Plan::BadClusterSize;

    const std::uint64_t spc = layout.sectorsPerCluster;
    const std::uint64_t usable = total - layout.reservedSectors;
    std::uint64_t fatSize = (4 * usable) / (spc * bytesPerSector + 4 * layout.fats) + 1;
    std::uint64_t clusters = (usable - layout.fats * fatSize) / spc;
    // The FAT also holds the two reserved entries (clusters 0 and 1); for some sizes the
    // estimate leaves no room for the last cluster's entry. One more sector then.
    if ((clusters + 2) * 4 > fatSize * bytesPerSector) {
        ++fatSize;
        clusters = (usable - layout.fats * fatSize) / spc;
    }
    layout.fatSize = static_cast<std::uint32_t>(fatSize);
    if (clusters > kFat32MaxClusters)
        return Fat32Plan::TooManyClusters;
    layout.clusters = static_cast<std::uint32_t>(clusters);
    const std::uint64_t needed = (clusters * 4 + bytesPerSector - 1) / bytesPerSector;
    if (needed > fatSize)
        return Fat32Plan::FatTooSmall;
    return Fat32Plan::Ok;
}

std::uint32_t Fat32VolumeId(const LocalTime& t) {
    const std::uint32_t lo = static_cast<std::uint32_t>((t.month * 256 + t.day) +
                                                        (t.second * 256 + t.milliseconds / 10)) &
                             0xFFFF;
    const std::uint32_t hi =
        static_cast<std::uint32_t>((t.hour * 256 + t.minute) + t.year) & 0xFFFF;
    return (hi << 16) | lo;
}

std::string LabelField(std::string_view label) {
    std::string field(label.substr(0, 11));
    field.resize(11, ' ');
    return field;
}

void BuildFat32BootSector(const Fat32Layout& l, std::string_view label, Bytes out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    out[0] = 0xEB;
    out[1] = 0x5A;
    out[2] = 0x90;
    std::memcpy(&out[3], "MSWIN4.1", 8);
    PutLE16(out, 11, static_cast<std::uint16_t>(l.bytesPerSector));
    out[13] = static_cast<std::uint8_t>(l.sectorsPerCluster);
    PutLE16(out, 14, static_cast<std::uint16_t>(l.reservedSectors));
    out[16] = static_cast<std::uint8_t>(l.fats);
    PutLE16(out, 17, 0);  // root entries
    PutLE16(out, 19, 0);  // 16-bit total
    out[21] = kMedia;
    PutLE16(out, 22, 0);  // 16-bit FAT size
    PutLE16(out, 24, l.sectorsPerTrack);
    PutLE16(out, 26, l.heads);
    PutLE32(out, 28, l.hiddenSectors);
    PutLE32(out, 32, l.totalSectors);
    PutLE32(out, 36, l.fatSize);
    PutLE16(out, 40, 0);  // extended flags: both FATs mirrored
    PutLE16(out, 42, 0);  // version 0.0
    PutLE32(out, 44, kFat32RootCluster);
    PutLE16(out, 48, static_cast<std::uint16_t>(kFsInfoSector));
    PutLE16(out, 50, static_cast<std::uint16_t>(kBackupBootSector));
    out[64] = 0x80;  // drive number
    out[66] = 0x29;  // extended boot signature
    PutLE32(out, 67, l.volumeId);
    const std::string field = label.empty() ? std::string("NO NAME    ") : LabelField(label);
    std::memcpy(&out[71], field.data(), 11);
    std::memcpy(&out[82], "FAT32   ", 8);
    out[510] = 0x55;
    out[511] = 0xAA;
    if (out.size() != 512) {
        out[out.size() - 2] = 0x55;
        out[out.size() - 1] = 0xAA;
    }
}

void BuildFat32FsInfo(const Fat32Layout& l, Bytes out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutLE32(out, 0, 0x41615252);
    PutLE32(out, 484, 0x61417272);
    PutLE32(out, 488, l.clusters - 1);  // all free but the root cluster
    PutLE32(out, 492, 3);               // next free cluster
    PutLE32(out, 508, 0xAA550000);
}

void BuildFat32FirstFatSector(Bytes out) {
    std::fill(out.begin(), out.end(), std::uint8_t{0});
    PutLE32(out, 0, 0x0FFFFFF8);  // cluster 0: the media byte
    PutLE32(out, 4, 0x0FFFFFFF);  // cluster 1
    PutLE32(out, 8, 0x0FFFFFFF);  // the root cluster, one cluster long
}

int WriteVolumeLabelEntry(const DiskContext& ctx, BlockDevice& volume, std::string_view label,
                          std::uint32_t block) {
    BlockDeviceScsi handle(volume);
    std::uint32_t lastLba = 0;
    std::uint32_t blockLength = 512;
    if (!bridge::ReadCapacity10(ctx.transport, handle, lastLba, blockLength) || blockLength == 0)
        blockLength = 512;
    AlignedBuffer buffer(blockLength);
    if (!bridge::Read10(ctx.transport, handle, block, blockLength, buffer.span()))
        return 0;
    const std::string field = LabelField(label);
    std::memcpy(buffer.data(), field.data(), 11);
    buffer.data()[11] = kAttrVolumeLabel;
    return bridge::Write10(ctx.transport, handle, block, blockLength, buffer.span()) ? 1 : 0;
}

int FormatFat32Volume(const DiskContext& ctx, Volume& volume, char letter,
                      std::uint32_t clusterBytes, std::string_view label, bool quick) {
    ctx.out(
        Format("Warning ALL data on drive '%c' will be lost irretrievably, are you sure\n(y/n) :",
               letter));
    if (!volume.lock()) {
        ctx.debug("Failed to lock device while formating FAT32");
        return 0;
    }
    VolumeUnlocker unlockOnFailure(volume);
    const auto geometry = volume.geometry();
    if (!geometry || geometry->bytesPerSector < 512 ||
        !std::has_single_bit(geometry->bytesPerSector)) {
        ctx.debug("Failed to get device geometry");
        return 0;
    }
    const auto partition = volume.partitionInfo();
    if (!partition) {
        ctx.debug("Failed to get parition info");
        return 0;
    }
    const std::uint32_t bytesPerSector = geometry->bytesPerSector;

    // Sizes are judged before anything is written: a volume the formatter refuses keeps
    // what it holds.
    Fat32Layout l;
    const Fat32Plan plan = PlanFat32(partition->length, bytesPerSector, clusterBytes, l);
    if (plan == Fat32Plan::TooSmall) {
        ctx.out("This drive is too small for FAT32 - there must be at least 64K clusters\n");
        return 0;
    }
    if (plan == Fat32Plan::TooBig) {
        ctx.out("This drive is too big for FAT32 - max 2TB supported\n");
        return 0;
    }

    if (!quick) {
        for (std::uint64_t offset = 0; offset < partition->length; offset += kVerifyPieceBytes) {
            const std::uint64_t piece =
                std::min<std::uint64_t>(kVerifyPieceBytes, partition->length - offset);
            VerifyRange(ctx, volume, partition->startingOffset, offset, piece, bytesPerSector);
        }
    }

    AlignedBuffer bootSector(bytesPerSector);
    AlignedBuffer fsInfo(bytesPerSector);
    AlignedBuffer firstFat(bytesPerSector);
    if (bootSector.data() == nullptr || fsInfo.data() == nullptr || firstFat.data() == nullptr) {
        ctx.debug("Failed to allocate memory");
        return 0;
    }

    if (plan == Fat32Plan::BadClusterSize) {
        ctx.out(
            Format("Cluster size %u bytes is not a power of two number of sectors up to "
                   "128 for %u-byte sectors\n",
                   clusterBytes, bytesPerSector));
        return 0;
    }
    l.sectorsPerTrack = static_cast<std::uint16_t>(geometry->sectorsPerTrack);
    l.heads = static_cast<std::uint16_t>(geometry->tracksPerCylinder);
    l.hiddenSectors = partition->style == PartitionStyle::Mbr
                          ? partition->hiddenSectors
                          : static_cast<std::uint32_t>(partition->startingOffset / bytesPerSector);
    l.volumeId = Fat32VolumeId(ctx.now());

    ctx.out(Format("Size : %gGB %u sectors\n",
                   static_cast<double>(partition->length) / 1000000000.0, l.totalSectors));
    ctx.out(Format("%d Bytes Per Sector, Cluster size %d bytes\n", bytesPerSector,
                   l.sectorsPerCluster * bytesPerSector));
    ctx.out(Format("Volume ID is %x:%x\n", l.volumeId >> 16, l.volumeId & 0xFFFF));
    ctx.out(Format("%d Reserved Sectors, %d Sectors per FAT, %d fats\n", l.reservedSectors,
                   l.fatSize, l.fats));

    if (plan == Fat32Plan::TooManyClusters) {
        ctx.out("This drive has more than 2^28 clusters, try to specify a larger cluster size\n");
        return 0;
    }
    if (plan == Fat32Plan::FatTooSmall) {
        ctx.out("This drive is too big for this version of fat32format, check for an upgrade\n");
        return 0;
    }
    ctx.out(Format("%d Total clusters\n", l.clusters));
    ctx.out(Format("%d Free Clusters\n", l.clusters - 1));

    BuildFat32BootSector(l, label, bootSector.span());
    BuildFat32FsInfo(l, fsInfo.span());
    BuildFat32FirstFatSector(firstFat.span());

    ctx.out(Format("Formatting drive %c:...\n", letter));
    // The reserved area, both FATs and the root cluster are really written: the old FAT of
    // a disk must be gone, whatever the device would answer for unwritten blocks.
    const std::uint64_t cleared = l.clearedSectors();
    ctx.out(Format("Clearing out %d sectors for Reserved sectors, fats and root cluster...\n",
                   cleared));
    bool written = true;
    {
        const std::uint64_t requestSectors = kZeroRequestSectors;
        AlignedBuffer zeros(requestSectors * bytesPerSector);
        Clock* clock = ctx.platform.clock;
        const std::int64_t start = clock ? clock->perfCounter() : 0;
        for (std::uint64_t s = 0; s < cleared; s += requestSectors) {
            const std::uint64_t n = std::min(requestSectors, cleared - s);
            if (!volume.write(s * bytesPerSector, zeros.span().first(n * bytesPerSector)).ok) {
                ctx.debug("zero_sectors Failed to write");
                written = false;
            }
        }
        const std::int64_t ticks = clock ? clock->perfCounter() - start : 0;
        const std::int64_t frequency = clock ? clock->perfFrequency() : 0;
        const double seconds =
            frequency > 0 ? static_cast<double>(ticks) / static_cast<double>(frequency) : 0.0;
        const std::uint64_t bytes = cleared * bytesPerSector;
        ctx.out(Format("Wrote %I64d bytes in %g seconds, %f bytes/sec\n", bytes, seconds,
                       seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0));
    }

    ctx.out("Initialising reserved sectors and FATs...\n");
    auto writeSector = [&](std::uint64_t sector, const AlignedBuffer& data) {
        if (!volume.write(sector * bytesPerSector, data.span()).ok) {
            ctx.debug("write_sect Failed to write");
            written = false;
        }
    };
    writeSector(0, bootSector);
    writeSector(kFsInfoSector, fsInfo);
    writeSector(kBackupBootSector, bootSector);
    writeSector(kBackupBootSector + kFsInfoSector, fsInfo);
    for (std::uint32_t i = 0; i < l.fats; ++i)
        writeSector(l.reservedSectors + static_cast<std::uint64_t>(i) * l.fatSize, firstFat);
    // A volume whose structures did not all reach the disk is not formatted, whatever the
    // rest of the attempt does; the caller tries again.
    if (!written)
        ctx.debug("Failed to write the FAT32 structures");

    if (partition->style == PartitionStyle::Mbr && !volume.setMbrType(0x0C)) {
        ctx.debug("Failed to set parition info");
        return 0;
    }

    const std::uint64_t rootBlock =
        partition->startingOffset / bytesPerSector + l.firstDataSector();
    // Without a label there is no label entry: one of eleven spaces is no valid label.
    if (!label.empty() && rootBlock <= 0xFFFFFFFFull)
        WriteVolumeLabelEntry(ctx, volume, label, static_cast<std::uint32_t>(rootBlock));

    if (!volume.dismount()) {
        ctx.debug("Failed to dismount device");
        return 0;
    }
    unlockOnFailure.disarm();
    if (!volume.unlock())
        ctx.debug("Failed to unlock device");
    ctx.out("Done");
    return written ? 1 : 0;
}

int FormatFat32(const DiskContext& ctx, char letter, std::uint32_t clusterBytes,
                std::string_view label, bool quick) {
    VolumeService* volumes = ctx.platform.volumes;
    if (volumes == nullptr)
        return 0;
    std::unique_ptr<Volume> volume;
    for (std::uint32_t attempt = 0; attempt < std::max<std::uint32_t>(ctx.hddAccessRetry, 1);
         ++attempt) {
        volume = volumes->openVolume(letter);
        if (volume)
            break;
        ctx.debug(Format("Failed to open device - close drive %c before formatting!!\n", letter));
        ctx.sleepMs(1000);
    }
    if (!volume)
        return 0;
    return FormatFat32Volume(ctx, *volume, letter, clusterBytes, label, quick);
}

}  // namespace vq::disk
