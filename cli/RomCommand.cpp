// "vqmp-cli rom": the firmware of the later bridge families (kinds 21 to 29) for engineers.
//   rom check FILE [--slot N | --path P]   what the file is and whether it fits a board
//   rom download --slot N [FILE]            manufacturing program when the board needs it,
//                                           the firmware, read-back and compare, activation
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "bridge/ChipIdentity.h"
#include "bridge/FirmwareImage.h"
#include "bridge/LaterImage.h"
#include "bridge/RomDownload.h"
#include "bridge/VendorCommands.h"
#include "cli/CliContext.h"
#include "platform/Terminal.h"
#include "run/Station.h"

namespace vq::cli {

namespace {

using Json = nlohmann::ordered_json;

struct RomOptions {
    std::string file;
    DeviceChoice device;
    std::string settingsFile;
};

// The settings, the panel they are loaded through and the station that refreshes with them.
class Session {
  public:
    explicit Session(Platform& p) : platform_(p), rules_(settings_, panel_, recorder_, p.home) {}

    bool load(const std::string& file) {
        if (file.empty())
            return true;
        Operator* const console = platform_.op;
        platform_.op = &recorder_;
        bool ok = false;
        try {
            ok = rules_.LoadSettings(std::filesystem::absolute(file)) &&
                 rules_.lastLoadOutcome() == LoadOutcome::Loaded;
        } catch (const LogDirectoryError& e) {
            std::cerr << "vqmp-cli: " << e.what() << "\n";
        }
        platform_.op = console;
        if (!ok) {
            for (const auto& m : recorder_.messages())
                std::cerr << "vqmp-cli: " << m.title << "|" << m.text << "\n";
        }
        return ok;
    }

    RunSettings& settings() { return settings_; }

    // The device path of a slot after a fresh refresh; empty when the slot has no device
    // (the wait for a board that comes back asks this quietly, once a second).
    std::string slotPath(int slot) {
        Operator* const console = platform_.op;
        platform_.op = &recorder_;
        if (!station_)
            station_ = std::make_unique<Station>(platform_, rules_);
        station_->DeviceRefresh();
        platform_.op = console;
        recorder_.clear();
        const std::size_t i = static_cast<std::size_t>(slot - 1);
        if (!station_->ports()[i].present)
            return {};
        const int entry = station_->deviceEntryOf(i);
        if (entry >= 0)
            return station_->devices()[static_cast<std::size_t>(entry)].interfacePath;
        return station_->ports()[i].diskPath;
    }

