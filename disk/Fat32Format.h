// The station's own FAT32 formatter: boot sector and its backup, FSInfo and its backup,
// two FATs, the root cluster and the volume label entry, written straight to the volume.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "disk/DiskContext.h"
#include "platform/VolumeService.h"

namespace vq::disk {

inline constexpr std::uint32_t kFat32ReservedSectors = 32;
inline constexpr std::uint32_t kFat32Fats = 2;
inline constexpr std::uint32_t kFat32RootCluster = 2;
inline constexpr std::uint64_t kFat32MinSectors = 65536;
inline constexpr std::uint64_t kFat32MaxSectors = 0xFFFFFFFF;  // this many or more: too big
inline constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFFF;
inline constexpr std::uint32_t kVerifyPieceBytes = 16 * 1024 * 1024;
// The reserved area, the FATs and the root cluster are zeroed in requests of this many
// sectors.
inline constexpr std::uint32_t kZeroRequestSectors = 128;

// Where a FAT32 plan stops.
enum class Fat32Plan {
    Ok,
    TooSmall,         // fewer than 65,536 sectors
    TooBig,           // 2^32 - 1 sectors or more
    BadClusterSize,   // not a power of two of sectors, or more than 128 sectors
    TooManyClusters,  // more than 2^28 - 1 clusters
    FatTooSmall,      // the FAT cannot hold the clusters
};

// The numbers of a FAT32 volume.
struct Fat32Layout {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t reservedSectors = kFat32ReservedSectors;
    std::uint32_t fats = kFat32Fats;
    std::uint32_t fatSize = 0;  // sectors per FAT
    std::uint32_t totalSectors = 0;
    std::uint32_t clusters = 0;
    std::uint32_t hiddenSectors = 0;
    std::uint16_t sectorsPerTrack = 0;
    std::uint16_t heads = 0;
    std::uint32_t volumeId = 0;

    std::uint32_t firstDataSector() const { return reservedSectors + fats * fatSize; }
    // Sectors zeroed before the structures are written: reserved area, FATs, root cluster.
    std::uint32_t clearedSectors() const { return firstDataSector() + sectorsPerCluster; }
};

// Sectors per cluster: the given cluster size in sectors (at least 1), else by the
// partition's size; 128 on a disk of 4096-byte sectors whatever was chosen.
std::uint32_t Fat32SectorsPerCluster(std::uint64_t partitionBytes, std::uint32_t bytesPerSector,
                                     std::uint32_t clusterBytes);
// Plans the volume: sizes, cluster size, FAT size and cluster count.
Fat32Plan PlanFat32(std::uint64_t partitionBytes, std::uint32_t bytesPerSector,
                    std::uint32_t clusterBytes, Fat32Layout& layout);
// Volume serial number from the local time.
std::uint32_t Fat32VolumeId(const LocalTime& t);
// The 11 characters of a label field: the label's first 11 characters padded with spaces.
std::string LabelField(std::string_view label);

// The sectors the formatter writes (each out.size() == bytesPerSector, zero-filled first).
void BuildFat32BootSector(const Fat32Layout& layout, std::string_view label, Bytes out);
void BuildFat32FsInfo(const Fat32Layout& layout, Bytes out);
void BuildFat32FirstFatSector(Bytes out);

// Formats the volume of a drive letter: opens it (retrying) and formats it. 1 or 0.
int FormatFat32(const DiskContext& ctx, char letter, std::uint32_t clusterBytes,
                std::string_view label, bool quick);
// Formats an open volume; `letter` names it in the texts. 1 or 0.
int FormatFat32Volume(const DiskContext& ctx, Volume& volume, char letter,
                      std::uint32_t clusterBytes, std::string_view label, bool quick);
// Writes the volume-label entry (the label and attribute 0x08) at the start of a disk
// block through READ(10)/WRITE(10) on the open volume. 1 or 0.
int WriteVolumeLabelEntry(const DiskContext& ctx, BlockDevice& volume, std::string_view label,
                          std::uint32_t block);

}  // namespace vq::disk
