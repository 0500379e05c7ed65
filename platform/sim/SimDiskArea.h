// The reserved area that the chips of kinds 7 and 8 keep at the top of their drive: the
// firmware they boot and, on boards without an EEPROM, the configuration they take.
//
// How the chip finds it (its boot code reads the drive through its raw ATA path, which
// reaches the hidden sectors above the capacity the drive reports):
// - N is the drive's reported sector count, c the chip flag (ReadChipInfo byte 17).
// - The candidates for the reserved-area start R, in order: the pointer record in the
//   sector at LBA N (0x55 at 150, R big-endian at 151-154, 0xAA at 155; the 32 bits are
//   taken nearest N), then c + N - 1 (where a first install puts it), then N + 257 (where
//   it goes when the area is marked but the record is blank).
// - For each R the firmware area is 65536 bytes from T = ((R - 1 + c) with its low 8 bits
//   cleared) - 256. It boots when it carries the pointer record 0x55 R 0xAA at 150 and a
//   firmware for the chip: kind 7 the boot block 0x55 0xAA 0x56 0x51 with the chip number
//   at 0x4000 (its version record at 0x4008), kind 8 the built-in image "VQB418FW" in its
//   first 32768 bytes (bytes 150-155 excepted). The first R with such an area wins.
// - The configuration sector is the sector at R: 0x56 0x51 repeated over bytes 0-127 and
//   the 128-byte block at 128 with bit 5 of its byte 124 set, or the same again at 256 and
//   384. It is taken from the R the firmware booted from, else from the first candidate
//   whose sector holds one.
// - After booting from an area the chip keeps the pointer record in the sector at LBA N
//   (unless that sector is R itself or lies inside the firmware area), so that the area is
//   found there from then on.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace vq::sim {

class SimDrive;

struct DiskArea {
    std::optional<std::uint64_t> firmwareStart;  // R of the area the firmware boots from
    std::uint64_t firmwareAt = 0;                // T of that area
    std::array<std::uint8_t, 6> version{};       // kind 7: the boot block's version record
    std::vector<std::uint8_t> config;            // the 128-byte block; empty: none found
};

constexpr std::uint32_t kDiskAreaBytes = 65536;
constexpr std::size_t kPointerRecordAt = 150;

// T for a reserved-area start R; nothing when it would lie below LBA 0.
std::optional<std::uint64_t> DiskFirmwareStart(std::uint64_t r, bool chipFlag);
// The R of a pointer record at byte 150 of `bytes`, widened to 64 bits nearest `near`.
std::optional<std::uint64_t> PointerRecord(std::span<const std::uint8_t> bytes, std::uint64_t near);
// Whether a 65536-byte area found at R carries firmware for the kind.
bool DiskFirmwareValid(std::uint8_t kind, std::span<const std::uint8_t> area, std::uint64_t r);
// The configuration block of a configuration sector, empty when it holds none.
std::vector<std::uint8_t> DiskConfigBlock(std::span<const std::uint8_t> sector);

// Looks for the area on a drive as the boot code does, and keeps the pointer record at
// LBA N up to date when firmware was found.
DiskArea FindDiskArea(SimDrive& drive, std::uint8_t kind, bool chipFlag);

}  // namespace vq::sim
