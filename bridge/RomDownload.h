// Firmware download of the later bridge families (kinds 21 to 29) through the SCSI buffer
// commands. A bridge without firmware runs its mask ROM and takes a manufacturing program
// (a built-in image chosen by its identification) before the firmware; a bridge that runs
// firmware, or the manufacturing program, takes the firmware directly. Every download is
// read back and compared; activation (WriteBuffer mode 0x0F) is the caller's last step.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"
#include "bridge/LaterImage.h"
#include "bridge/Transport.h"

namespace vq::bridge {

// Buffer states of the descriptor.
inline constexpr std::uint8_t kBufferMaskRom = 0xFF;
inline constexpr std::uint8_t kBufferProgramFirst = 0x0C;  // kinds 21 to 24
inline constexpr std::uint8_t kBufferProgramLater = 0x0A;  // kinds 25 to 29

// Offset of the device setting block in the download buffer of kinds 21 to 24.
inline constexpr std::uint32_t kSettingBlockBufferOffset = 0x45000;

struct BufferDescriptor {
    std::uint8_t state = 0;
    std::uint32_t capacity = 0;  // bytes
};
// ReadBuffer mode 3 of 4 bytes: the state and the 24-bit capacity.
bool ReadBufferDescriptor(const Target& t, std::uint8_t bufferId, BufferDescriptor& d);

// What the station learns from IdentifyBridge before a download.
struct LaterBridgeState {
    ChipIdentity chip = 0;
    std::array<std::uint8_t, 16> identify{};  // the answer; zero when it was not valid
    bool identifyValid = false;
    bool romState = false;        // the bridge runs its mask ROM
    bool programRunning = false;  // the state pair reads 2, 0: the manufacturing program
};
// Reads the identification and decides the states. False only for kind 26 when the
// identification cannot be read (the download must not go on).
bool ReadLaterBridgeState(const Target& t, ChipIdentity chip, LaterBridgeState& state);

// Name of the built-in manufacturing program for the bridge; empty when there is none.
std::string_view ManufacturingImageName(ChipIdentity chip, ConstBytes identify);
// Size the mask ROM of the kind takes (0 for other kinds).
std::size_t ManufacturingImageSize(ChipKind kind);
// The program's bytes; nullopt when it is not built in or its size is not the expected one.
std::optional<std::span<const std::uint8_t>> LoadManufacturingImage(ChipIdentity chip,
                                                                    ConstBytes identify);

// Bytes of a read-back image that are compared, for the kind and the state before the
// download.
std::size_t CompareLength(ChipKind kind, const LaterBridgeState& state);
// Flash address of the configuration sector of kinds 25 to 29 (kind 26: 0xD000 unless the
// caller chose 0x1D000).
std::uint32_t DefaultConfigSector(ChipKind kind);
// Offset in the firmware image of the 512-byte configuration sector (kinds 25 to 29).
std::uint32_t ImageConfigOffset(ChipKind kind);

// One download job.
struct LaterDownload {
    LaterBridgeState state;
    bool firmwareUpdate = true;      // the source is the firmware image, else the current image
    bool eepromUpdate = false;       // kinds 25 to 29: write the configuration sector too
    ConstBytes source;               // firmware image (for 21 to 24 the patched copy) or the
                                     // device's current image
    ConstBytes configBlock;          // 21 to 24: the 4096-byte setting block (empty: none);
                                     // 25 to 29: the 256-byte configuration
    std::uint32_t configSector = 0;  // 25 to 29: 0 = the kind's default address
    std::uint8_t modeValue = 0;      // kind 26 revision 2: value set after the program
    // Called after every chunk sent or read: the phase ("program", "download",
    // "read-back"), bytes done and bytes of the phase.
    std::function<void(std::string_view phase, std::size_t done, std::size_t total)> progress;

    // Filled in by the procedures.
    bool programLoaded = false;  // the manufacturing program went in during this job
    int attempts = 0;            // download attempts ProgramLaterFamily made
    std::string failure;         // why the last attempt failed, empty on success
};

// Sends the manufacturing program when needed, then the firmware. True when every chunk
// was accepted.
bool DownloadFirmwareLater(const Target& t, LaterDownload& job);
// Reads the downloaded image back into `dest` (at most dest.size() bytes). True when all
// chunks were read.
bool ReadBackFirmwareLater(const Target& t, LaterDownload& job, Bytes dest);
// Download and verify, with up to three attempts. True only when the read-back agrees
// with what was sent outside the bytes the chip keeps for itself.
bool ProgramLaterFamily(const Target& t, LaterDownload& job);

// Kind 26 images longer than 67071 bytes carry a third part behind the image and its
// configuration sector: the 16 KiB at image offset 0xC600, which go to flash address
// 0x10000 (the same place the kind 20 file layout gives that flash area).
inline constexpr std::size_t kKind26ExtraLength = 67071;  // longer images carry the part
inline constexpr std::uint32_t kKind26ExtraFrom = 0xC600;
inline constexpr std::uint32_t kKind26ExtraAt = 0x10000;
inline constexpr std::size_t kKind26ExtraSize = 0x4000;
bool HasKind26Extra(ChipKind kind, std::size_t imageLength);
// Writes that part after the download (WriteMemory, erasing sector by sector of the
// flash type the bridge reports) and reads it back; true when it reads back equal.
bool WriteKind26Extra(const Target& t, ConstBytes image);

// Reads the image the device runs into `dest` (kinds 20 to 29). With the clone option the
// two banks of kinds 21 to 24 are read from the buffers their marker names.
bool ReadDeviceFirmware(const Target& t, const LaterBridgeState& state, bool cloneOption,
                        Bytes dest);

// Starts the downloaded firmware: WriteBuffer mode 0x0F; the bridge leaves the bus.
bool ActivateFirmware(const Target& t);

// The answer of InquiryVpdC3 a kind 21 to 24 bridge gives before a clone erase: its serial
// text (bytes 64-83) and the two words at bytes 8-9 and 10-11 go into the identity record.
inline constexpr std::size_t kVpdC3Size = 84;
struct IdentityValues {
    std::string serial;  // 20 characters at most
    std::uint16_t a = 0;
    std::uint16_t b = 0;
};
IdentityValues IdentityValuesFromVpd(ConstBytes vpd);
// Sends the identity record of a kind 21 to 24 bridge after programming (VendorBlockC3).
bool SendIdentityRecord(const Target& t, const IdentityStamp& stamp, const IdentityValues& v);

// The standby time on a running firmware: the power mode page, else the vendor command.
bool SetStandbyOnFirmware(const Target& t, std::uint32_t minutes, bool enabled);

}  // namespace vq::bridge