  private:
    Platform& platform_;
    RunSettings settings_;
    PanelModel panel_;
    RecordingOperator recorder_;
    SettingsPanel rules_;
    std::unique_ptr<Station> station_;
};

// The whole file into the firmware buffer; nullopt (with the reason on stderr) when it is
// unreadable, empty or longer than 262144 bytes.
std::optional<bridge::FirmwareImage> ReadFirmwareFile(const std::string& file) {
    bridge::FirmwareImage image;
    std::string message;
    if (bridge::LoadFirmwareImage(file, image, &message) != bridge::FirmwareLoadError::None) {
        std::cerr << "vqmp-cli: " << message << "\n";
        return std::nullopt;
    }
    return image;
}

// What the fit check of a kind 26 revision 2 image asks of the board itself.
struct BoardFacts {
    std::string version;
    bool firmwarePresent = false;
};
BoardFacts ReadBoardFacts(const bridge::Target& t, bridge::ChipKind kind) {
    BoardFacts b;
    bridge::FormatFirmwareVersion(kind, t, b.version);
    b.firmwarePresent = bridge::HasValidFirmware(t, kind, b.version);
    return b;
}

// Whether the image fits the board: the firmware file check for its chip, and the size
// its kind takes.
bool FitsBoard(const bridge::FirmwareImage& image, const bridge::Target& t,
               bridge::ChipIdentity chip) {
    const bridge::ChipKind kind = bridge::KindOf(chip);
    if (!bridge::IsLaterFamily(kind) || !bridge::LaterImageSizeFits(kind, image.length()))
        return false;
    const BoardFacts facts = ReadBoardFacts(t, kind);
    const bridge::Kind26Board board{t, facts.firmwarePresent};
    return bridge::FirmwareFitsChip(image, chip, board);
}

std::string ChipName(bridge::ChipIdentity chip) {
    const bridge::ChipKind kind = bridge::KindOf(chip);
    std::string s = Format("kind %u (v%s", kind, std::string(bridge::ChipNumber(kind)));
    if (kind == 26)
        s += Format(" revision %u", bridge::RevisionOf(chip));
    return s + ")";
}

// ---- rom check ------------------------------------------------------------------------

int RunCheck(CliContext& ctx, const RomOptions& o) {
    const auto image = ReadFirmwareFile(o.file);
    if (!image)
        return kExitFailed;
    const auto facts = bridge::DescribeLaterImage(image->bytes());

    std::optional<bridge::ChipIdentity> chip;
    bool fits = !facts.serves.empty();
    if (o.device.slot != 0 || !o.device.path.empty()) {
        std::string path;
        if (const int rc = ctx.resolveDevice("rom check", o.device, path); rc != kExitOk)
            return rc;
        Platform* p = ctx.bridgePlatform();
        if (!p)
            return kExitPlatform;
        const bridge::Transport transport(*p->scsi, *p->clock);
        const bridge::Target t{transport, path};
        chip = bridge::IdentifyChipWithRevision(t);
        fits = FitsBoard(*image, t, *chip);
    }
    const bool known = !facts.serves.empty();

    if (ctx.options().json) {
        Json serves = Json::array();
        for (auto s : facts.serves)
            serves.push_back(
                {{"chipKind", bridge::KindOf(s)}, {"revision", bridge::RevisionOf(s)}});
        Json banks = Json::array();
        for (int n = 0; n < facts.banks && facts.banks == 2; ++n)
            banks.push_back({{"header", facts.headerPresent[n]},
                             {"configChecksum", facts.configCrcOk[n]},
                             {"bankChecksum", Format("%08X", facts.bankCrc[n])}});
        Json out{{"file", o.file},       {"size", facts.size},  {"model", facts.modelText},
                 {"banks", facts.banks}, {"bankChecks", banks}, {"cloneMarker", facts.cloneMarker},
                 {"serves", serves}};
        if (chip) {
            out["device"] = {{"chipKind", bridge::KindOf(*chip)},
                             {"revision", bridge::RevisionOf(*chip)},
                             {"fits", fits}};
        }
        out["ok"] = known && fits;
        std::cout << out.dump(2) << "\n";
    } else {
        std::cout << "file: " << o.file << "\n";
        std::cout << "size: " << facts.size << " bytes\n";
        std::cout << "model: " << (facts.modelText.empty() ? "-" : facts.modelText) << "\n";
        std::cout << "banks: " << facts.banks << "\n";
        for (int n = 0; n < facts.banks && facts.banks == 2; ++n) {
            std::cout << Format(
                "bank %d: header %s, configuration checksum %s, bank checksum %08X\n", n,
                facts.headerPresent[n] ? "valid" : "absent",
                facts.configCrcOk[n] ? "ok" : "differs", facts.bankCrc[n]);
        }
        if (facts.banks == 2)
            std::cout << "clone marker: " << (facts.cloneMarker ? "yes" : "no") << "\n";
        std::cout << "serves:";
        if (facts.serves.empty())
            std::cout << " nothing (not a later-family image of a valid size)";
        for (auto s : facts.serves)
            std::cout << " " << ChipName(s);
        std::cout << "\n";
        if (chip) {
            std::cout << "device: " << ChipName(*chip) << ": " << (fits ? "fits" : "does not fit")
                      << "\n";
        }
    }
    return known && fits ? kExitOk : kExitFailed;
}

// ---- rom download ---------------------------------------------------------------------

// Progress of a download: a bar on a terminal, one line per phase and tenth otherwise.
class ProgressPrinter {
  public:
    explicit ProgressPrinter(bool quiet) : quiet_(quiet), bar_(HostStderrIsTerminal()) {}
    ~ProgressPrinter() { finish(); }

