#include "bridge/LaterImage.h"

#include <algorithm>
#include <cstdio>

#include "base/Format.h"
#include "bridge/FirmwareImage.h"
#include "bridge/ImageCrc.h"

namespace vq::bridge {

namespace {

// A text field of the image: cleared with `fill`, then the text (cut to the field) and,
// when there is room, its terminating zero byte.
void PutTextField(Bytes bank, std::size_t offset, std::size_t size, std::string_view text,
                  std::uint8_t fill) {
    auto field = bank.subspan(offset, size);
    std::fill(field.begin(), field.end(), fill);
    const std::size_t n = std::min(text.size(), size);
    std::copy_n(text.begin(), n, field.begin());
    if (n < size)
        field[n] = 0;
}

// A string descriptor of 32 bytes: length byte, type 3, one byte per character.
void PutDescriptor(Bytes bank, std::size_t offset, std::string_view text) {
    auto field = bank.subspan(offset, kDescriptorSize);
    std::fill(field.begin(), field.end(), std::uint8_t{0});
    const std::size_t n = std::min(text.size(), kDescriptorSize - 2);
    field[0] = static_cast<std::uint8_t>(2 * n + 2);
    field[1] = 3;
    std::copy_n(text.begin(), n, field.begin() + 2);
}

void PatchBankConfig(Bytes bank, const LaterImageSettings& s, std::uint8_t clearWith) {
    bank[kStringSourceOffset] =
        static_cast<std::uint8_t>((s.manuProdSourceCtl ? 2 : 0) + (s.inquirySourceCtl ? 1 : 0));
    PutTextField(bank, kInquiryVendorOffset, kInquiryVendorSize, s.inquiryVendor, clearWith);
    PutTextField(bank, kInquiryProductOffset, kInquiryProductSize, s.inquiryProduct, clearWith);
    PutDescriptor(bank, kManufacturerOffset, s.manufacturer);
    PutDescriptor(bank, kProductOffset, s.product);
    PutBE32(bank, kConfigCrcOffset, ImageCrc32(bank.subspan(1024, kConfigCrcOffset - 1024)));
    PutBE32(bank, kBankCrcOffset, ImageCrc32(bank.first(kBankCrcOffset)));
}

void PatchBankHeader(Bytes bank) {
    std::copy(kHeaderMarker.begin(), kHeaderMarker.end(), bank.begin() + kHeaderMarkerOffset);
    PutBE32(bank, kHeaderMarkerOffset + 4, 0);
    std::copy_n(bank.begin() + kBankCrcOffset, 4, bank.begin() + kHeaderBankCrcOffset);
    PutBE32(bank, kHeaderCrcOffset, ImageCrc32(bank.first(kHeaderCrcOffset)));
}

Bytes Bank(Bytes image, int n) {
    return image.subspan(static_cast<std::size_t>(n) * kLaterBankSize, kLaterBankSize);
}
ConstBytes Bank(ConstBytes image, int n) {
    return image.subspan(static_cast<std::size_t>(n) * kLaterBankSize, kLaterBankSize);
}

}  // namespace

bool IsFirstLaterFamily(ChipKind kind) {
    return kind >= 21 && kind <= 24;
}

bool IsLaterFamily(ChipKind kind) {
    return kind >= 21 && kind <= 29;
}

bool PatchImageConfig(Bytes image, const LaterImageSettings& settings) {
    if (image.size() < kLaterImageSize)
        return false;
    PatchBankConfig(Bank(image, 0), settings, 0x00);
    if (!settings.cloneProduct)
        PatchBankConfig(Bank(image, 1), settings, ' ');
    return true;
}

bool PatchImageHeader(Bytes image) {
    if (image.size() < kLaterImageSize)
        return false;
    PatchBankHeader(Bank(image, 0));
    PatchBankHeader(Bank(image, 1));
    return true;
}

std::array<std::uint8_t, kSettingBlockSize> BuildSettingBlock(const LaterImageSettings& s) {
    std::array<std::uint8_t, kSettingBlockSize> b{};
    b[0] = 'I';
    b[1] = 'U';
    b[2] = 'P';
    b[3] = '0';
    b[7] = 12;
    b[16] = s.standbyEnabled && s.standbyMinutes > 0 ? 1 : 0;
    const std::uint32_t units = s.standbyMinutes == 0 ? 600 : s.standbyMinutes * 600;
    PutBE32(b, 20, units);
    PutLE16(b, 8, BlockCrc16(ConstBytes(b).subspan(12, 12)));
    PutLE16(b, 10, BlockCrc16(ConstBytes(b).first(10)));
    return b;
}

bool HasCloneMarker(ConstBytes image) {
    if (image.size() < kLaterImageSize)
        return false;
    return GetBE32(image, kBankCrcOffset) != GetBE32(image, kLaterBankSize + kBankCrcOffset);
}

std::array<std::uint8_t, kIdentityRecordSize> BuildIdentityRecord(const IdentityStamp& stamp,
                                                                  std::string_view serial) {
    std::array<std::uint8_t, kIdentityRecordSize> r{};
    // Each field is kept to its width, so the stamp text is always six characters.
    const std::string text =
        Format("%01d%02d%03d", std::clamp(stamp.dayOfWeek, 0, 9), std::clamp(stamp.second, 0, 99),
               std::clamp(stamp.millisecond, 0, 999));
    r[0] = 0x42;
    r[4] = 'P';
    std::copy_n(text.begin(), 6, r.begin() + 5);
    r[11] = stamp.random;
    r[12] = 'P';
    std::copy_n(text.begin(), 6, r.begin() + 13);
    r[19] = static_cast<std::uint8_t>(stamp.random + 1);
    std::fill(r.begin() + 52, r.end(), std::uint8_t{' '});
    std::copy_n(serial.begin(), std::min<std::size_t>(serial.size(), 20), r.begin() + 52);
    return r;
}

std::vector<ExcludedRange> CompareExclusions(ChipKind kind) {
    if (IsFirstLaterFamily(kind))
        return {{512, 1023}, {0x20200, 0x203FF}};
    return {{512, 1023}};
}

std::optional<std::size_t> FirstDifference(ConstBytes reference, ConstBytes readBack,
                                           std::size_t length,
                                           const std::vector<ExcludedRange>& excluded) {
    std::size_t i = 0;
    while (i < length) {
        std::size_t end = length;
        bool skip = false;
        for (const auto& e : excluded) {
            if (i >= e.first && i <= e.last) {
                i = e.last + 1;
                skip = true;
                break;
            }
            if (e.first > i)
                end = std::min(end, e.first);
        }
        if (skip)
            continue;
        for (; i < end; ++i) {
            if (i >= reference.size() || i >= readBack.size() || reference[i] != readBack[i])
                return i;
        }
    }
    return std::nullopt;
}

bool LaterImageSizeFits(ChipKind kind, std::size_t size) {
    if (IsFirstLaterFamily(kind))
        return size == kLaterImageSize;
    if (kind == 25 || kind == 26)
        return size >= 0xC600 && size <= kLaterImageSize;
    if (kind >= 27 && kind <= 29)
        return size >= 0x10600 && size <= kLaterImageSize;
    return false;
}

namespace {

// Whether the file fits the kind by its model, as the firmware file check judges it. For
// kind 26 revision 2 only the probe bytes are judged here: whether the board's mode agrees
// with the image's size is the board's part of the check.
bool ModelFits(const FirmwareImage& image, ChipKind kind, std::uint8_t revision) {
    if (kind == 26 && revision == 2) {
        const ConstBytes probe = image.buffer().first(10);
        return probe[4] == 0x70 && probe[5] == 0x22;
    }
    return FirmwareFitsChip(image, MakeChipIdentity(kind, revision));
}

}  // namespace

LaterImageFacts DescribeLaterImage(ConstBytes file) {
    LaterImageFacts f;
    f.size = file.size();
    if (file.empty() || file.size() > kFirmwareBufferSize)
        return f;
    const FirmwareImage image = FirmwareImage::FromBytes(file);
    const ConstBytes probe = image.buffer().first(10);
    for (ChipKind kind = 21; kind <= 29; ++kind) {
        for (std::uint8_t revision : {std::uint8_t{1}, std::uint8_t{2}}) {
            if (kind != 26 && revision == 2)
                continue;
            if (ModelFits(image, kind, revision) && LaterImageSizeFits(kind, file.size()))
                f.serves.push_back(MakeChipIdentity(kind, kind == 26 ? revision : 0));
        }
    }
    const bool twoBanks = !f.serves.empty() && IsFirstLaterFamily(KindOf(f.serves.front()));
    f.banks = twoBanks ? 2 : 1;
    f.modelText = FirmwareModelText(f.serves.empty() ? 21 : KindOf(f.serves.front()), probe);
    if (twoBanks) {
        for (int n = 0; n < 2; ++n) {
            const ConstBytes bank = Bank(file, n);
            f.bankCrc[n] = GetBE32(bank, kBankCrcOffset);
            f.headerPresent[n] =
                std::equal(kHeaderMarker.begin(), kHeaderMarker.end(),
                           bank.begin() + kHeaderMarkerOffset) &&
                GetBE32(bank, kHeaderBankCrcOffset) == f.bankCrc[n] &&
                GetBE32(bank, kHeaderCrcOffset) == ImageCrc32(bank.first(kHeaderCrcOffset));
            f.configCrcOk[n] = GetBE32(bank, kConfigCrcOffset) ==
                               ImageCrc32(bank.subspan(1024, kConfigCrcOffset - 1024));
        }
        f.cloneMarker = HasCloneMarker(file);
    }
    return f;
}

}  // namespace vq::bridge
