#include "bridge/FlashDetect.h"

#include <span>

#include "bridge/VendorCommands.h"

namespace vq::bridge {

namespace {

// One byte of an identification answer: any value, or one of up to three values.
struct Match {
    std::array<std::uint8_t, 3> values{};
    std::size_t count = 0;
    constexpr bool operator()(std::uint8_t v) const {
        for (std::size_t i = 0; i < count; ++i) {
            if (values[i] == v)
                return true;
        }
        return count == 0;
    }
};
constexpr Match kAny{};
constexpr Match Is(std::uint8_t a) {
    return {{a}, 1};
}
constexpr Match Of(std::uint8_t a, std::uint8_t b) {
    return {{a, b}, 2};
}
constexpr Match Of(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return {{a, b, c}, 3};
}

enum Probes : std::uint8_t { kA = 1, kB = 2, kAB = kA | kB };

struct IdRule {
    Match m0, m1, m2;
    FlashType type;
    std::uint8_t probes = kAB;
};

// Answers to opcode 0x9F, tested top to bottom.
constexpr IdRule kManufacturers[] = {
    {Is(0x7F), Is(0x37), kAny, 9},
    {Is(0x37), Is(0x30), kAny, 9},
    {Is(0x1F), kAny, kAny, 6},
    {Is(0xC2), kAny, kAny, 7},
    {Is(0xEF), kAny, kAny, 8},
    {Is(0x20), kAny, kAny, 5},
    {Is(0x1C), kAny, kAny, 10},
    {Is(0x8C), kAny, kAny, 11},
    {Is(0x7F), Is(0x9D), kAny, 3},
    {Is(0x62), kAny, kAny, 12},
    {Is(0xC8), kAny, kAny, 13},
    {Is(0xA1), kAny, kAny, 14},
    {Is(0x9D), Is(0x40), kAny, 15},
    {Is(0x9D), Is(0x60), kAny, 15, kB},
    {Is(0xE0), Is(0x40), Is(0x10), 17, kB},
    {Is(0xE0), Is(0x40), kAny, 16},
    {Is(0x0B), Is(0x40), Is(0x13), 19, kB},
    {kAny, Is(0x40), Of(0x13, 0x11), 18, kB},
    {Is(0x85), Is(0x60), kAny, 20, kB},
    {Is(0x68), Is(0x40), kAny, 18, kB},
};

// Answers to the later families' identification with opcode byte 0.
constexpr IdRule kLaterFamilies[] = {
    {Is(0xC8), kAny, kAny, 13},
    {Of(0x7F, 0x9D), Of(0x40, 0x60, 0x9D), kAny, 15},
    {Of(0x68, 0x0E), Is(0x40), Of(0x13, 0x11), 18},
    {Is(0xE0), Is(0x40), Is(0x10), 17},
    {Is(0xE0), Is(0x40), kAny, 16},
    {Is(0x85), Is(0x60), kAny, 20},
    {Is(0x0B), Is(0x40), Of(0x13, 0x12, 0x11), 19},
    {Is(0x68), Is(0x40), kAny, 18},
};

FlashType Lookup(std::span<const IdRule> rules, const std::array<std::uint8_t, 4>& m,
                 std::uint8_t probe) {
    for (const auto& r : rules) {
        if ((r.probes & probe) && r.m0(m[0]) && r.m1(m[1]) && r.m2(m[2]))
            return r.type;
    }
    return kNoFlash;
}

// A raw transaction clocking out one opcode, then a 4-byte read phase.
bool SpiReadId(const Target& t, std::uint8_t op, std::array<std::uint8_t, 4>& id) {
    const std::array<std::uint8_t, 3> args{0x01, 0x01, op};
    id = {};
    return SpiCommand(t, args) && SpiRead(t, id);
}

bool ReadId(const Target& t, std::uint8_t op, bool threeAddressBytes, std::size_t n,
            std::array<std::uint8_t, 4>& id) {
    id = {};
    return SerialFlashReadId(t, op, threeAddressBytes, std::span(id).first(n));
}

FlashProbe Found(FlashType type, const std::array<std::uint8_t, 4>& id) {
    return {type, id};
}

}  // namespace

FlashProbe ProbeFlashA(const Target& t) {
    std::array<std::uint8_t, 4> m{};
    if (SpiReadId(t, 0x9F, m)) {
        if (const FlashType type = Lookup(kManufacturers, m, kA); type != kNoFlash)
            return Found(type, m);
    }
    if (SpiReadId(t, 0x90, m) && m[3] == 0xBF)
        return Found(4, m);
    if (SpiReadId(t, 0xAB, m) && (m[3] == 0x9D || m[3] == 0x05))
        return Found(m[3] == 0x9D ? 3 : 5, m);
    if (SpiReadId(t, 0x15, m) && m[0] == 0x1F)
        return Found(6, m);
    if (ReadId(t, 0x15, false, 3, m) && m[0] == 0x1F)
        return Found(6, m);
    if (ReadId(t, 0xAB, true, 3, m) && m[0] == 0x05)
        return Found(5, m);
    return {};
}

FlashProbe ProbeFlashB(const Target& t) {
    std::array<std::uint8_t, 4> m{};
    if (ReadId(t, 0x9F, false, 4, m)) {
        if (const FlashType type = Lookup(kManufacturers, m, kB); type != kNoFlash)
            return Found(type, m);
    }
    if (ReadId(t, 0x90, false, 4, m) && m[3] == 0xBF)
        return Found(4, m);
    if (ReadId(t, 0xAB, true, 4, m) && (m[3] == 0x9D || m[3] == 0x05))
        return Found(m[3] == 0x9D ? 3 : 5, m);
    if (ReadId(t, 0x15, false, 4, m) && m[0] == 0x1F)
        return Found(6, m);
    if (ReadId(t, 0xAB, true, 4, m) && m[0] == 0x05)
        return Found(5, m);
    return {};
}

FlashProbe ProbeFlashC(const Target& t) {
    std::array<std::uint8_t, 4> m{};
    if (ReadId(t, 0x00, false, 4, m)) {
        if (const FlashType type = Lookup(kLaterFamilies, m, kAB); type != kNoFlash)
            return Found(type, m);
    }
    return {};
}

FlashType DetectFlashType(ChipKind kind, const Target& t) {
    if (kind == 8 || kind == 17)
        return kNoFlash;
    if (kind == 7 || kind == 18)
        return ProbeFlashA(t).type;
    std::array<std::uint8_t, 4> answer{};
    if (!Service23Read(t, answer))
        return kNoFlash;
    const std::uint8_t b = answer[0];
    FlashType type = b == 0 ? kNoFlash : static_cast<FlashType>(b + 2);
    if ((b == 0 || b == 3) && (kind == 13 || kind == 19 || kind == 20)) {
        if (const auto p = ProbeFlashA(t); p.found())
            type = p.type;
    }
    if (kind >= 21 && kind <= 24 && (type == kNoFlash || type == 5)) {
        if (const auto p = ProbeFlashB(t); p.found())
            type = p.type;
    }
    if (kind >= 25 && kind <= 29 && (type == kNoFlash || type == 3 || type == 5)) {
        if (const auto p = ProbeFlashC(t); p.found())
            type = p.type;
    }
    return type;
}

}  // namespace vq::bridge
