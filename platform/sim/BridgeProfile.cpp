#include "platform/sim/BridgeProfile.h"

#include "platform/sim/SimImageRules.h"

#include <cstring>

namespace vq::sim {

namespace {

using CS = ConfigStore;
using FH = FirmwareHome;

constexpr std::array<std::uint8_t, 6> kBoot100{1, 0, 0, 0, 0, 0};

BridgeProfile Row(std::uint8_t kind, const char* code, const char* number, const char* sub,
                  std::uint8_t idLen, CS store, FH fw, std::uint8_t flashType,
                  std::uint32_t flashSize, bool eeprom) {
    BridgeProfile p;
    p.kind = kind;
    p.inquiryCode = code;
    p.chipNumber = number;
    p.subRevision = sub;
    p.identifyLength = idLen;
    p.store = store;
    p.firmware = fw;
    p.flashType = flashType;
    p.flashSize = flashSize;
    p.hasEeprom = eeprom;
    p.bootVersion = kBoot100;
    return p;
}

std::array<BridgeProfile, 36> BuildProfiles() {
    std::array<BridgeProfile, 36> t{};
    constexpr std::uint32_t k64 = 0x10000, k128 = 0x20000, k512 = 0x80000;
    // The serial-flash families of the first generation: EEPROM for the configuration,
    // firmware in a 64 KiB serial flash from 0.
    t[1] = Row(1, "v424", "424", nullptr, 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[2] = Row(2, "v424", "424", "v424B1", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[3] = Row(3, "v424", "424", "v424C1", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[4] = Row(4, "v429", "429", nullptr, 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[5] = Row(5, "v429", "429", "v429C0", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[6] = Row(6, "v429", "429", "v429C3", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[7] = Row(7, "v429", "429", "v429E0", 16, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[7].firmwareOffset = 0x4000;
    t[7].bootVersion = {2, 0, 2, 0, 0, 0};
    t[8] = Row(8, "v418", "418", nullptr, 16, CS::Eeprom, FH::Rom, 255, 0, true);
    t[8].stepCode = 0xAB;
    t[8].bootVersion = {0, 0, 0, 0, 0, 0};
    t[9] = Row(9, "v433", "433", nullptr, 12, CS::SerialFlash, FH::SerialFlash, 8, k64, false);
    t[9].firmwareOffset = 4096;
    t[10] = Row(10, "v434", "434", nullptr, 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    for (std::uint8_t k = 11; k <= 13; ++k) {
        static const char* const codes[] = {"v437", "v438", "v653"};
        static const char* const numbers[] = {"437", "438", "653"};
        t[k] = Row(k, codes[k - 11], numbers[k - 11], nullptr, 16, CS::SerialFlash, FH::SerialFlash,
                   8, k128, false);
        t[k].firmwareOffset = 4096;
        t[k].bootVersion = k == 13 ? std::array<std::uint8_t, 6>{9, 18, 1, 16, 0, 0}
                                   : std::array<std::uint8_t, 6>{7, 7, 0, 16, 0, 0};
    }
    t[14] = Row(14, "v427", "427", nullptr, 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[15] = Row(15, "v427", "427", "v427A1", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[16] = Row(16, "v427", "427", "v427A3", 12, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[17] = Row(17, "v614", "614", nullptr, 16, CS::Eeprom, FH::Rom, 255, 0, true);
    t[17].stepCode = 0xA9;
    t[18] = Row(18, "v621", "621", nullptr, 16, CS::Eeprom, FH::SerialFlash, 7, k64, true);
    t[18].firmwareOffset = 0x4000;
    t[18].bootVersion = {2, 0, 2, 0, 0, 0};
    t[19] = Row(19, "v646", "646", nullptr, 16, CS::SerialFlash, FH::SerialFlash, 13, k128, false);
    t[19].configOffset = 0xC000;
    t[19].bootVersion = {0, 0, 1, 0, 0, 0};
    t[19].standardAta = true;
    t[20] = Row(20, "v688", "688", nullptr, 16, CS::SerialFlash, FH::SerialFlash, 13, k128, false);
    t[20].configOffset = 0xC000;
    t[20].bootVersion = {0, 0, 0, 0, 0, 1};
    t[20].standardAta = true;
    // The later families: mask ROM, manufacturing program, firmware in flash.
    const char* const later[] = {"671", "672", "673", "675", "705", "702", "708", "712", "930"};
    const char* const laterCodes[] = {"v671", "v672", "v673", "v675", "v705",
                                      "v702", "v708", "v712", "v930"};
    for (std::uint8_t k = 21; k <= 29; ++k) {
        const bool first = k <= 24;
        t[k] = Row(k, laterCodes[k - 21], later[k - 21], nullptr, 16,
                   first ? CS::ImageStrings : CS::SerialFlash, FH::Buffers, 13, first ? k512 : k128,
                   false);
        t[k].bootVersion = {0, 0, 0, 0, 0, 0};
        t[k].mfgImageSize = first ? 0x10000u : (k <= 26 ? 0xC400u : 0x10000u);
        t[k].programState = first ? 0x0C : 0x0A;
        t[k].programCapacity = first ? 0x46000u : (k <= 26 ? 0xC400u : 0x10400u);
        t[k].configOffset = k <= 26 ? 0xD000u : 0x11000u;
        t[k].standardAta = k == 21 || k == 22 || k >= 25;
    }
    t[21].variant = 'a';
    t[22].variant = 'b';
    t[23].variant = 'c';
    t[24].variant = 'e';
    t[30] =
        Row(30, "v426", "426", nullptr, 12, CS::ParallelFlash, FH::ParallelFlash, 255, 0, false);
    for (std::uint8_t k = 31; k <= 34; ++k) {
        t[k] = Row(k, nullptr, nullptr, nullptr, 0, CS::Eeprom, FH::Rom, 255, 0, true);
        t[k].chipWordBits = static_cast<std::uint8_t>(k - 31);
    }
    t[35] =
        Row(35, nullptr, "426", nullptr, 12, CS::ParallelFlash, FH::ParallelFlash, 255, 0, false);
    return t;
}

const std::array<BridgeProfile, 36> kProfiles = BuildProfiles();

std::array<FlashFamily, 21> BuildFamilies() {
    std::array<FlashFamily, 21> f{};
    struct Jedec {
        std::uint8_t type, m0, m1, m2;
    };
    // One representative part per family; the answers are the ones the identification
    // tables of the station expect for that family.
    const Jedec rows[] = {
        {3, 0x7F, 0x9D, 0x7C},  {4, 0xBF, 0x25, 0x8E},  {5, 0x20, 0x20, 0x13},
        {6, 0x1F, 0x44, 0x01},  {7, 0xC2, 0x20, 0x13},  {8, 0xEF, 0x30, 0x13},
        {9, 0x37, 0x30, 0x13},  {10, 0x1C, 0x31, 0x13}, {11, 0x8C, 0x20, 0x13},
        {12, 0x62, 0x06, 0x13}, {13, 0xC8, 0x40, 0x13}, {14, 0xA1, 0x28, 0x13},
        {15, 0x9D, 0x40, 0x13}, {16, 0xE0, 0x40, 0x14}, {17, 0xE0, 0x40, 0x10},
        {18, 0x68, 0x40, 0x13}, {19, 0x0B, 0x40, 0x13}, {20, 0x85, 0x60, 0x13},
    };
    for (const auto& r : rows) {
        FlashFamily& x = f[r.type];
        x.flashType = r.type;
        x.jedec = {r.m0, r.m1, r.m2};
        x.rems = {r.m0, r.m2};
        x.res = r.m2;
        x.legacy15 = {0xFF, 0xFF};
        x.blockSize = r.type <= 4 ? 32768u : 65536u;
        x.sectorSize = (r.type == 5 || r.type == 6 || r.type == 10) ? 32768u
                       : r.type == 19                               ? 8192u
                                                                    : 4096u;
    }
    f[3].res = 0x9D;
    f[4].wordProgram = true;
    f[5].res = 0x05;
    f[6].legacy15 = {0x1F, 0x44};
    return f;
}

const std::array<FlashFamily, 21> kFamilies = BuildFamilies();
const FlashFamily kNoFlash{255, {0xFF, 0xFF, 0xFF}, {0xFF, 0xFF}, 0xFF, {0xFF, 0xFF}, false, 65536,
                           4096};

void PutText(std::vector<std::uint8_t>& img, std::size_t off, const char* text) {
    const std::size_t n = std::strlen(text);
    if (off + n <= img.size())
        std::memcpy(img.data() + off, text, n);
}

void PutSignature(std::vector<std::uint8_t>& img, std::size_t off, std::uint8_t b2, std::uint8_t b3,
                  const char* number) {
    if (off + 8 > img.size())
        return;
    img[off] = 0x55;
    img[off + 1] = 0xAA;
    img[off + 2] = b2;
    img[off + 3] = b3;
    PutText(img, off + 4, number);
    img[off + 7] = '0';
}

}  // namespace

const BridgeProfile& ProfileFor(std::uint8_t kind) {
    return kind < kProfiles.size() ? kProfiles[kind] : kProfiles[0];
}

const FlashFamily& FlashFamilyFor(std::uint8_t flashType) {
    if (flashType < kFamilies.size() && kFamilies[flashType].flashType == flashType)
        return kFamilies[flashType];
    return kNoFlash;
}

std::vector<std::uint8_t> MakeFirmwareImage(std::uint8_t kind, std::uint32_t length) {
    std::vector<std::uint8_t> img(length);
    for (std::uint32_t i = 0; i < length; ++i)
        img[i] = static_cast<std::uint8_t>((i * 7 + kind) ^ (i >> 8));
    const BridgeProfile& p = ProfileFor(kind);
    const char* number = p.chipNumber ? p.chipNumber : "000";
    // Model text at bytes 4-7 (the revision digit after the number).
    PutText(img, 4, number);
    if (length > 7)
        img[7] = '0';
    switch (kind) {
        case 7:
        case 18:
            PutSignature(img, 0x4000, 0x56, 0x51, number);
            break;
        case 9:
        case 11:
        case 12:
        case 13:
            PutSignature(img, 4096, 0xAA, 0x55, number);
            break;
        case 19:
            PutSignature(img, 0xBC00 + 1008, 0xAA, 0x55, number);
            PutText(img, 0xBFF0 + 4, number);
            break;
        case 20:
            PutText(img, 0xBFF0 + 4, number);
            break;
        default:
            break;
    }
    // Sealed as the boot code checks it.
    if (kind == 19 || kind == 20)
        SealCrc16Image(img);
    if (kind >= 21 && kind <= 24) {
        for (std::size_t bank = 0; bank + kBankSize <= img.size(); bank += kBankSize)
            SealBank(std::span(img).subspan(bank, kBankSize));
    }
    return img;
}

}  // namespace vq::sim
