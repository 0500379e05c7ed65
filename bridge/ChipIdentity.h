// The first questions the station asks a bridge: which chip model and revision it is,
// which firmware it runs, whether a firmware for its model is present, and how large the
// drive behind it is.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bridge/Transport.h"

namespace vq::bridge {

// The chip model number used everywhere, 0 to 35 (0: not a supported bridge).
using ChipKind = std::uint8_t;
constexpr ChipKind kMaxChipKind = 35;
// Low byte the ChipKind, high byte the chip revision (0 when none was determined).
using ChipIdentity = std::uint16_t;

constexpr ChipIdentity MakeChipIdentity(ChipKind kind, std::uint8_t revision) {
    return static_cast<ChipIdentity>(kind | (revision << 8));
}
constexpr ChipKind KindOf(ChipIdentity id) {
    return static_cast<ChipKind>(id & 0xFF);
}
constexpr std::uint8_t RevisionOf(ChipIdentity id) {
    return static_cast<std::uint8_t>(id >> 8);
}

// The model's three-digit number ("424", ...), "No" for kind 0, "" beyond the table.
std::string_view ChipNumber(ChipKind kind);

ChipKind IdentifyChip(const Target& t);
ChipIdentity IdentifyChipWithRevision(const Target& t);
// Revision of kinds 8 and 17 from the chip information; 0 when the command fails.
std::uint8_t ReadChipStep(const Target& t);
// The firmware version text; true when IdentifyBridge succeeded, the text written only when
// its answer was valid.
bool FormatFirmwareVersion(ChipKind kind, const Target& t, std::string& text);
// Whether a firmware for this model sits in the bridge; `version` is the text made by
// FormatFirmwareVersion.
bool HasValidFirmware(const Target& t, ChipKind kind, std::string_view version);
// Capacity of the attached drive in MiB; from the drive geometry when identify fails,
// 0 when that fails too.
std::uint64_t ReadDriveCapacity(const Target& t, ChipKind kind);
// The same reckoning over 512 bytes of identify data.
std::uint64_t CapacityFromIdentify(ConstBytes identify);

}  // namespace vq::bridge
