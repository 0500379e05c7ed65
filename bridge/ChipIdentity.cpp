#include "bridge/ChipIdentity.h"

#include <array>
#include <initializer_list>

#include "base/Format.h"
#include "bridge/VendorCommands.h"

namespace vq::bridge {

namespace {

struct CodeKind {
    std::string_view code;
    ChipKind kind;
};

// INQUIRY chip codes, compared in this order.
constexpr CodeKind kInquiryCodes[] = {
    {"v424", 1},  {"v426", 30}, {"v427", 14}, {"v429", 4},  {"v418", 8},  {"v433", 9},
    {"v614", 17}, {"v621", 18}, {"v653", 13}, {"v646", 19}, {"v688", 20}, {"v437", 11},
    {"v438", 12}, {"v671", 21}, {"v672", 22}, {"v673", 23}, {"v675", 24}, {"v705", 25},
    {"v708", 27}, {"v702", 26}, {"v712", 28}, {"v930", 29}};

// Chip numbers of the identification answer, compared on three characters in this order.
constexpr CodeKind kIdentifyNumbers[] = {
    {"424", 1},  {"426", 30}, {"427", 14}, {"429", 4},  {"418", 8},  {"433", 9},
    {"614", 17}, {"621", 18}, {"437", 11}, {"438", 12}, {"653", 13}, {"646", 19},
    {"688", 20}, {"671", 21}, {"672", 22}, {"673", 23}, {"675", 24}, {"705", 25},
    {"708", 27}, {"702", 26}, {"712", 28}, {"930", 29}};

// Sub-revision texts of IdentifyChip, compared on their own length in this order.
constexpr CodeKind kSubRevisions[] = {{"v424C1", 3}, {"v429C0", 5},  {"v429E", 7},
                                      {"v429C3", 6}, {"v427A1", 15}, {"v427A3", 16}};

constexpr std::string_view kChipNumbers[] = {
    "No",  "424", "424", "424", "429", "429", "429", "429", "418", "433", "434", "437",
    "438", "653", "427", "427", "427", "614", "621", "646", "688", "671", "672", "673",
    "675", "705", "702", "708", "712", "930", "426", "427", "428", "429", "424", "426"};
static_assert(std::size(kChipNumbers) == kMaxChipKind + 1);

std::string_view Text(ConstBytes b, std::size_t offset, std::size_t length) {
    return {reinterpret_cast<const char*>(b.data() + offset), length};
}

struct BaseIdentity {
    ChipKind kind = 0;
    std::uint8_t revision = 0;
};

// The model from INQUIRY, else from the chip word and the identification answer.
BaseIdentity IdentifyModel(const Target& t) {
    std::array<std::uint8_t, 40> inquiry{};
    if (!Inquiry(t, inquiry))
        return {};
    const std::string_view code = Text(inquiry, 36, 4);
    for (const auto& e : kInquiryCodes) {
        if (code == e.code)
            return {e.kind, 0};
    }
    std::uint16_t word = 0;
    if (!ReadChipWord(t, word))
        return {};
    std::array<std::uint8_t, 16> id{};
    if (!IdentifyBridge(t, id))
        return {static_cast<ChipKind>(((word >> 5) & 3) + 31), 0};
    if (!IsIdentifyAnswer(id))
        return {};
    const std::string_view number = Text(id, 8, 3);
    for (const auto& e : kIdentifyNumbers) {
        if (number == e.code)
            return {e.kind, static_cast<std::uint8_t>(id[11] - 48)};
    }
    return {};
}

bool RegisterBitSet(const Target& t, std::uint16_t base, std::size_t index, std::uint8_t mask) {
    std::array<std::uint8_t, 4> r{};
    return ReadXdata(t, base, r) && (r[index] & mask) != 0;
}

// 55 AA AA 55 followed by one of the three-digit numbers.
bool HasSignature(ConstBytes b, std::initializer_list<std::string_view> numbers) {
    if (b[0] != 0x55 || b[1] != 0xAA || b[2] != 0xAA || b[3] != 0x55)
        return false;
    for (auto n : numbers) {
        if (Text(b, 4, 3) == n)
            return true;
    }
    return false;
}

bool OneOf(std::string_view text, std::initializer_list<std::string_view> list) {
    for (auto s : list) {
        if (text == s)
            return true;
    }
    return false;
}

bool IdentifyAnswer(const Target& t, std::array<std::uint8_t, 16>& id) {
    return IdentifyBridge(t, id) && IsIdentifyAnswer(id);
}

// Kind 13 keeps a flag at register 0x506A that says whether the last version field is
// reported with its bit 0 inverted. The register is restored afterwards (toggled when the
// probe answers 1); nothing is written when it cannot be read first.
bool ProbeVersionRegister(const Target& t) {
    constexpr std::uint16_t kRegister = 0x506A;
    std::array<std::uint8_t, 1> kept{};
    if (!ReadXdata(t, kRegister, kept))
        return false;
    const std::array<std::uint8_t, 1> zero{0};
    std::array<std::uint8_t, 1> back{};
    bool probe = WriteXdata(t, kRegister, zero) && ReadXdata(t, kRegister, back) && back[0] == 1;
    const std::array<std::uint8_t, 1> restore{
        static_cast<std::uint8_t>(probe ? kept[0] ^ 1 : kept[0])};
    if (!WriteXdata(t, kRegister, restore))
        probe = false;
    return probe;
}

}  // namespace

std::string_view ChipNumber(ChipKind kind) {
    return kind <= kMaxChipKind ? kChipNumbers[kind] : std::string_view();
}

ChipKind IdentifyChip(const Target& t) {
    ChipKind kind = IdentifyModel(t).kind;
    if (kind == 4 || kind == 14) {
        std::array<std::uint8_t, 40> sub{};
        if (ReadSubRevision(t, sub)) {
            const std::string_view text = Text(sub, 0, 8);
            for (const auto& e : kSubRevisions) {
                if (text.starts_with(e.code)) {
                    kind = e.kind;
                    break;
                }
            }
        }
    }
    return kind;
}

ChipIdentity IdentifyChipWithRevision(const Target& t) {
    auto [kind, revision] = IdentifyModel(t);
    if (kind == 4 || kind == 1 || kind == 14) {
        std::array<std::uint8_t, 40> sub{};
        if (ReadSubRevision(t, sub)) {
            const std::string_view text = Text(sub, 0, 8);
            const auto ch = sub[5];
            if (text.starts_with("v424C")) {
                kind = 1;
                revision = static_cast<std::uint8_t>(ch - 47);
            } else if (text.starts_with("v429C")) {
                kind = 4;
                revision = static_cast<std::uint8_t>(ch - 47);
            } else if (text.starts_with("v429E")) {
                kind = 7;
                revision = static_cast<std::uint8_t>(ch + 1);
            } else if (text.starts_with("v427A")) {
                kind = text.starts_with("v427A3") ? 16 : 15;
                revision = static_cast<std::uint8_t>(ch - 47);
            }
        } else if (kind == 1) {
            revision = 1;
        }
    }
    if (kind == 8 || kind == 17)
        revision = ReadChipStep(t);
    return MakeChipIdentity(kind, revision);
}

std::uint8_t ReadChipStep(const Target& t) {
    std::array<std::uint8_t, 20> info{};
    if (!ReadChipInfo(t, info))
        return 0;
    switch (info[8]) {
        case 0xA8:
            return 8;
        case 0xA9:
            return 9;
        case 0xAA:
            return 10;
        case 0xAB:
            return info[18] == 0xD2 ? 50 : 11;
        case 0xAC:
            return 12;
        case 0xC2:
            return 13;
        case 0xC4:
            return 14;
        default:
            return static_cast<std::uint8_t>(info[8] - 160);
    }
}

bool FormatFirmwareVersion(ChipKind kind, const Target& t, std::string& text) {
    std::array<std::uint8_t, 16> id{};
    std::uint32_t transferred = 0;
    if (!IdentifyBridge(t, id, &transferred))
        return false;
    if (!IsIdentifyAnswer(id))
        return true;
    const auto b = [&id](std::size_t i) { return static_cast<unsigned>(id[i]); };
    if (kind == 8 || kind == 17) {
        text = "  --.--.--";
    } else if (kind == 11 || kind == 12) {
        text = Format("%d.%.2d.%.2d.%.2d.%.2d", b(6), b(7), b(12), b(13), b(14));
    } else if (kind == 13) {
        const unsigned last = ProbeVersionRegister(t) ? b(14) ^ 1u : b(14);
        text = Format("%d.%.2d.%.2d.%.2d.%.2d", b(6), b(7), b(12), b(13), last);
    } else if (kind >= 19 && kind <= 29) {
        text = Format("%.2d.%.2d.%.2d.%.2d", b(12), b(13), b(14), b(15));
    } else if (transferred < 13) {
        text = Format("%d.%.2d", b(6), b(7));
    } else {
        text = Format("%d.%.2d.%.2d", b(12), b(13), b(14));
    }
    return true;
}

bool HasValidFirmware(const Target& t, ChipKind kind, std::string_view version) {
    switch (kind) {
        case 4:
        case 6: {
            std::array<std::uint8_t, 10> sig{};
            return RegisterBitSet(t, 0x7038, 2, 0x01) && ReadXdata(t, 0xC000, sig) &&
                   HasSignature(sig, {"429"});
        }
        case 7:
        case 18: {
            if (!RegisterBitSet(t, 0x7038, 2, 0x01) || version == "2.00.00")
                return false;
            std::array<std::uint8_t, 1024> flash{};
            return SerialFlashRead(t, 0x4000, flash) && flash[0] == 0x55 && flash[1] == 0xAA &&
                   flash[2] == 0x56 && flash[3] == 0x51 && Text(flash, 4, 3) == ChipNumber(kind);
        }
        case 8:
            return false;
        case 9: {
            std::array<std::uint8_t, 10> sig{};
            return RegisterBitSet(t, 0x7038, 2, 0x04) && ReadXdata(t, 0xC000, sig) &&
                   HasSignature(sig, {"433"});
        }
        case 11:
        case 12: {
            if (!RegisterBitSet(t, 0x7038, 2, 0x04) ||
                OneOf(version, {"7.07.00.16.00", "11.19.02.16.00", "4.10.02.16.00"}))
                return false;
            std::array<std::uint8_t, 1024> mem{};
            return ReadMemory(t, 4096, mem) && HasSignature(mem, {"438", "437"});
        }
        case 13: {
            if (!RegisterBitSet(t, 0x7038, 2, 0x10) ||
                OneOf(version, {"9.18.01.16.00", "12.01.02.16.00", "2.05.11.16.00", "4.08.11.16.00",
                                "5.13.11.16.00"}))
                return false;
            std::array<std::uint8_t, 1024> mem{};
            return ReadMemory(t, 4096, mem) && HasSignature(mem, {"653"});
        }
        case 19: {
            if (!RegisterBitSet(t, 0x70F0, 3, 0x01) ||
                OneOf(version, {"1.0.0.0", "1.0.0.1", "49.48.48.49"}))
                return false;
            std::array<std::uint8_t, 20> info{};
            if (ReadChipInfo(t, info))
                return info[19] != 0;
            std::array<std::uint8_t, 1024> mem{};
            return ReadMemory(t, 0xBC00, mem) &&
                   HasSignature(ConstBytes(mem).subspan(1008), {"646"});
        }
        case 20: {
            std::array<std::uint8_t, 32> info{};
            if (ReadChipInfo(t, info) && info[19] == 1)
                return true;
            return version != "00.00.00.01";
        }
        case 21:
        case 22:
        case 23:
        case 24: {
            std::array<std::uint8_t, 16> id{};
            return IdentifyAnswer(t, id) && (id[6] == 0 || id[6] == 3);
        }
        case 25:
        case 27:
        case 28:
        case 29: {
            std::array<std::uint8_t, 16> id{};
            return IdentifyAnswer(t, id) && id[6] != 0;
        }
        case 26: {
            std::array<std::uint8_t, 16> id{};
            if (!IdentifyAnswer(t, id))
                return false;
            return id[11] == 2 ? id[7] != 0xFF : id[6] != 0;
        }
        default:
            return true;
    }
}

std::uint64_t CapacityFromIdentify(ConstBytes identify) {
    std::uint64_t sectors = GetLE32(identify, 120);
    if (sectors != 0x0FFFFFFF) {
        if (sectors / 0x200000 < 8)
            sectors = GetLE32(identify, 114);
    } else {
        sectors = GetLE64(identify, 200) & 0xFF'FFFF'FFFFull;
    }
    const std::uint16_t word106 = GetLE16(identify, 212);
    if ((word106 & 0xF00F) == 0x6000 || (word106 & 0xF00F) == 0x5000) {
        const std::uint64_t sectorBytes = std::uint64_t{GetLE32(identify, 234)} * 2;
        return (sectors >> 11) * (sectorBytes / 512);
    }
    return sectors >> 11;
}

std::uint64_t ReadDriveCapacity(const Target& t, ChipKind kind) {
    std::array<std::uint8_t, 512> identify{};
    const bool standardPassThrough = (kind >= 19 && kind <= 22) || (kind >= 25 && kind <= 29);
    const bool ok =
        standardPassThrough ? AtaIdentifyPassThrough(t, identify) : AtaIdentify(t, identify);
    if (ok)
        return CapacityFromIdentify(identify);
    const auto g = t.transport.geometry(t.path);
    if (!g)
        return 0;
    return g->cylinders * g->tracksPerCylinder * g->sectorsPerTrack * g->bytesPerSector / 1048576;
}

}  // namespace vq::bridge
