// The firmware image file chosen for a run, and the checks made on it before any board is
// touched: whether it fits the chip model of the attached boards, and whether it agrees
// with the clone-product option.
//
// The file is read whole into a zero-filled buffer of 262144 bytes; the image's length is
// the number of bytes read. Everything that reads the image at a fixed offset (the probes
// of the fit check, the clone marker at 0x3FFFC) reads from that buffer, so a short file
// reads zeros past its end and nothing ever reads past the buffer. A file that is a
// folder, cannot be read, is empty or is larger than the buffer is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"
#include "bridge/Transport.h"

namespace vq {
class Operator;
}

namespace vq::bridge {

inline constexpr std::size_t kFirmwareBufferSize = 0x40000;

class FirmwareImage {
  public:
    FirmwareImage();
    // An image of these bytes; an empty image when they do not fit the buffer.
    static FirmwareImage FromBytes(ConstBytes bytes);

    std::size_t length() const { return length_; }
    bool loaded() const { return length_ != 0; }
    // The image's own bytes.
    ConstBytes bytes() const { return ConstBytes(buffer_.data(), length_); }
    // The whole buffer: the image, then zeros up to 262144 bytes.
    ConstBytes buffer() const { return ConstBytes(buffer_.data(), buffer_.size()); }

  private:
    std::vector<std::uint8_t> buffer_;
    std::size_t length_ = 0;
};

enum class FirmwareLoadError {
    None,
    CannotOpen,  // missing, not permitted, or a folder
    ReadFailed,  // opened but a read failed
    Empty,
    TooLarge,  // more than 262144 bytes
};

// Reads the file whole into `image`. On failure `image` is left as it was and `message`
// (when given) says why in one line naming the file.
FirmwareLoadError LoadFirmwareImage(const std::filesystem::path& file, FirmwareImage& image,
                                    std::string* message = nullptr);

// The message of a refused firmware file.
std::string FirmwareLoadMessage(FirmwareLoadError error, const std::filesystem::path& file);

// What the fit check of a kind 26 revision 2 image asks of the first occupied port whose
// device is of kind 26.
struct Kind26Board {
    std::optional<Target> target;  // none when no occupied port holds a kind 26 device
    bool firmwarePresent = false;  // the port's firmware-present flag of the last scan
};

// The model text the fit check forms from the 10-byte probe of a chip kind (the text ends
// at the first zero byte, as a C string would).
std::string FirmwareModelText(ChipKind kind, ConstBytes probe10);
// File offset of the probe of a chip kind.
std::uint32_t FirmwareProbeOffset(ChipKind kind);

// Whether an image fits the chip: the probes read from the image's buffer (zero past its
// length). `board26` is asked only for kind 26 revision 2.
bool FirmwareFitsChip(const FirmwareImage& image, ChipIdentity chip,
                      const Kind26Board& board26 = {});

// What the fit check asks of an image for this chip, in words (for engineers' tools).
std::string FirmwareFitRule(ChipIdentity chip);

// A firmware image carries the six version bytes the bridge reports while it runs it
// (IdentifyBridge answer bytes 6, 7, 12, 13, 14, 15): 8 bytes after the probe of the kind,
// or at 1024 (in each bank) for the later families, whose answer bytes 6 and 7 are state
// bytes and do not count.
std::uint32_t FirmwareVersionOffset(ChipKind kind);
// Whether an IdentifyBridge answer (16 bytes) reports the version the image carries.
bool ReportsImageVersion(ConstBytes identifyAnswer, ChipKind kind, const FirmwareImage& image);

// The fit check of a firmware file: reads the file and checks it against the chip. A file
// that cannot be opened shows "Open Firmware File Error!!" titled "Error"; a file refused
// for another reason (empty, larger than the buffer) shows why, titled "Error". Returns
// true when the file fits.
bool CheckFirmwareFile(const std::filesystem::path& file, ChipIdentity chip, Operator* op,
                       const Kind26Board& board26 = {});

inline constexpr const char* kOpenFirmwareFileError = "Open Firmware File Error!!";
inline constexpr const char* kNotCloneFirmware =
    "Error: The selected firmware file doesn't appear to be CLONE product firmware. Please "
    "check the firmware file.";
inline constexpr const char* kCloneFirmware =
    "Error: The selected firmware file appears to be CLONE product firmware. Please check the "
    "firmware file.";
inline constexpr const char* kFirmwareErrorTitle = "Firmware Error";

// Whether the image is a clone-product firmware: the 32-bit big-endian values at 0x1FFFC
// and 0x3FFFC differ.
bool IsCloneFirmware(const FirmwareImage& image);
// True when the image agrees with the clone option; otherwise shows the matching
// "Firmware Error" message and returns false.
bool CheckCloneMarker(const FirmwareImage& image, bool cloneOption, Operator* op);

}  // namespace vq::bridge
