// "vqmp-cli config": the configuration block a board holds, read and decoded, or written
// from a settings file as a production run writes it.
#include <CLI/CLI.hpp>
#include <array>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "base/Format.h"
#include "bridge/ConfigWriters.h"
#include "bridge/VendorCommands.h"
#include "cli/BoardSession.h"

namespace vq::cli {

namespace {

struct ConfigOptions {
    DeviceChoice device;
    std::string out;
    std::string settingsFile;
};

// Where a board keeps its configuration, as far as it can be read without writing to it.
struct HeldConfig {
    std::string place;
    std::vector<std::uint8_t> bytes;  // the block (128 or 256 bytes), or the parallel fields
    bool parallel = false;
};

std::optional<HeldConfig> ReadHeldConfig(const bridge::Target& t, bridge::ChipKind kind) {
    HeldConfig h;
    bool ok = false;
    if (kind == 30 || kind == 35) {
        h.place = "parallel flash 0x4000";
        h.parallel = true;
        h.bytes.resize(0x200);
        ok = bridge::ParallelFlashEnter(t) && bridge::ParallelFlashRead(t, 0x4000, h.bytes);
    } else if (kind == 19 || kind == 20) {
        h.place = "memory 0xC000";
        h.bytes.resize(256);
        ok = bridge::ReadMemory(t, 0xC000, h.bytes);
    } else if (kind >= 11 && kind <= 13) {
        h.place = "memory 0";
        h.bytes.resize(128);
        ok = bridge::ReadMemory(t, 0, h.bytes);
    } else if (kind == 9) {
        h.place = "serial flash 0";
        h.bytes.resize(128);
        ok = bridge::SerialFlashRead(t, 0, h.bytes);
    } else if (kind >= 21 && kind <= 29) {
        return std::nullopt;
    } else if (bridge::ConfigInFlash(kind, t, 0, false)) {
        h.place = "serial flash 0x8000";
        h.bytes.resize(128);
        ok = bridge::SerialFlashRead(t, 0x8000, h.bytes);
    } else {
        h.place = "EEPROM";
        h.bytes.resize(128);
        ok = bridge::ReadMemory(t, 0, h.bytes);
    }
    if (!ok)
        return std::nullopt;
    return h;
}

// A string descriptor: one byte per character, or two (the character and a zero).
std::string Descriptor(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t maxChars,
                       bool oneByte) {
    if (at + 2 > b.size() || b[at + 1] != 3 || b[at] < 2)
        return {};
    const std::size_t n = std::min<std::size_t>((b[at] - 2) / 2, maxChars);
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t p = at + 2 + (oneByte ? i : 2 * i);
        if (p >= b.size() || b[p] == 0)
            break;
        s.push_back(static_cast<char>(b[p]));
    }
    return s;
}

struct Decoded {
    std::string layout;
    std::uint16_t vid = 0, pid = 0;
    std::string manufacturer, product, serial;
    int optionByte = -1;
    int usbOptions = -1;
};

// The layouts as a board tells them apart: a USB device descriptor at the start, else the
// position of the product string's type byte.
Decoded Decode(const HeldConfig& h) {
    Decoded d;
    const auto& b = h.bytes;
    if (h.parallel) {
        d.layout = "parallel flash";
        d.vid = GetLE16(b, 8);
        d.pid = GetLE16(b, 10);
        const bool one = b[0xA0 + 3] != 0 || b[0xA0] == 0;  // one-byte descriptors have no zeros
        d.manufacturer = Descriptor(b, 0xA0, 31, one);
        d.product = Descriptor(b, 0xE0, 31, b[0xE0 + 3] != 0);
        d.serial = Descriptor(b, 0x120, 31, b[0x120 + 3] != 0);
        return d;
    }
    if (b[0] == 0x12 && b[1] == 0x01) {
        d.layout = "Type 1 (device descriptor)";
        d.vid = GetLE16(b, 8);
        d.pid = GetLE16(b, 10);
        d.manufacturer = Descriptor(b, 20, 21, false);
        d.product = Descriptor(b, 64, 21, false);
        d.serial = Descriptor(b, 96, 13, false);
    } else if (b[49] == 3) {
        d.layout = "Type 3 (compact)";
        d.vid = GetLE16(b, 0);
        d.pid = GetLE16(b, 2);
        d.manufacturer = Descriptor(b, 12, 30, true);
        d.product = Descriptor(b, 48, 30, true);
        d.serial = Descriptor(b, 84, 30, true);
        d.optionByte = b[10];
    } else if (b[53] == 3) {
        d.layout = "Type 2";
        d.vid = GetLE16(b, 0);
        d.pid = GetLE16(b, 2);
        d.manufacturer = Descriptor(b, 12, 18, false);
        d.product = Descriptor(b, 52, 21, false);
        d.serial = Descriptor(b, 96, 13, false);
    } else {
        d.layout = "blank or unknown";
        return d;
    }
    d.usbOptions = b[kUsbOptionByte];
    if (b.size() >= 224 && b[200] != 0 && b[200] != 0xFF) {
        d.manufacturer.clear();
        for (std::size_t i = 200; i < 224 && b[i] != 0 && b[i] != 0xFF; ++i)
            d.manufacturer.push_back(static_cast<char>(b[i]));
    }
    return d;
}

std::string HexText(const std::vector<std::uint8_t>& b) {
    std::string s;
    for (auto x : b)
        s += Format("%02X", x);
    return s;
}

int RunRead(CliContext& ctx, const ConfigOptions& o) {
    BoardSession session(ctx);
    if (const int rc = session.open("", "config read"); rc != kExitOk)
        return rc;
    int rc = kExitOk;
    int slot = 0;
    const PortRecord* r = session.board(o.device, "config read", rc, slot);
    if (!r)
        return rc;
    const auto held =
        ReadHeldConfig(session.target(*r), static_cast<bridge::ChipKind>(r->chipKind));
    if (!held) {
        std::cerr << "vqmp-cli config read: cannot read the configuration of slot " << slot
                  << " (ChipKind " << int(r->chipKind) << ")\n";
        return kExitFailed;
    }
    if (!o.out.empty()) {
        std::ofstream f(o.out, std::ios::binary);
        f.write(reinterpret_cast<const char*>(held->bytes.data()),
                static_cast<std::streamsize>(held->bytes.size()));
        if (!f) {
            std::cerr << "vqmp-cli config read: cannot write " << o.out << "\n";
            return kExitFailed;
        }
    }
    const Decoded d = Decode(*held);
    if (ctx.options().json) {
        nlohmann::ordered_json j{{"slot", slot},
                                 {"chipKind", int(r->chipKind)},
                                 {"place", held->place},
                                 {"layout", d.layout},
                                 {"VID", Format("%04X", d.vid)},
                                 {"PID", Format("%04X", d.pid)},
                                 {"StringA", d.manufacturer},
                                 {"StringB", d.product},
                                 {"String3", d.serial},
                                 {"optionByte", d.optionByte},
                                 {"usbOptions", d.usbOptions},
                                 {"hex", HexText(held->bytes)}};
        std::cout << j.dump(2) << "\n";
        return kExitOk;
    }
    std::cout << "slot=" << slot << "\nchipKind=" << int(r->chipKind) << "\nplace=" << held->place
              << "\nlayout=" << d.layout << Format("\nVID=%04X\nPID=%04X\n", d.vid, d.pid)
              << "StringA=" << d.manufacturer << "\nStringB=" << d.product
              << "\nString3=" << d.serial << "\n";
    if (d.optionByte >= 0)
        std::cout << Format("optionByte=%02X\n", d.optionByte);
    if (d.usbOptions >= 0)
        std::cout << Format("usbOptions=%02X\n", d.usbOptions);
    std::cout << "config=" << HexText(held->bytes) << "\n";
    return kExitOk;
}

int RunWrite(CliContext& ctx, const ConfigOptions& o) {
    BoardSession session(ctx);
    if (const int rc = session.open(o.settingsFile, "config write"); rc != kExitOk)
        return rc;
    session.flushMessages(std::cerr);
    int rc = kExitOk;
    int slot = 0;
    const PortRecord* r = session.board(o.device, "config write", rc, slot);
    if (!r)
        return rc;
    const bridge::ChipKind kind = static_cast<bridge::ChipKind>(r->chipKind);
    const bridge::FirmwareImage none;
    const bridge::BoardJob job = session.job(*r, true, false, none);
    bridge::UpdateContext uc;
    uc.op = &session.recorder();
    bridge::Route route = bridge::Route::None;
    const bool ok = bridge::ProgramBoard(session.target(*r), job, none, uc, &route);
    session.flushMessages(std::cerr);
    if (route == bridge::Route::LaterFamily) {
        std::cerr << "vqmp-cli config write: ChipKind " << int(kind)
                  << " takes its configuration with the manufacturing ROM download\n";
        return kExitFailed;
    }
    std::cout << "slot " << slot << ": ChipKind " << int(kind) << ", " << bridge::RouteName(route)
              << ": " << (ok ? "written and verified" : "FAILED") << "\n";
    if (!ok)
        return kExitFailed;
    if (!session.resetAndRefind(slot)) {
        std::cerr << "vqmp-cli config write: slot " << slot
                  << " did not come back after the reset\n";
        return kExitFailed;
    }
    session.recorder().clear();
    const PortRecord& back = session.station().ports()[static_cast<std::size_t>(slot - 1)];
    std::cout << Format("slot %d after reset: VID %04X  PID %04X  serial %s\n", slot, back.vid,
                        back.pid, back.serial.empty() ? "-" : back.serial);
    return kExitOk;
}

}  // namespace

void AddConfigCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* config = app.add_subcommand("config", "Read or write the configuration block of a board");
    config->require_subcommand(1);
    auto ro = std::make_shared<ConfigOptions>();
    auto* read = config->add_subcommand(
        "read", "Print (or save) the configuration block a board holds, decoded and as hex");
    AddDeviceOptions(*read, ro->device);
    read->add_option("--out", ro->out, "Save the block's bytes to this file");
    read->callback([&ctx, &exitCode, ro] { exitCode = RunRead(ctx, *ro); });

    auto wo = std::make_shared<ConfigOptions>();
    auto* write = config->add_subcommand(
        "write",
        "Build the configuration from a settings file as a run does, write and verify it, "
        "then reset the board and wait for its new identity");
    AddDeviceOptions(*write, wo->device);
    write->add_option("--settings", wo->settingsFile, "Settings file (INI)")->required();
    write->callback([&ctx, &exitCode, wo] { exitCode = RunWrite(ctx, *wo); });
}

}  // namespace vq::cli
