// The EEPROM and firmware stage of one board as a production run takes it: which writer the
// board's kind and storage call for, and the write itself. The combined route (one writer
// takes configuration and firmware together) serves the parallel-flash model and every
// kind that keeps its configuration in its firmware flash; the others take the firmware
// through UpdateFirmware and the configuration through the EEPROM (or the disk).
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "bridge/ChipIdentity.h"
#include "bridge/ConfigImage.h"
#include "bridge/ConfigWriters.h"
#include "bridge/FirmwareImage.h"
#include "bridge/FirmwareUpdate.h"
#include "bridge/FlashDetect.h"
#include "bridge/Transport.h"

namespace vq::bridge {

enum class Route {
    None,               // nothing to write, or a kind this stage does not write
    Eeprom,             // WriteEeprom (and UpdateFirmware for the firmware)
    DiskResident,       // WriteDiskResidentConfig after a failed TestEeprom (kinds 7, 8)
    SerialFlashConfig,  // WriteSerialFlashConfig
    ParallelFlash,      // WriteParallelFlashConfig
    CombinedFlash,      // UpdateCombinedFlash (kind 9)
    MemoryImage,        // WriteMemoryImage with the memory commands
    MemoryImageSerial,  // WriteMemoryImage with the serial-flash commands (older steps)
    LaterFamily,        // the manufacturing ROM path of kinds 21 to 29
};

const char* RouteName(Route route);

// One board's job, as the worker's settings copy and the device scan give it.
struct BoardJob {
    ChipKind kind = 0;
    bool eepromUpdate = false;
    bool firmwareUpdate = false;
    bool eepromOnly = false;                   // EEPROMOnly: no combined route
    ConfigImage config{};                      // the device's block, strings placed
    std::array<std::uint8_t, 256> extended{};  // kinds 19, 20: the 256-byte block
    ParallelFlashConfig parallel;              // kinds 30, 35
    std::uint8_t parallelFlashType = 0;
    std::string productRevision;     // kinds 11 to 13
    int eepromRetry = 1;             // EEPROMRetry
    bool eepromAtHdd = false;        // MPEEPROMAtHDD
    bool kestrinCustomer = false;    // MPKestrinCustomer: kind 8 also on the disk
    std::uint8_t usbSpeed = 255;     // the port's speed class
    FlashType flashType = kNoFlash;  // from the scan
    std::uint8_t chipStep = 0;       // kind 8
};

// The route the job takes on this board (asks ConfigInFlash, which may unprotect the flash,
// and for kinds 11 to 13 the register that tells the older steps).
Route ChooseRoute(const Target& t, const BoardJob& job, const FirmwareImage& firmware);

// The configuration write of the separate route. Kind 7, and kind 8 from chip step 48 on,
// first test the EEPROM; when it does not answer and MPEEPROMAtHDD is on, the
// configuration goes to the disk instead (`route` becomes DiskResident). Kind 8 in the
// customer mode (MPKestrinCustomer) writes the configuration to the disk as well and,
// when that succeeded, the built-in disk-resident firmware after it. True when every
// write was made and verified.
bool WriteBoardConfiguration(const Target& t, const BoardJob& job, const FirmwareImage& firmware,
                             const UpdateContext& ctx = {}, Route* route = nullptr);

// Runs the route; true when every write the job asks for was made and verified. `route`
// (when given) receives the route taken.
bool ProgramBoard(const Target& t, const BoardJob& job, const FirmwareImage& firmware,
                  const UpdateContext& ctx = {}, Route* route = nullptr);

}  // namespace vq::bridge
