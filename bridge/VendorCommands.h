// Every command block the station sends to a bridge, one small operation each. Each one
// builds its block with fixed bytes, sends it through the transport and returns whether
// the transport judged it a success; answers land in the caller's buffer (whose size is
// the transfer length) even on failure, as the transport leaves them. Nothing here
// retries or waits except WaitFlashReady and WaitParallelFlashReady.
#pragma once

#include <array>
#include <cstdint>

#include "base/Bytes.h"
#include "bridge/Transport.h"

namespace vq::bridge {

// ---- ATA-register vendor commands (opcode 0xDF) --------------------------------------

bool ReadChipWord(const Target& t, std::uint16_t& word);  // the word is little-endian
// Register space of the bridge; out.size() bytes from addr (at most 0xFFFF).
bool ReadXdata(const Target& t, std::uint16_t addr, Bytes out);
bool WriteXdata(const Target& t, std::uint16_t addr, ConstBytes data);
// Flash/EEPROM space at a 24-bit address.
bool ReadMemory(const Target& t, std::uint32_t addr24, Bytes out);
// mode: 0 plain write; 1, 4 erase the sector; 2, 5 the block; 3, 6, 7 the whole chip
// first; bit 7 a flag of one flash family. Only bits 0-2 and 7 are sent.
bool WriteMemory(const Target& t, std::uint8_t mode, std::uint32_t addr24, ConstBytes data);

constexpr std::uint8_t kAtaMaster = 0xA0;
constexpr std::uint8_t kAtaSlave = 0xB0;
constexpr std::uint8_t kAtaIdentifyDevice = 0xEC;
constexpr std::uint8_t kAtaIdentifyPacketDevice = 0xA1;
// One identify block to one drive position (out: 512 bytes).
bool AtaIdentifyDrive(const Target& t, std::uint8_t device, std::uint8_t command, Bytes out);
// Identify data of the attached drive(s): the presence flags at register 0x720F choose the
// drive(s) and the command; the first drive is read first and the result is that of the
// last command sent (false when no drive is flagged).
bool AtaIdentify(const Target& t, Bytes out);
// SMART RETURN STATUS; true only when the answer byte is 0xC2.
bool AtaSmartStatus(const Target& t);

// ---- Bridge service commands (opcode 0xFF, byte 1 = 0x04) ----------------------------

bool ReadFlashBusy(const Target& t, std::uint8_t& busy);
bool ParallelFlashErase(const Target& t);
// Parallel flash types: 0 and 2 use the unlock bytes 0x55/0x2A, 1 uses 0x05/0x02; any other
// type sends the program block with bytes 3-11 zero.
bool ParallelFlashProgram(const Target& t, std::uint8_t flashType, ConstBytes image);
bool ParallelFlashRead(const Target& t, std::uint32_t addr32, Bytes out);
bool ParallelFlashSetup(const Target& t, std::uint8_t flashType);
bool ParallelFlashEnter(const Target& t);
bool Service0F(const Target& t, const std::array<std::uint8_t, 4>& values, std::uint16_t arg);
bool SerialFlashRead(const Target& t, std::uint32_t addr24, Bytes out);
bool SerialFlashWrite(const Target& t, std::uint32_t addr24, ConstBytes data);
bool SerialFlashStatus(const Target& t, std::uint8_t& status);
bool SerialFlashChipErase(const Target& t);
bool SerialFlashEraseBlock(const Target& t, std::uint32_t addr24);
// out.size() (3 or 4) identification bytes read with flash opcode op.
bool SerialFlashReadId(const Target& t, std::uint8_t op, bool threeAddressBytes, Bytes out);
// A raw serial-flash transaction: args are block bytes 3 onward (at most 9: count of bytes
// clocked out, data-phase flag, flash opcode, then address or data bytes); data, when
// given, goes out with the block.
bool SpiCommand(const Target& t, ConstBytes args, ConstBytes data = {});
bool SpiRead(const Target& t, Bytes out);
bool SpiWrite(const Target& t, ConstBytes data);  // at most 255 bytes
bool Service23Read(const Target& t, Bytes out4);
// Two bytes selected by a five-byte descriptor; its bytes 0, 1, 2 and 4 are sent.
bool ReadConfigWord(const Target& t, const std::array<std::uint8_t, 5>& descriptor, Bytes out2);
bool ReadConfigWordAt(const Target& t, std::uint32_t a, Bytes out2);
bool Service25(const Target& t);
bool ResetBridge(const Target& t);
bool ReadSubRevision(const Target& t, Bytes out);  // 40 bytes as a rule
bool ReadChipInfo(const Target& t, Bytes out);     // n = out.size() (at most 255)
// Standby time in minutes; enabled only when `enStandbyTime` is on and the time nonzero.
bool SetStandbyTimer(const Target& t, std::uint32_t minutes, bool enStandbyTime);
// k = 2 request the switch, 3 poll (1 = done), 1 finish, 0 read the mode byte.
bool ModeControl(const Target& t, std::uint8_t k, std::uint8_t& answer);
bool ModeControlSetValue(const Target& t, std::uint8_t value);  // k = 5, no data
bool Service56(const Target& t);

// ---- Identification (opcode 0xE0) ---------------------------------------------------

// Valid only when the answer starts with F4 E7.
bool IdentifyBridge(const Target& t, Bytes out, std::uint32_t* transferred = nullptr);
bool IsIdentifyAnswer(ConstBytes answer);

// ---- Standard SCSI and ATA pass-through ----------------------------------------------

bool Inquiry(const Target& t, Bytes out);  // n = out.size() (at most 255)
bool InquiryVpdC3(const Target& t, Bytes out);
// Block length 512 when the command fails.
bool ReadCapacity10(const Target& t, std::uint32_t& lastLba, std::uint32_t& blockLength);
bool ReadCapacity16(const Target& t, std::uint64_t& lastLba, std::uint32_t& blockLength);
// READ CAPACITY(10) on an open handle; block length 512 when it fails.
bool ReadCapacity10(const Transport& tr, ScsiDevice& handle, std::uint32_t& lastLba,
                    std::uint32_t& blockLength);
// Sector transfers on an open handle; the block count is data.size() / blockLength.
bool Read10(const Transport& tr, ScsiDevice& handle, std::uint32_t lba, std::uint32_t blockLength,
            Bytes data);
bool Write10(const Transport& tr, ScsiDevice& handle, std::uint32_t lba, std::uint32_t blockLength,
             ConstBytes data);
// Raw sector transfers through the ATA pass-through; count sectors at a 48-bit LBA.
bool AtaReadDmaExt(const Target& t, std::uint64_t lba, std::uint16_t count, Bytes data);
bool AtaWriteDmaExt(const Target& t, std::uint64_t lba, std::uint16_t count, ConstBytes data);
bool AtaFlushCache(const Target& t);
bool AtaIdentifyPassThrough(const Target& t, Bytes out512);
bool ModeSensePowerPage(const Target& t, Bytes out);
bool ModeSelectPowerPage(const Target& t, std::uint32_t minutes, bool enStandbyTime);
bool ReadBuffer(const Target& t, std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                Bytes out);
// Mode 0x0F carries only the mode and sends no data.
bool WriteBuffer(const Target& t, std::uint8_t mode, std::uint8_t id, std::uint32_t offset,
                 ConstBytes data);
bool VendorBlockC3(const Target& t, std::uint16_t a, std::uint16_t b, ConstBytes block72);

// ---- Waits ----------------------------------------------------------------------------

// Polls SerialFlashStatus bit 0 every 10 ms; false when still busy after 500 re-reads.
// A failed status read counts as not busy.
bool WaitFlashReady(const Target& t);
// Polls ReadFlashBusy every 10 ms while it fails or answers 1; false after 50000 tries.
bool WaitParallelFlashReady(const Target& t);

}  // namespace vq::bridge
