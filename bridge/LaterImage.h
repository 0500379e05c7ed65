// The firmware images and blocks of the later bridge families (kinds 21 to 29) as the
// station prepares them before a buffer download: the two-bank image of kinds 21 to 24
// with its header, configuration fields and checksums, the device setting block, the
// identity record, and the compare of a read-back image.
//
// Layout of one 0x20000-byte bank of a kind 21 to 24 image (bank 1 at 0x20000 repeats it):
//
//   offset  size  content
//   512     4     header marker 5A C3 69 E1
//   516     4     zero
//   520     4     copy of the bank checksum
//   1020    4     header checksum: ImageCrc32 of bank bytes 0-1019, big-endian
//   1536    1     string source switches: manufacturer/product x 2 + INQUIRY
//   1552    8     INQUIRY vendor text
//   1560    16    INQUIRY product text
//   1576    32    manufacturer string descriptor
//   1608    32    product string descriptor
//   2044    4     configuration checksum: ImageCrc32 of bank bytes 1024-2043, big-endian
//   0x1FFFC 4     bank checksum: ImageCrc32 of bank bytes 0-0x1FFFB, big-endian
//
// The chip keeps per-device data at 512-1023 of each bank, so those bytes never take part
// in a compare.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Bytes.h"
#include "bridge/ChipIdentity.h"

namespace vq::bridge {

inline constexpr std::size_t kLaterImageSize = 0x40000;  // two banks, kinds 21 to 24
inline constexpr std::size_t kLaterBankSize = 0x20000;
inline constexpr std::size_t kSettingBlockSize = 4096;
inline constexpr std::size_t kLaterConfigSize = 256;  // configuration of kinds 25 to 29
inline constexpr std::size_t kIdentityRecordSize = 72;

inline constexpr std::size_t kHeaderMarkerOffset = 512;
inline constexpr std::size_t kHeaderBankCrcOffset = 520;
inline constexpr std::size_t kHeaderCrcOffset = 1020;
inline constexpr std::size_t kStringSourceOffset = 1536;
inline constexpr std::size_t kInquiryVendorOffset = 1552;
inline constexpr std::size_t kInquiryVendorSize = 8;
inline constexpr std::size_t kInquiryProductOffset = 1560;
inline constexpr std::size_t kInquiryProductSize = 16;
inline constexpr std::size_t kManufacturerOffset = 1576;
inline constexpr std::size_t kProductOffset = 1608;
inline constexpr std::size_t kDescriptorSize = 32;
inline constexpr std::size_t kConfigCrcOffset = 2044;
inline constexpr std::size_t kBankCrcOffset = 0x1FFFC;

inline constexpr std::array<std::uint8_t, 4> kHeaderMarker = {0x5A, 0xC3, 0x69, 0xE1};

bool IsFirstLaterFamily(ChipKind kind);  // kinds 21 to 24: two banks
bool IsLaterFamily(ChipKind kind);       // kinds 21 to 29

// What the settings put into a kind 21 to 24 image and its device setting block.
struct LaterImageSettings {
    std::string inquiryVendor;         // INQUIRY vendor text (at most 8 characters kept)
    std::string inquiryProduct;        // INQUIRY product text (at most 16)
    std::string manufacturer;          // manufacturer string (StringC, at most 30 kept)
    std::string product;               // product string (StringB, at most 30 kept)
    bool manuProdSourceCtl = false;    // EnManuProdStrSourceCtl
    bool inquirySourceCtl = false;     // EnInquiryStrSourceCtl
    bool cloneProduct = false;         // EnCloneProduct
    std::uint32_t standbyMinutes = 0;  // StandbyTimer
    bool standbyEnabled = false;       // EnVQS671StandbyTime
};

// Writes the configuration fields, the configuration checksum and the bank checksum of
// bank 0, and of bank 1 too unless the clone option is on. `image` must hold both banks;
// false (nothing written) otherwise.
bool PatchImageConfig(Bytes image, const LaterImageSettings& settings);
// Writes the header and its checksum into both banks; false when the image is too short.
bool PatchImageHeader(Bytes image);

// The 4096-byte device setting block: "IUP0", the data length, the two block checksums,
// the standby switch and the standby time in units of 100 ms.
std::array<std::uint8_t, kSettingBlockSize> BuildSettingBlock(const LaterImageSettings& settings);

// The clone marker: the bank checksums of the two banks differ.
bool HasCloneMarker(ConstBytes image);

// The identity record sent after programming a kind 21 to 24 bridge. A stamp is the day of
// the week (0-6), the second and the millisecond of the local time; `random` is drawn from
// 1 to 255 and stamp B carries random + 1.
struct IdentityStamp {
    int dayOfWeek = 0;
    int second = 0;
    int millisecond = 0;
    std::uint8_t random = 1;
};
std::array<std::uint8_t, kIdentityRecordSize> BuildIdentityRecord(const IdentityStamp& stamp,
                                                                  std::string_view serial);

// A byte range [first, last] left out of a compare.
struct ExcludedRange {
    std::size_t first;
    std::size_t last;
};

// The ranges the compare of a read-back image of this kind leaves out.
std::vector<ExcludedRange> CompareExclusions(ChipKind kind);

// Offset of the first byte in [0, length) where the two images differ outside the excluded
// ranges (bytes past the end of either image count as differing); nullopt when they agree.
std::optional<std::size_t> FirstDifference(ConstBytes reference, ConstBytes readBack,
                                           std::size_t length,
                                           const std::vector<ExcludedRange>& excluded);

// What a firmware file for the later families looks like from its bytes: its model text,
// its banks, and the kinds and revisions it serves.
struct LaterImageFacts {
    std::size_t size = 0;
    std::string modelText;  // as the firmware file check forms it for the kind
    int banks = 0;          // 2 for a kind 21 to 24 image of 0x40000 bytes, else 1
    // Per bank: the header marker, its checksum and its copy of the bank checksum agree.
    // (The bank checksum itself is written before the header, over what the bytes at 512
    // to 1023 held then, and the chip keeps its own data there: it cannot be checked again.)
    bool headerPresent[2] = {false, false};
    bool configCrcOk[2] = {false, false};  // configuration checksum agrees, per bank
    std::uint32_t bankCrc[2] = {0, 0};
    bool cloneMarker = false;
    std::vector<ChipIdentity> serves;  // kinds (with revision where it matters) it fits
};
LaterImageFacts DescribeLaterImage(ConstBytes file);

// Whether a file of `size` bytes can be a firmware image of the kind: both banks for kinds
// 21 to 24; for kinds 25 to 29 at least the compared image and the configuration sector
// behind it.
bool LaterImageSizeFits(ChipKind kind, std::size_t size);

}  // namespace vq::bridge
