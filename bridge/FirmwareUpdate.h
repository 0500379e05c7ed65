// Writing a firmware image into a bridge: into its serial flash, its parallel flash, the
// serial flash it shares with its configuration block, or the reserved area of the
// attached disk from which the bridge loads it. Every procedure verifies what it wrote and
// stops at the first command that fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"
#include "bridge/ConfigImage.h"
#include "bridge/FirmwareImage.h"
#include "bridge/Transport.h"
#include "bridge/UpdateContext.h"

namespace vq::bridge {

inline constexpr const char* kFirmwareUpdateNotSupported =
    "This device not support Firmware Update!";

// Dispatches by kind: 1 to 6, 15, 16 and 18 to the serial flash, 7 to the disk, 30 and 35
// to the parallel flash; every other kind shows kFirmwareUpdateNotSupported ("Error").
bool UpdateFirmware(const Target& t, ChipKind kind, std::uint8_t parallelFlashType,
                    const FirmwareImage& firmware, const UpdateContext& ctx = {});

// Whether UpdateFirmware can update a kind.
bool UpdateFirmwareSupports(ChipKind kind);

bool UpdateSerialFlash(const Target& t, const FirmwareImage& firmware,
                       const UpdateContext& ctx = {});
bool UpdateParallelFlash(const Target& t, std::uint8_t parallelFlashType,
                         const FirmwareImage& firmware, const UpdateContext& ctx = {});

// Kind 9: the serial flash holds a 4096-byte configuration block followed by the firmware.
// `config` is the 128-byte block the EEPROM update puts in.
bool UpdateCombinedFlash(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                         const ConfigImage& config, const FirmwareImage& firmware,
                         const UpdateContext& ctx = {});

// ---- The disk's reserved area (kinds 7 and 8) -----------------------------------------

// Where the bridge's disk-resident data lives on the attached drive. All LBAs are 64-bit.
struct ReservedArea {
    std::uint32_t sectorSize = 512;
    std::uint64_t sectorCount = 0;  // N, from the drive's identify data
    bool chipFlag = false;          // ReadChipInfo byte 17 = 1
    std::uint64_t start = 0;        // R, the reserved-area start
    bool fromRecord = false;        // R taken from a previous firmware area's pointer record
};

// Reads the identify data, the chip flag, the capacity and (when a previous firmware area
// is marked) the pointer record. nullopt when a command failed or the record's pointer
// lies outside the reserved area.
std::optional<ReservedArea> ReadReservedArea(const Target& t, ChipKind kind);

// The sector the firmware area starts at: (R, less one when the chip flag is clear, with
// its low 8 bits cleared) less 256; nullopt when that would lie below LBA 0.
std::optional<std::uint64_t> DiskFirmwareTarget(const ReservedArea& area);

// Writes the firmware (kind 8: the built-in image "VQB418FW"; kind 7: `firmware`) with the
// pointer record at offset 150 into the reserved area, reads it back and compares.
bool WriteDiskResidentFirmware(const Target& t, ChipKind kind, const FirmwareImage& firmware,
                               const UpdateContext& ctx = {});

// The 65536-byte disk firmware area: the image, the pointer record 0x55, R (4 bytes,
// big-endian), 0xAA at 150, zeros after the image.
std::vector<std::uint8_t> DiskFirmwareArea(ConstBytes image, std::uint64_t reservedStart);

}  // namespace vq::bridge
