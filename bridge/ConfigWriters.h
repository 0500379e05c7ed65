// The procedures that write a bridge's configuration block into the part that keeps it:
// a separate EEPROM, the reserved area of the serial flash next to the firmware, the
// parallel flash, the bridge's memory space (where configuration and firmware share one
// image), or a sector of the attached disk. Each one writes, reads back and compares, and
// answers true only when the part holds exactly what was meant; each stops at the first
// command that fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"
#include "bridge/ConfigImage.h"
#include "bridge/FirmwareImage.h"
#include "bridge/FlashDetect.h"
#include "bridge/Transport.h"
#include "bridge/UpdateContext.h"

namespace vq::bridge {

// ---- Where the configuration lives --------------------------------------------------

// Whether a bridge of this kind keeps its configuration in its serial flash; removes the
// flash's write protection on the parts that need it. `firmwareLength` is the length of the
// run's firmware image (0 when none): an image longer than 0x8000 bytes leaves no room for
// the configuration on the first-generation kinds. Without `unprotect` nothing is written
// to the board (for a read of its configuration).
bool ConfigInFlash(ChipKind kind, const Target& t, std::size_t firmwareLength,
                   bool unprotect = true);

// Write enable, then clear the status register (block protection bits); true when both
// commands succeeded and both status polls ended in time.
bool UnprotectSerialFlash(const Target& t);

// The first three identification bytes of the serial flash (opcode 0x9F through raw
// transactions); false when a command failed.
bool ReadJedecId(const Target& t, std::array<std::uint8_t, 4>& id);

// ---- EEPROM ---------------------------------------------------------------------------

// Writes the 128-byte block at 0, repeating the write until one succeeds or `retry`
// writes were sent (0 counts as 1), then reads it back and compares.
bool WriteEeprom(const Target& t, const ConfigImage& image, int retry);

// Whether a writable EEPROM answers: two test patterns at bytes 120-121, each read back,
// then the original block written back.
bool TestEeprom(const Target& t);

// ---- Serial flash (firmware at 0 to 0x7FFF, configuration at 0x8000) ------------------

// Whether the word-program sequence is needed: FlashType 4 with a 0xBF, 0x25 part.
bool NeedsWordProgram(const Target& t, FlashType flashType);

// Programs one page through the auto-address-increment word program (runs of at most
// 8192 bytes, 512-byte blocks).
bool WordProgramPage(const Target& t, std::uint32_t address, ConstBytes page);

bool WriteSerialFlashConfig(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                            const ConfigImage& config, const FirmwareImage& firmware,
                            bool wordProgram);

// ---- Parallel flash (kinds 30 and 35) -------------------------------------------------

// The configuration values of the parallel-flash image, as the settings hold them.
struct ParallelFlashConfig {
    std::string vid;  // hexadecimal text
    std::string pid;
    std::string manufacturer;
    std::string product;
    std::string serial;
    bool inquiryFromManufacturer = false;  // INQUIRY vendor and product from the manufacturer text
};

inline constexpr std::size_t kParallelFlashSize = 65536;
inline constexpr const char* kParallelDefaultProduct = "USB to ATA/ATAPI bridge";

// Puts the configuration fields into a 65536-byte parallel-flash image.
void PutParallelFlashFields(const ParallelFlashConfig& values, Bytes flash);
// Copies the configuration fields of one image into another.
void CopyParallelFlashFields(ConstBytes from, Bytes to);

bool WriteParallelFlashConfig(const Target& t, bool eepromUpdate, bool firmwareUpdate,
                              const ParallelFlashConfig& values, std::uint8_t parallelFlashType,
                              const FirmwareImage& firmware);

// ---- Memory image (kinds 11, 12, 13, 19, 20) ------------------------------------------

// The CRC-16 of the kind 19 and 20 images: polynomial 0x1021, initial value 0, most
// significant bit first, over 32-bit little-endian words fed from their most significant
// nibble down. `bytes` is taken in whole words.
std::uint16_t ImageCrc16(ConstBytes bytes);

// The FlashType the memory writer programs for (Service23Read byte + 2, or probe A).
FlashType MemoryFlashType(ChipKind kind, const Target& t);

// Writes `image` at flash address `base` with WriteMemory in chunks (the first of 4096
// bytes, then 8192) cut at the erase units of the flash type, each chunk that starts a
// unit carrying the erase `mode`; then reads it back and compares. One attempt.
bool WriteMemoryAt(const Target& t, FlashType type, std::uint8_t mode, std::uint32_t base,
                   ConstBytes image, const UpdateContext& ctx = {});

// Writes `image` (rounded up to 512 bytes) with WriteMemory and verifies it, in up to three
// attempts with the erase modes of the flash type. With `probe` the flash type is
// determined first; otherwise `flashType` is used as given.
bool WriteVerifyMemory(const Target& t, ChipKind kind, ConstBytes image, bool probe,
                       FlashType flashType = kNoFlash, const UpdateContext& ctx = {});

// Configuration and firmware as one image: `configBlock` is 128 bytes (kinds 11 to 13) or
// 256 bytes (kinds 19, 20). `productRevision` (4 characters) goes to offset 136 for kinds
// 11 to 13 with the EEPROM-update flag. `serialForm` writes with the serial-flash commands
// of the older steps of kinds 11 to 13.
bool WriteMemoryImage(const Target& t, ChipKind kind, bool eepromUpdate, bool firmwareUpdate,
                      ConstBytes configBlock, std::string_view productRevision,
                      const FirmwareImage& firmware, bool serialForm = false,
                      const UpdateContext& ctx = {});

// The image WriteMemoryImage writes, before the write (for tests and the command line):
// false when the current contents could not be read.
bool BuildMemoryImage(const Target& t, ChipKind kind, bool eepromUpdate, bool firmwareUpdate,
                      ConstBytes configBlock, std::string_view productRevision,
                      const FirmwareImage& firmware, bool serialForm,
                      std::vector<std::uint8_t>& image);

// ---- Disk-resident configuration (kinds 7 and 8 without an EEPROM) ------------------------

// The configuration sector: the 0x56 0x51 pattern at 0-127 and 256-383, the block (with
// bit 5 of byte 124 set) at 128 and 384, the first 512 bytes repeated at the end of a
// 1024- or 4096-byte sector.
std::vector<std::uint8_t> DiskConfigSector(const ConfigImage& config, std::uint32_t sectorSize);

bool WriteDiskResidentConfig(const Target& t, const ConfigImage& config, ChipKind kind);

}  // namespace vq::bridge
