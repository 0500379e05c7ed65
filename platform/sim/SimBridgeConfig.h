// Everything that describes one emulated bridge board: the chip, the parts fitted on the
// board, the drives behind it, its timing and its faults. Plain data with defaults, so a
// scenario file can fill it field by field.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vq::sim {

// The drive in one position (master or slave) behind the bridge.
struct DriveConfig {
    bool packet = false;  // ATAPI (IDENTIFY PACKET DEVICE) rather than ATA
    std::string model = "VQ Emulated Disk";
    std::string serial = "VQSIM0000001";
    std::string firmwareRevision = "1.00";
    std::uint64_t sectors = 1'000'000;  // logical sectors the drive reports
    // Sectors above the reported ones (a host protected area): only the raw ATA
    // pass-through reaches them. Unset: 1024 behind kinds 7 and 8, which keep their
    // reserved area there, 0 elsewhere. They live in the image file beyond the reported
    // capacity, so they persist with it.
    std::optional<std::uint64_t> hiddenSectors;
    std::uint32_t logicalSectorSize = 512;  // 512, or larger (4096) for advanced drives
    // The sparse image file of the sectors; empty: a file in the emulator's work folder.
    std::filesystem::path image;
    bool smartFailing = false;          // SMART RETURN STATUS reports a threshold exceeded
    double megabytesPerSecond = 120.0;  // media rate of reads and writes
};

// The identity the bridge shows on the USB bus.
struct UsbIdentity {
    std::uint16_t vid = 0x7E8A;
    std::uint16_t pid = 0x2429;
    std::string manufacturer = "Velmora";
    std::string product = "USB to ATA/ATAPI bridge";
    std::string serial = "000000000001";

    bool operator==(const UsbIdentity&) const = default;
};

// How long the device takes, in emulated time.
struct BridgeTiming {
    std::uint32_t commandUs = 120;           // one command round trip on the bus
    double busMegabytesPerSecond = 35.0;     // data phase, MiB/s (the port's bus rate)
    std::uint32_t flashBlockEraseMs = 60;    // 32 KiB or 64 KiB block
    std::uint32_t flashSectorEraseMs = 40;   // erase sector
    std::uint32_t flashChipEraseMs = 1500;   // whole serial flash
    std::uint32_t flashPageProgramUs = 700;  // per 256-byte page
    std::uint32_t flashStatusWriteMs = 10;   // status register write
    std::uint32_t flashReadyLimitMs = 3000;  // longest the bridge waits for a busy flash
    std::uint32_t parallelEraseMs = 500;     // 64 KiB parallel flash
    std::uint32_t parallelProgramUsPerByte = 20;
    std::uint32_t eepromWriteMs = 5;    // per 8-byte EEPROM page
    std::uint32_t resetDelayMs = 1500;  // off the bus after a reset or activation
    std::uint32_t modeSwitchMs = 100;   // ModeControl switch
    // How long the board keeps running (and answering) after its port power is switched
    // off, on the charge of its supply.
    std::uint32_t powerOffMs = 0;
};

// One planned fault. `command` names a command kind (see CommandKindName), "" or "any"
// for every kind; n counts commands of that kind from 1.
struct FaultSpec {
    enum class Type : std::uint8_t {
        FailCommand,        // the n-th command of the kind answers CHECK CONDITION (and
                            // `times` - 1 after it; times 0: every one from the n-th on)
        Timeout,            // the n-th command (and so on, as FailCommand) never answers:
                            // the host gives up at its own time-out, in emulated time
        CorruptProgram,     // the byte programmed at `address` is stored with `mask` XORed
        StayBusy,           // the serial and parallel flash stay busy from the n-th command on
        NoReturn,           // after the next reset or activation the device never comes back
        VanishMidTransfer,  // the device leaves the bus in the data phase of the n-th command
        OutOfSpace,         // drive writes fail once an image would need more than `bytes`
                            // of host storage
        OtherIdentity,      // from the next reset or activation on (once the n-th command
                            // was seen) the board returns with `vid`, `pid`, `serial` where
                            // set instead of what its configuration holds (nothing set:
                            // the product ID plus 1)
        CorruptSector,      // byte `address` of drive sector `lba`, when written through the
                            // bridge, is stored with `mask` XORed
    };
    Type type = Type::FailCommand;
    std::string command;
    std::uint32_t n = 1;
    std::uint32_t times = 1;
    std::uint32_t address = 0;
    std::uint8_t mask = 0x01;
    std::uint64_t bytes = 0;
    std::uint64_t lba = 0;
    std::optional<std::uint16_t> vid{}, pid{};
    std::optional<std::string> serial{};
};

