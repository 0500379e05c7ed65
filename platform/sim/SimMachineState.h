// The emulated machine's state between two runs of a program: what every board keeps
// across power, which boards are off the bus, which ports were unplugged and which hubs
// were switched off by hand. Drive images and volume folders are not in it: they are files
// of the machine's work folder already.
//
// The state file (little-endian; version 1):
//   0   8  "VQMSTATE"
//   8   4  format version (1)
//   12  4  length of the whole file in bytes
//   16  8  hash of the scenario the machine was built from (ScenarioHash)
//   24     u32 board count, then per board:
//            u32 storage number, u8 chip kind, u8 flags (bit 0: off the bus for good),
//            u8 port-power lines (register 0x7059), u8 serial flash protection bits,
//            image EEPROM, image serial flash, image parallel flash, text stored serial
//          u32 unplugged port count, then per port: text hub, u32 port
//          u32 switched hub count, then per hub: text hub, u8 power (0 off, 1 on)
//   end-4 4  CRC-32 (IEEE) of every byte before it
// An image is u32 size, u8 fill byte, u32 segment count and the segments (u32 offset, u32
// length, the bytes), in ascending order without overlap; bytes outside every segment are
// the fill byte, so erased flash takes no room. A text is u16 length and its bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/sim/SimBridge.h"

namespace vq::sim {

struct KeptBoard {
    std::uint32_t storageNumber = 0;  // the board's physical drive number
    std::uint8_t kind = 0;            // its chip kind, checked when it is put back
    BridgeKept kept;

    bool operator==(const KeptBoard&) const = default;
};

struct MachineState {
    std::uint64_t scenarioHash = 0;
    std::vector<KeptBoard> boards;
    std::vector<std::pair<std::string, std::uint32_t>> unplugged;  // hub id, port
    std::vector<std::pair<std::string, bool>> hubPower;            // hub id, powered

    bool operator==(const MachineState&) const = default;
};

inline constexpr std::uint32_t kMachineStateVersion = 1;
// Limits a state file is held to (anything beyond is refused as damaged).
inline constexpr std::uint32_t kMaxKeptImage = 16u << 20;   // one part's bytes
inline constexpr std::uint64_t kMaxKeptTotal = 256u << 20;  // all parts together
inline constexpr std::uint32_t kMaxKeptEntries = 4096;      // boards, ports, hubs

// A hash of the scenario file's text: a state made from other text is not used.
std::uint64_t ScenarioHash(std::string_view text);
// CRC-32 (IEEE 802.3, reflected, as zip uses it).
std::uint32_t StateChecksum(std::span<const std::uint8_t> bytes);

std::string EncodeMachineState(const MachineState& state);
// The state, or why the bytes are not a state file this program reads.
std::variant<MachineState, std::string> DecodeMachineState(std::span<const std::uint8_t> file);

}  // namespace vq::sim
