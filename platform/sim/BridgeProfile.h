// What distinguishes one emulated bridge chip from another, as data: one row per ChipKind
// 1 to 35. The bridge model (SimBridge) reads only this table and the per-device
// BridgeConfig; there is no class per chip.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace vq::sim {

// Where a chip keeps the configuration its USB identity is decoded from at boot.
enum class ConfigStore : std::uint8_t {
    Eeprom,         // 128-byte EEPROM behind ReadMemory/WriteMemory at 0 (or serial flash
                    // at 0x8000 when the board has no EEPROM, see BridgeConfig::hasEeprom)
    SerialFlash,    // a 128-byte block in the serial flash at configOffset
    ImageStrings,   // string descriptors inside the firmware image (kinds 21 to 24)
    ParallelFlash,  // fields inside the 64 KiB parallel flash (kinds 30 and 35)
};

// Where the chip's firmware lives, which decides how its presence is found at boot.
enum class FirmwareHome : std::uint8_t {
    Rom,            // runs from ROM; firmware is always present
    SerialFlash,    // serial flash from firmwareOffset, read by the boot loader
    Buffers,        // later families: mask ROM, manufacturing program, firmware in flash
    ParallelFlash,  // parallel flash from 0
};

struct BridgeProfile {
    std::uint8_t kind = 0;
    const char* inquiryCode = nullptr;  // INQUIRY bytes 36-39; null: not carried
    const char* chipNumber = nullptr;   // three digits for IdentifyBridge bytes 8-10;
                                        // null: IdentifyBridge is not answered
    const char* subRevision = nullptr;  // ReadSubRevision text; null: not answered
    std::uint8_t chipWordBits = 0;      // bits 5-6 of the chip word
    std::uint8_t identifyLength = 16;   // bytes the IdentifyBridge answer carries
    std::uint8_t stepCode = 0;          // ReadChipInfo byte 8
    ConfigStore store = ConfigStore::Eeprom;
    FirmwareHome firmware = FirmwareHome::Rom;
    std::uint32_t firmwareOffset = 0;  // where the boot loader looks for an image
    std::uint8_t flashType = 255;      // serial flash family fitted by default, 255 none
    std::uint32_t flashSize = 0;
    std::uint32_t configOffset = 0;     // for ConfigStore::SerialFlash
    std::uint32_t mfgImageSize = 0;     // later families: size the mask ROM accepts
    std::uint8_t programState = 0;      // later families: descriptor state of a program
                                        // that accepts firmware (0x0C or 0x0A)
    std::uint32_t programCapacity = 0;  // later families: buffer capacity then
    std::uint8_t variant = 0;           // IdentifyBridge byte 5
    bool standardAta = false;           // answers the 12-byte ATA PASS-THROUGH IDENTIFY
    bool hasEeprom = false;             // an EEPROM is fitted by default
    // Version bytes 6, 7, 12, 13, 14, 15 of IdentifyBridge when no firmware runs.
    std::array<std::uint8_t, 6> bootVersion{};
};

// The row of a ChipKind; kinds outside 1 to 35 give the row of kind 0 (no chip answers).
const BridgeProfile& ProfileFor(std::uint8_t kind);

// Is the kind one of the later families that take firmware through the buffer commands?
inline bool IsLaterFamily(std::uint8_t kind) {
    return kind >= 21 && kind <= 29;
}

// How a serial flash family answers the identification opcodes. The answers are byte
// streams as the part clocks them out after the opcode (and after the three address
// bytes for 0x90 and 0xAB, which the part takes from whatever the bridge clocks).
struct FlashFamily {
    std::uint8_t flashType = 255;
    std::array<std::uint8_t, 3> jedec{};     // opcode 0x9F
    std::array<std::uint8_t, 2> rems{};      // opcode 0x90 after three address bytes
    std::uint8_t res = 0xFF;                 // opcode 0xAB after three address bytes
    std::array<std::uint8_t, 2> legacy15{};  // opcode 0x15
    bool wordProgram = false;                // takes AAI word programs (opcode 0xAD);
                                             // page program writes one byte only
    std::uint32_t blockSize = 65536;         // erase unit of WriteMemory block modes
    std::uint32_t sectorSize = 4096;         // erase unit of WriteMemory sector modes
};

// The family of a FlashType (3 to 20); other values give a part that answers 0xFF.
const FlashFamily& FlashFamilyFor(std::uint8_t flashType);

// A firmware image as the factory would have left it in a chip of this kind: a pattern
// with the model text and the signatures the chip's boot loader and identification use.
std::vector<std::uint8_t> MakeFirmwareImage(std::uint8_t kind, std::uint32_t length);

}  // namespace vq::sim