// Register bits wired to fixed levels on a board: they read `value` whatever was written.
struct RegisterStrap {
    std::uint16_t address = 0;
    std::uint8_t mask = 0;
    std::uint8_t value = 0;
};

struct BridgeConfig {
    std::uint8_t kind = 14;     // ChipKind 1 to 35
    std::uint8_t revision = 1;  // chip revision: IdentifyBridge byte 11 is '0' + revision
    std::optional<DriveConfig> master = DriveConfig{};
    std::optional<DriveConfig> slave;

    // Firmware. With firmwarePresent and blank storage the board comes with a factory
    // image (MakeFirmwareImage) in its firmware area; whether firmware runs is decided
    // from the storage at every boot.
    bool firmwarePresent = true;
    // IdentifyBridge bytes 6, 7, 12, 13, 14, 15 while firmware runs (for the later
    // families bytes 6 and 7 are state bytes and only 12-15 are taken from here).
    std::array<std::uint8_t, 6> firmwareVersion{2, 10, 3, 4, 5, 6};

    // Parts on the board; unset fields take the chip's defaults.
    std::optional<bool> hasEeprom;            // else the profile's default
    std::optional<std::uint8_t> flashType;    // serial flash family (3 to 20, 255 none)
    std::uint32_t flashSize = 0;              // 0: the profile's default
    bool flashProtected = false;              // block protection bits set at power-on
    std::optional<std::uint8_t> service23;    // Service23Read byte 0; else derived
    std::vector<std::uint8_t> eeprom;         // initial EEPROM (up to 128 bytes)
    std::vector<std::uint8_t> flashImage;     // initial serial flash from 0
    std::vector<std::uint8_t> parallelImage;  // initial parallel flash from 0
    std::uint8_t parallelFlashType = 0;       // 0, 1 or 2: the unlock sequence it takes

    // Identification details.
    std::optional<std::uint16_t> chipWord;  // else bits 5-6 from the profile
    std::optional<std::uint8_t> stepCode;   // ReadChipInfo byte 8
    std::uint8_t extraStepCode = 0;         // ReadChipInfo byte 18
    std::uint8_t chipFlag = 0;              // ReadChipInfo byte 17
    std::uint8_t diskFirmwareMark = 0;      // ReadChipInfo byte 16
    std::uint8_t romVersion = 0;            // later families: IdentifyBridge byte 7 in ROM
    std::uint8_t modeByte = 0;              // ModeControl k = 0 answer
    // Registers preset at power-on (address, bytes), after the chip's own defaults.
    std::vector<std::pair<std::uint16_t, std::vector<std::uint8_t>>> registers;
    std::vector<RegisterStrap> straps;  // e.g. bit 0 of 0x506A on some boards of kind 13

    // The identity shown while the held configuration is blank or unreadable.
    UsbIdentity defaultIdentity;
    std::string inquiryVendor = "VQ";
    std::string inquiryProduct = "USB Bridge";

    BridgeTiming timing;
    std::vector<FaultSpec> faults;
    std::size_t traceLimit = 65536;  // most recent command blocks kept
};

}  // namespace vq::sim
