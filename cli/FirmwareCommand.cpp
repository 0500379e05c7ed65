// "vqmp-cli firmware": whether a firmware file fits the boards, and the firmware update of
// one board through the route a production run takes for it.
#include <CLI/CLI.hpp>
#include <array>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/Format.h"
#include "bridge/ChipIdentity.h"
#include "bridge/FirmwareImage.h"
#include "bridge/VendorCommands.h"
#include "cli/BoardSession.h"

namespace vq::cli {

namespace {

struct FirmwareOptions {
    std::string file;
    DeviceChoice device;
    std::string settingsFile;
};

bool Load(const std::string& file, bridge::FirmwareImage& image, const char* command) {
    std::string message;
    if (bridge::LoadFirmwareImage(file, image, &message) != bridge::FirmwareLoadError::None) {
        std::cerr << "vqmp-cli " << command << ": " << message << "\n";
        return false;
    }
    return true;
}

bridge::Kind26Board FirstKind26(BoardSession& s) {
    for (const PortRecord& r : s.station().ports()) {
        if (r.present && r.chipKind == 26)
            return {s.target(r), r.firmwarePresent != 0};
    }
    return {};
}

int RunCheck(CliContext& ctx, const FirmwareOptions& o) {
    bridge::FirmwareImage image;
    if (!Load(o.file, image, "firmware check"))
        return kExitFailed;
    BoardSession session(ctx);
    if (const int rc = session.open(o.settingsFile, "firmware check"); rc != kExitOk)
        return rc;
    std::vector<int> slots;
    if (o.device.slot != 0 || !o.device.path.empty()) {
        int rc = kExitOk;
        int slot = 0;
        if (!session.board(o.device, "firmware check", rc, slot))
            return rc;
        slots.push_back(slot);
    } else {
        for (std::size_t i = 0; i < kPortSlots; ++i) {
            const PortRecord& r = session.station().ports()[i];
            if (r.present && r.usable)
                slots.push_back(static_cast<int>(i + 1));
        }
    }
    if (slots.empty()) {
        std::cerr << "vqmp-cli firmware check: no board to check against\n";
        return kExitFailed;
    }
    bool all = true;
    auto list = nlohmann::ordered_json::array();
    for (int n : slots) {
        const PortRecord& r = session.station().ports()[static_cast<std::size_t>(n - 1)];
        const bridge::ChipIdentity chip = bridge::IdentifyChipWithRevision(session.target(r));
        const bridge::ChipKind kind = bridge::KindOf(chip);
        const bool fits = bridge::FirmwareFitsChip(image, chip, FirstKind26(session));
        all = all && fits;
        const std::string model = bridge::FirmwareModelText(
            kind, image.buffer().subspan(bridge::FirmwareProbeOffset(kind), 10));
        const std::string rule = bridge::FirmwareFitRule(chip);
        if (ctx.options().json) {
            list.push_back({{"slot", n},
                            {"chipKind", kind},
                            {"revision", bridge::RevisionOf(chip)},
                            {"fits", fits},
                            {"modelText", model},
                            {"wants", rule}});
        } else {
            std::cout << Format(
                "slot %d: ChipKind %u revision %u: %s (model text \"%s\"; the chip "
                "takes %s)\n",
                n, kind, bridge::RevisionOf(chip), fits ? "fits" : "does not fit", model, rule);
        }
    }
    if (ctx.options().json)
        std::cout << nlohmann::ordered_json{{"file", o.file},
                                            {"length", image.length()},
                                            {"clone", bridge::IsCloneFirmware(image)},
                                            {"boards", list}}
                         .dump(2)
                  << "\n";
    return all ? kExitOk : kExitFailed;
}

int RunUpdate(CliContext& ctx, const FirmwareOptions& o) {
    bridge::FirmwareImage image;
    if (!Load(o.file, image, "firmware update"))
        return kExitFailed;
    BoardSession session(ctx);
    if (const int rc = session.open(o.settingsFile, "firmware update"); rc != kExitOk)
        return rc;
    session.flushMessages(std::cerr);
    int rc = kExitOk;
    int slot = 0;
    const PortRecord* r = session.board(o.device, "firmware update", rc, slot);
    if (!r)
        return rc;
    // What a run checks before it touches a board: the clone marker and the fit.
    if (!bridge::CheckCloneMarker(image, session.settings().EnCloneProduct != 0,
                                  &session.recorder())) {
        session.flushMessages(std::cerr);
        return kExitFailed;
    }
    const bridge::ChipIdentity chip = bridge::IdentifyChipWithRevision(session.target(*r));
    if (!bridge::FirmwareFitsChip(image, chip, FirstKind26(session))) {
        std::cerr << "vqmp-cli firmware update: Firmware File not support all chips! (slot " << slot
                  << " takes " << bridge::FirmwareFitRule(chip) << ")\n";
        return kExitFailed;
    }
    const bridge::BoardJob job = session.job(*r, false, true, image);
    ProgressDisplay progress(Format("slot %d", slot));
    bridge::UpdateContext uc;
    uc.op = &session.recorder();
    uc.diagnostics = session.platform().diagnostics;
    uc.progress = [&progress](std::size_t done, std::size_t total) { progress(done, total); };
    bridge::Route route = bridge::Route::None;
    const bool ok = bridge::ProgramBoard(session.target(*r), job, image, uc, &route);
    progress.finish();
    session.flushMessages(std::cerr);
    if (route == bridge::Route::LaterFamily) {
        std::cerr << "vqmp-cli firmware update: ChipKind " << int(r->chipKind)
                  << " takes its firmware with the manufacturing ROM download\n";
        return kExitFailed;
    }
    std::cout << "slot " << slot << ": ChipKind " << int(r->chipKind) << ", "
              << bridge::RouteName(route) << ": " << (ok ? "written and verified" : "FAILED")
              << "\n";
    if (!ok)
        return kExitFailed;
    if (!session.resetAndRefind(slot)) {
        std::cerr << "vqmp-cli firmware update: slot " << slot
                  << " did not come back after the reset\n";
        return kExitFailed;
    }
    session.recorder().clear();
    const PortRecord& back = session.station().ports()[static_cast<std::size_t>(slot - 1)];
    // Whether the board now reports the version the file carries (where files of its kind
    // carry one).
    std::array<std::uint8_t, 16> answer{};
    const bool identified =
        bridge::IdentifyBridge(session.target(back), answer) && bridge::IsIdentifyAnswer(answer);
    const bool same = identified && bridge::ReportsImageVersion(answer, back.chipKind, image);
    std::cout << "slot " << slot << " after reset: firmware "
              << (back.firmwareVersion.empty() ? "-" : back.firmwareVersion)
              << (same ? " (the file's version)" : " (not the version the file carries)") << "\n";
    return kExitOk;
}

}  // namespace

void AddFirmwareCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* fw = app.add_subcommand("firmware", "Check a firmware file or update a board with it");
    fw->require_subcommand(1);
    auto co = std::make_shared<FirmwareOptions>();
    auto* check = fw->add_subcommand(
        "check", "Whether a firmware file fits the chip of a board (or of every board)");
    check->add_option("file", co->file, "Firmware file")->required();
    AddDeviceOptions(*check, co->device);
    check->add_option("--settings", co->settingsFile, "Settings file to refresh with");
    check->callback([&ctx, &exitCode, co] { exitCode = RunCheck(ctx, *co); });

    auto uo = std::make_shared<FirmwareOptions>();
    auto* update = fw->add_subcommand(
        "update",
        "Write a firmware file into a board the way a production run does, verify it, "
        "reset the board and show the firmware it then runs");
    update->add_option("file", uo->file, "Firmware file")->required();
    AddDeviceOptions(*update, uo->device);
    update->add_option("--settings", uo->settingsFile,
                       "Settings file (flash type, clone option, EEPROM-only production)");
    update->callback([&ctx, &exitCode, uo] { exitCode = RunUpdate(ctx, *uo); });
}

}  // namespace vq::cli
