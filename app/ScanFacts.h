// What a device scan found out about the attached bridges, as far as the settings panel
// cares: the device scan classifies the attached bridges by ChipKind and hands the facts to
// SettingsPanel::AdjustAfterScan.
#pragma once

#include <cstdint>
#include <vector>

namespace vq {

// One usable bridge of the scan, in slot order.
struct AttachedBridge {
    std::uint8_t chipKind = 0;
    std::uint8_t revision = 0;
    std::uint8_t speedClass = 255;  // 0 low .. 4 USB 3.1 Gen 2, 255 not determined
};

struct ScanFacts {
    int deviceCount = 0;
    std::uint16_t firstChipIdentity = 0;  // ChipKind | revision << 8 of the first bridge
    int modelCount = 0;                   // number of different ChipKinds
    bool runMayStart = false;             // the auto-start permission of the scan

    // The facts of the panel adjustments, with their initial values.
    bool typeChoiceAllowed = true;      // EEPROM type choice allowed
    bool type3Offered = true;           // "Type 3" offered
    bool firmwareGroupUsable = true;    // firmware group usable
    bool standbyTimerSupported = true;  // standby timer supported
    bool olderBridgesOnly = true;       // older bridges only
    bool usb3Bridge = false;            // a USB 3 bridge is attached
    bool opticalSizeBridge = false;     // a bridge that uses ODDSize
    bool driveStringBridge = false;     // a bridge that maps the drive's strings
    bool stringSourceBridge = false;    // a bridge with string-source controls
    bool parallelFlashBridge = false;   // a parallel-flash bridge (ChipKind 30, 35)
    bool otherBridge = false;           // a bridge that is not a parallel-flash one
    bool chipKind17or18 = false;        // a bridge of ChipKind 17 or 18
    bool diskStepsOff = false;          // a bridge of ChipKind 21 to 24
    bool usb3AllGen2 = false;           // every USB 3 bridge at the highest speed class
    bool usb3AllAboveUsb2 = false;      // every USB 3 bridge above USB 2 speed
};

// Classifies the usable bridges of a scan (in slot order). `eepromOnly` is the setting
// EEPROMOnly; `runMayStart` is passed through.
ScanFacts ClassifyScan(const std::vector<AttachedBridge>& bridges, bool eepromOnly,
                       bool runMayStart = false);

}  // namespace vq
