// The first sector of a volume as the emulated system reads it to recognise a file system
// (FAT32, NTFS, exFAT), and the minimal one its own formatter writes. Only the fields the
// system looks at are read or written: the files themselves live in a host folder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vq::sim {

struct BootInfo {
    std::string fileSystem;  // "FAT32", "NTFS", "exFAT"
    std::uint32_t serial = 0;
    std::uint32_t clusterBytes = 0;
    std::uint64_t totalBytes = 0;  // the clusters the files can use
    std::uint64_t metaBytes = 0;   // of those, taken by the file system itself
    // FAT32: the root folder's first sector, counted from the volume's start.
    std::uint64_t rootSector = 0;
};

// Nullopt when the sector holds no file system the system knows (a RAW volume).
std::optional<BootInfo> ParseBootSector(std::span<const std::uint8_t> sector,
                                        std::uint32_t sectorSize, std::uint64_t volumeSectors);

// The default cluster size the system's formatter picks for a volume of `bytes`.
std::uint32_t DefaultClusterBytes(std::string_view fileSystem, std::uint64_t bytes);

// Whether the system's formatter takes this cluster size for the file system.
bool ValidClusterBytes(std::string_view fileSystem, std::uint32_t clusterBytes,
                       std::uint32_t sectorSize);

// The boot sector of a fresh file system; nullopt when the volume is too small or too
// large for it with this cluster size.
std::optional<std::vector<std::uint8_t>> BuildBootSector(
    std::string_view fileSystem, std::uint32_t sectorSize, std::uint64_t volumeSectors,
    std::uint64_t hiddenSectors, std::uint32_t clusterBytes, std::uint32_t serial);

// FAT32 label entry (11 characters, attribute 0x08) in a root-folder sector: the first
// one found, nullopt when there is none.
std::optional<std::string> FindFatLabel(std::span<const std::uint8_t> rootSector);
// Writes (or, for an empty label, deletes) the label entry in a root-folder sector;
// false when the sector has no free entry.
bool PutFatLabel(std::span<std::uint8_t> rootSector, std::string_view label);

}  // namespace vq::sim
