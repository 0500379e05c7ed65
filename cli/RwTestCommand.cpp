// "vqmp-cli rwtest": the read/write step of one port (warm-up, measured run, flushes,
// minimum rates) or the read/write test in any folder, printing both rates.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "base/Format.h"
#include "cli/CliContext.h"
#include "cli/PortVolume.h"
#include "disk/ReadWriteTest.h"
#include "disk/TestPattern.h"
#include "platform/FileService.h"

namespace vq::cli {

namespace {

struct RwTestOptions {
    int slot = 0;
    std::string path;
    std::string settingsFile;
    std::string pattern;
};

const char* ResultText(std::int32_t r) {
    switch (r) {
        case 1:
            return "Pass";
        case 3:
            return "N/A";
        case 4:
            return "Unmatched";
        default:
            return "Fail";
    }
}

int RunRwTest(CliContext& ctx, const RwTestOptions& o) {
    if ((o.slot != 0) == !o.path.empty()) {
        std::cerr << "vqmp-cli: rwtest needs exactly one of --slot N and --path P\n";
        return kExitUsage;
    }
    int exit = kExitOk;
    auto session = PortSession::Open(ctx, o.slot != 0, o.settingsFile, &exit);
    if (!session)
        return exit;
    Platform& p = session->platform();
    RunSettings& s = session->settings();

    // The pattern: --pattern, else the settings' file, else a block of zeros.
    PatternBlock zeros{};
    std::shared_ptr<const PatternBlock> pattern;
    const std::string patternFile = !o.pattern.empty() ? o.pattern : s.WriteFileName.str();
    if (patternFile.empty()) {
        std::cerr << "vqmp-cli: no pattern file (WriteFileName or --pattern): testing with zeros\n";
        pattern = std::shared_ptr<const PatternBlock>(&zeros, [](const PatternBlock*) {});
    } else {
        TestPatternStore store;
        std::uint32_t error = 0;
        pattern = store.get(*p.files, patternFile, &error);
        if (!pattern) {
            std::cerr << "vqmp-cli: cannot read the pattern file " << patternFile << " (error "
                      << error << ")\n";
            return kExitFailed;
        }
    }

    ReadWriteStepInput in;
    in.rwDataSize = s.RWDataSize;
    in.perfShift = s.PerfShift;
    in.minReadRate = s.USBReadPerformance;
    in.minWriteRate = s.USBWritePerformance;
    std::optional<PortSession::Port> port;
    if (o.slot != 0) {
        port = session->port(o.slot);
        if (!port)
            return kExitFailed;
        in.volumeRoot = port->root;
        in.usbSpeed = port->usbSpeed;
    } else {
        in.volumeRoot = std::filesystem::path(o.path);
    }
    std::mutex lock;
    ReadWriteStepHooks hooks{lock,
                             [&] {
                                 if (port)
                                     session->flushCache(*port);
                             },
                             {}};
    const ReadWriteStepResult r = RunReadWriteStep(p, *pattern, in, hooks);
    const std::int32_t size = MeasuredSizeMiB(in.rwDataSize, in.usbSpeed);

    if (ctx.options().json) {
        nlohmann::ordered_json j{
            {"folder", in.volumeRoot->string()}, {"sizeMiB", ReadWriteTestBytes(size) >> 20},
            {"writeMBs", r.stored.write},        {"readMBs", r.stored.read},
            {"belowMinimum", r.belowMinimum},    {"result", ResultText(r.result)}};
        if (o.slot != 0)
            j["slot"] = o.slot;
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << Format("folder: %s\nsize: %I64u MiB\nwrite: %.2f MB/s\nread: %.2f MB/s\n",
                            in.volumeRoot->string(), ReadWriteTestBytes(size) >> 20, r.stored.write,
                            r.stored.read);
        if (r.belowMinimum)
            std::cout << Format("minimum: read %d MB/s, write %d MB/s\n", in.minReadRate,
                                in.minWriteRate);
        std::cout << "result: " << ResultText(r.result) << "\n";
    }
    return r.result == 1 ? kExitOk : kExitFailed;
}

}  // namespace

void AddRwTestCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<RwTestOptions>();
    auto* sub = app.add_subcommand(
        "rwtest",
        "Run the read/write test of one port (--slot) or in one folder (--path) with the "
        "settings' size, PerfShift and minimum rates; print both rates (exit 0 on Pass)");
    sub->add_option("--slot", o->slot, "Slot of the port, as 'scan' prints it (1 to 16)")
        ->check(CLI::Range(1, static_cast<int>(kPortSlots)));
    sub->add_option("--path", o->path, "Folder (a volume's root) to test in instead of a port");
    sub->add_option("--settings", o->settingsFile,
                    "Settings file (default: built-in defaults, 2 MiB, no minimums)");
    sub->add_option("--pattern", o->pattern, "Pattern file (default: the settings' WriteFileName)");
    sub->callback([&ctx, &exitCode, o] { exitCode = RunRwTest(ctx, *o); });
}

}  // namespace vq::cli
