// The station's own procedures behind the worker's steps and the run's preparation: the
// configuration writers and firmware updaters of the bridge layer, and what the emulated
// or real platform offers for drives and volumes.
#pragma once

#include <array>
#include <cstdint>

#include "bridge/FirmwareImage.h"
#include "bridge/Transport.h"
#include "run/RunDriver.h"
#include "run/Worker.h"

namespace vq {

class SettingsPanel;
class VolumeService;

// Every step procedure the station has; the others stay unset (their steps fail with
// "... is not available on this station").
// `volumes` is the platform's volume service (null: none).
StepProcedures StationStepProcedures(VolumeService* volumes = nullptr);
// The preparation of a run: the EEPROM type applied to the working ConfigImage with the
// VID and PID (defaults 0x7E8A and 0x2 followed by the model number).
RunProcedures StationRunProcedures(SettingsPanel& panel);

// The firmware version check: the six version bytes the bridge reports (identification
// answer bytes 6, 7, 12 to 15) against the version record of the image, which follows the
// model text at the kind's probe offset (offset + 8 to + 13).
bool FirmwareVersionMatches(const bridge::Target& t, std::uint8_t kind,
                            const bridge::FirmwareImage& image);

// The device's ConfigImage: the working image with the three USB strings of the settings
// copy written at the layout's positions (one byte a character for the parallel-flash
// models and the compact type, UTF-16 otherwise); kinds 14 to 18 without a product string
// get "USB to ATA/ATAPI Bridge"; the compact type with "Map to HDD String" sets byte 12 to
// '2'.
ConfigImage DeviceConfigImage(const RunSettings& s, std::uint8_t kind);

}  // namespace vq
