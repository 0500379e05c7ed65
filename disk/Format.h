// Formatting a port's volume: FAT32 with the station's own formatter, NTFS and exFAT with
// the system's formatter, the partitioning tool's format script as the fallback, the label,
// the volume queries after the format and the system's "format this disk?" prompt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/DiskContext.h"

namespace vq::disk {

// The file-system kinds, as the index of the format combo box (DiskFormat).
enum FileSystemIndex : int { kFsNtfs = 0, kFsFat32 = 1, kFsExFat = 2 };
// "NTFS", "FAT32", "exFAT"; null for any other index.
const char* FileSystemName(int index);

// Results of FormatVolume.
enum FormatResult : int {
    kFormatOk = 0,
    kFormatNotMade = -1,       // no format was made
    kFormatLabelTooLong = -2,  // system error 154 on FAT32
    kFormatNoVolumeInfo = -4,  // the volume information cannot be read afterwards
    kFormatNoSize = -5,        // the volume size cannot be read
    kFormatNoSerial = -6,      // the volume information cannot be read for the serial
    kFormatToolFailed = -7,    // the system formatter ended with a nonzero exit code
};

// The command-line formatter's unit text for a cluster size: "512", "4096", "8192", "16K",
// "32K", "64K"; empty for any other size (no unit is then given).
std::string_view FormatUnitText(std::uint32_t clusterBytes);
// Whether a label can be written into a script or batch file literally: none of
// " & | < > ^ % and no control character.
bool LabelSafeForScript(std::string_view label);

int FormatVolume(const DiskContext& ctx, char letter, bool quick, std::string_view label,
                 int fileSystem, std::uint32_t clusterBytes);

// The partitioning tool's format script for a disk and partition.
std::vector<std::string> DiskpartFormatScript(std::uint32_t diskNumber,
                                              std::uint32_t partitionNumber,
                                              std::string_view fileSystem, std::string_view label,
                                              std::uint32_t clusterBytes);
// Formats the partition the partitioning step made (1 on MBR disks, 2 on GPT disks) with
// the partitioning tool. Never disk 0. 1 or 0.
int FormatWithDiskpart(const DiskContext& ctx, std::string_view diskPath,
                       std::string_view fileSystem, std::string_view label,
                       std::uint32_t clusterBytes);

// Closes the system's prompt that offers to format a new disk; 1 when one was closed.
int CloseFormatPrompt(const DiskContext& ctx);
// Whether the system shows that prompt (Windows 7 and later).
bool ShowsFormatPrompt(const std::optional<OsVersion>& os);
// After a format on such a system: polls CloseFormatPrompt every 5 ms, at most 601 times,
// and stops at the first window closed. True when one was closed.
bool CloseFormatPromptAfterFormat(const DiskContext& ctx, const std::optional<OsVersion>& os);

// The worker's format step on a volume with a letter: FormatVolume, and on -7 the
// partitioning tool's format of the disk. True on success.
bool FormatStep(const DiskContext& ctx, char letter, std::string_view diskPath, int fileSystem,
                std::string_view label, std::uint32_t clusterBytes);

}  // namespace vq::disk