    void operator()(std::string_view phase, std::size_t done, std::size_t total) {
        if (quiet_ || total == 0)
            return;
        const int percent = static_cast<int>(done * 100 / total);
        if (phase != phase_) {
            finish();
            phase_ = std::string(phase);
            last_ = -10;
        }
        if (bar_) {
            const int filled = percent * 30 / 100;
            std::cerr << Format("\r%-9s [%s%s] %3d%%", phase_, std::string(filled, '#'),
                                std::string(30 - filled, '.'), percent)
                      << std::flush;
            open_ = true;
        } else if (percent / 10 != last_ / 10 || percent == 100) {
            if (percent != last_)
                std::cerr << phase_ << ": " << percent << "%\n";
        }
        last_ = percent;
    }

    void finish() {
        if (open_)
            std::cerr << "\n";
        open_ = false;
    }

  private:
    bool quiet_;
    bool bar_;
    bool open_ = false;
    std::string phase_;
    int last_ = -10;
};

bridge::LaterImageSettings ImageSettings(const RunSettings& s) {
    bridge::LaterImageSettings l;
    const auto text = [](const auto& field) {
        std::string t(field.begin(), field.end());
        return t.substr(0, t.find('\0'));
    };
    l.inquiryVendor = text(s.VendorText);
    l.inquiryProduct = text(s.ProductText);
    if (l.inquiryVendor.empty() && l.inquiryProduct.empty()) {
        // A settings file keeps the INQUIRY texts in the manufacturer string: 8 characters
        // of vendor text, then the product text.
        const std::string a = s.StringA.str();
        l.inquiryVendor = a.substr(0, std::min<std::size_t>(a.size(), 8));
        while (!l.inquiryVendor.empty() && l.inquiryVendor.back() == ' ')
            l.inquiryVendor.pop_back();
        l.inquiryProduct = a.size() > 8 ? a.substr(8, 16) : std::string();
    }
    l.manufacturer = s.StringC.str();
    l.product = s.StringB.str();
    l.manuProdSourceCtl = s.EnManuProdStrSourceCtl != 0;
    l.inquirySourceCtl = s.EnInquiryStrSourceCtl != 0;
    l.cloneProduct = s.EnCloneProduct != 0;
    l.standbyMinutes = s.StandbyTimer > 0 ? static_cast<std::uint32_t>(s.StandbyTimer) : 0;
    l.standbyEnabled = s.EnVQS671StandbyTime != 0;
    return l;
}

// The stamp of the identity record: day of the week, second and millisecond of the local
// time, and a random byte of 1 to 255.
bridge::IdentityStamp LocalStamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const std::tm local = *std::localtime(&t);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
    std::random_device seed;
    std::uniform_int_distribution<int> pick(1, 255);
    return {local.tm_wday, local.tm_sec, static_cast<int>(ms.count() % 1000),
            static_cast<std::uint8_t>(pick(seed))};
}

struct DownloadReport {
    std::string path;
    bridge::ChipIdentity chip = 0;
    bool stateKnown = false;  // the state below was read (a refused file is refused first)
    bool romState = false;
    bool programRunning = false;
    std::string manufacturingProgram;
    int attempts = 0;
    bool programmed = false;
    bool activated = false;
    bool cameBack = false;
    std::string firmwareVersion;
    bool firmwarePresent = false;
    std::string failure;
};

void PrintReport(const DownloadReport& r, bool json) {
    const bool ok = r.firmwarePresent && r.programmed && r.cameBack;
    if (json) {
        Json out{{"path", r.path},
                 {"chipKind", bridge::KindOf(r.chip)},
                 {"revision", bridge::RevisionOf(r.chip)},
                 {"romState", r.romState},
                 {"manufacturingProgram", r.manufacturingProgram},
                 {"attempts", r.attempts},
                 {"programmed", r.programmed},
                 {"activated", r.activated},
                 {"cameBack", r.cameBack},
                 {"firmwareVersion", r.firmwareVersion},
                 {"firmwarePresent", r.firmwarePresent},
                 {"failure", r.failure},
                 {"ok", ok}};
        std::cout << out.dump(2) << "\n";
        return;
    }
    std::cout << "device: " << r.path << " " << ChipName(r.chip) << "\n";
    if (r.stateKnown) {
        std::cout << "state: "
                  << (r.romState
                          ? "mask ROM"
                          : (r.programRunning ? "manufacturing program" : "running firmware"))
                  << "\n";
    }
    if (!r.manufacturingProgram.empty())
        std::cout << "manufacturing program: " << r.manufacturingProgram << "\n";
    std::cout << "attempts: " << r.attempts << "\n";
    std::cout << "programmed: " << (r.programmed ? "yes" : "no") << "\n";
    if (r.programmed) {
        std::cout << "came back: " << (r.cameBack ? "yes" : "no") << "\n";
        if (r.cameBack) {
            std::cout << "firmware: " << (r.firmwareVersion.empty() ? "-" : r.firmwareVersion)
                      << (r.firmwarePresent ? "" : " (no valid firmware)") << "\n";
        }
    }
    if (!r.failure.empty())
        std::cout << "failure: " << r.failure << "\n";
    std::cout << "result: " << (ok ? "PASS" : "FAIL") << "\n";
}

int RunDownload(CliContext& ctx, const RomOptions& o) {
    Platform* p = ctx.bridgePlatform();
    if (!p)
        return kExitPlatform;
    Session session(*p);
    if (!session.load(o.settingsFile))
        return kExitFailed;
    const RunSettings& s = session.settings();
    const std::string file = o.file.empty() ? s.FwFileName.str() : o.file;
    if (file.empty()) {
        std::cerr << "vqmp-cli: name a firmware file (or a settings file with FwFileName)\n";
        return kExitUsage;
    }
    const bool json = ctx.options().json;
    DownloadReport r;
    if (const int rc = ctx.resolveDevice("rom download", o.device, r.path); rc != kExitOk)
        return rc;
    const bridge::Transport transport(*p->scsi, *p->clock);
    const bridge::Target t{transport, r.path};
    r.chip = bridge::IdentifyChipWithRevision(t);
    const bridge::ChipKind kind = bridge::KindOf(r.chip);
    if (!bridge::IsLaterFamily(kind)) {
        std::cerr << "vqmp-cli: " << r.path << " is " << ChipName(r.chip)
                  << ", not a bridge of the later families (kinds 21 to 29)\n";
        return kExitFailed;
    }

    // Everything that can be refused is refused before the first byte goes out.
    const auto loaded = ReadFirmwareFile(file);
    if (!loaded)
        return kExitFailed;
    const auto facts = bridge::DescribeLaterImage(loaded->bytes());
    if (!FitsBoard(*loaded, t, r.chip)) {
        r.failure = Format("%s (%u bytes, model \"%s\") does not fit %s", file, loaded->length(),
                           facts.modelText, ChipName(r.chip));
        PrintReport(r, json);
        return kExitFailed;
    }
    bridge::LaterDownload job;
    if (!bridge::ReadLaterBridgeState(t, r.chip, job.state)) {
        r.failure = "the bridge does not answer its identification";
        PrintReport(r, json);
        return kExitFailed;
    }
    r.stateKnown = true;
    r.romState = job.state.romState;
    r.programRunning = job.state.programRunning;
    if (r.romState)
        r.manufacturingProgram =
            std::string(bridge::ManufacturingImageName(r.chip, job.state.identify));

    // The two words of the identity record come from the bridge's vendor page when it
    // answers one (a bridge in its mask ROM does not).
    bridge::IdentityValues identity;
    if (bridge::IsFirstLaterFamily(kind)) {
        std::array<std::uint8_t, bridge::kVpdC3Size> vpd{};
        if (bridge::InquiryVpdC3(t, vpd))
            identity = bridge::IdentityValuesFromVpd(vpd);
        identity.serial = s.String3.str();
    }

    const auto imageSettings = ImageSettings(s);
    std::vector<std::uint8_t> image(loaded->bytes().begin(), loaded->bytes().end());
    std::array<std::uint8_t, bridge::kSettingBlockSize> settingBlock{};
    if (bridge::IsFirstLaterFamily(kind)) {
        image.resize(bridge::kLaterImageSize, 0);
        bridge::PatchImageConfig(image, imageSettings);
        if (job.state.romState || job.state.programRunning)
            bridge::PatchImageHeader(image);
        if (!imageSettings.cloneProduct) {
            settingBlock = bridge::BuildSettingBlock(imageSettings);
            job.configBlock = settingBlock;
        }
    }
    job.source = image;
    job.firmwareUpdate = true;
    job.modeValue = s.EnPD != 0 ? 1 : 0;
    ProgressPrinter progress(json);
    job.progress = [&progress](std::string_view phase, std::size_t done, std::size_t total) {
        progress(phase, done, total);
    };
    r.programmed = bridge::ProgramLaterFamily(t, job);
    progress.finish();
    r.attempts = job.attempts;
    r.failure = job.failure;
    if (r.programmed && bridge::HasKind26Extra(kind, image.size()) &&
        !bridge::WriteKind26Extra(t, image)) {
        r.programmed = false;
        r.failure = "the 16 KiB at 0x10000 did not read back as written";
    }
    if (!r.programmed) {
        PrintReport(r, json);
        return kExitFailed;
    }

    if (bridge::IsFirstLaterFamily(kind) &&
        !bridge::SendIdentityRecord(t, LocalStamp(), identity)) {
        r.programmed = false;
        r.failure = "the bridge refused the identity record";
        PrintReport(r, json);
        return kExitFailed;
    }

    // Activation: the bridge leaves the bus and comes back with the new firmware.
    r.activated = bridge::ActivateFirmware(t);
    p->clock->sleepMs(500);
    const int tries = s.MPResetWait > 0 ? s.MPResetWait : 30;
    std::string path;
    for (int i = 0; i < tries && !r.cameBack; ++i) {
        p->clock->sleepMs(1000);
        path = o.device.path.empty() ? session.slotPath(o.device.slot) : o.device.path;
        r.cameBack = !path.empty() && bridge::IdentifyChip({transport, path}) != 0;
    }
    if (!r.cameBack) {
        r.failure = "the bridge did not come back after activation";
        PrintReport(r, json);
        return kExitFailed;
    }
    const BoardFacts back = ReadBoardFacts({transport, path}, kind);
    r.firmwareVersion = back.version;
    r.firmwarePresent = back.firmwarePresent;
    if (!r.firmwarePresent)
        r.failure = "the bridge reports no valid firmware after activation";
    PrintReport(r, json);
    return r.firmwarePresent ? kExitOk : kExitFailed;
}

}  // namespace

void AddRomCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto* rom = app.add_subcommand(
        "rom", "Firmware of the later bridge families (kinds 21 to 29): check a file, download it");
    rom->require_subcommand(1);

    auto check = std::make_shared<RomOptions>();
    auto* c = rom->add_subcommand(
        "check",
        "What a firmware file is (size, banks, model, the kinds it serves) and whether "
        "it fits the board named by --slot or --path (exit 0 when it does)");
    c->add_option("FILE", check->file, "Firmware file")->required();
    AddDeviceOptions(*c, check->device);
    c->callback([&ctx, &exitCode, check] { exitCode = RunCheck(ctx, *check); });

    auto dl = std::make_shared<RomOptions>();
    auto* d = rom->add_subcommand(
        "download",
        "Download a firmware file into one board: the manufacturing program when the board runs "
        "its mask ROM, the firmware, read-back and compare, activation (exit 0 when the board "
        "comes back running valid firmware)");
    d->add_option("FILE", dl->file, "Firmware file (default: FwFileName of the settings file)");
    AddDeviceOptions(*d, dl->device);
    d->add_option("--settings", dl->settingsFile,
                  "Settings file whose strings, standby time and options go into the image");
    d->callback([&ctx, &exitCode, dl] { exitCode = RunDownload(ctx, *dl); });
}

}  // namespace vq::cli
