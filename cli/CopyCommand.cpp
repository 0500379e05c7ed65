// "vqmp-cli copy": the software copy step of one port, optionally followed by its folder
// compare; "vqmp-cli compare": the folder compare of any two folders of the machine.
#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/CliContext.h"
#include "cli/PortVolume.h"
#include "disk/FolderCompare.h"
#include "disk/SoftwareCopy.h"
#include "platform/FileService.h"

namespace vq::cli {

namespace {

struct CopyOptions {
    int slot = 0;
    std::string from;
    std::string settingsFile;
    std::string dst;
    bool dstGiven = false;
    bool compare = false;
    bool advanced = false;
};

struct CompareOptions {
    std::string first;
    std::string second;
    bool advanced = false;
};

const char* StepText(std::int32_t r) {
    return r == 1 ? "Pass" : r == 0 ? "" : "Fail";
}

int RunCopy(CliContext& ctx, const CopyOptions& o) {
    int exit = kExitOk;
    auto session = PortSession::Open(ctx, true, o.settingsFile, &exit);
    if (!session)
        return exit;
    Platform& p = session->platform();
    RunSettings& s = session->settings();
    const std::string fromText = o.from.empty() ? s.SwImgPath.str() : o.from;
    if (fromText.empty()) {
        std::cerr << "vqmp-cli: copy needs --from DIR (or SwImgPath in the settings)\n";
        return kExitUsage;
    }
    const auto port = session->port(o.slot);
    if (!port)
        return kExitFailed;

    SoftwareStepInput in;
    in.volumeRoot = port->root;
    in.copySource = MakeCopySource(*p.files, fromText);
    in.dstFolder = o.dstGiven ? o.dst : s.SwDstFolder.str();
    const bool advanced = o.advanced || s.bAdvenceCompare != 0;
    // The counts are taken before the copy, as the run driver takes them at START.
    FolderCounts counts = CountSource(p, in.copySource, advanced);
    counts.timeWindow = TimeWindowOf(port->fileSystem);

    std::string failure;
    std::uint32_t lastTenth = 0;
    const auto progress = [&](const CopyProgress& pr) {
        const std::uint32_t tenth =
            pr.bytesTotal ? static_cast<std::uint32_t>(pr.bytesDone * 10 / pr.bytesTotal) : 10;
        if (tenth > lastTenth && !ctx.options().json) {
            lastTenth = tenth;
            std::cerr << "copy: " << pr.filesDone << " of " << pr.filesTotal << " files, "
                      << tenth * 10 << " %\n";
        }
        return true;
    };
    const std::int32_t copied = RunCopyStep(
        p, in, [&] { session->flushCache(*port); }, progress, &failure);
    std::int32_t compared = 0;
    std::string difference;
    if (o.compare)
        compared = RunCompareStep(p, {copied != 1, in.volumeRoot, in.copySource, in.dstFolder},
                                  counts, &difference);

    if (ctx.options().json) {
        nlohmann::ordered_json j{{"slot", o.slot},
                                 {"source", CompareSourceOf(in.copySource)},
                                 {"destination", ResolveDestination(port->root, in.dstFolder)
                                                     .value_or(std::filesystem::path())
                                                     .string()},
                                 {"copy", StepText(copied)},
                                 {"failure", failure}};
        if (o.compare) {
            j["compare"] = StepText(compared);
            j["difference"] = difference;
        }
        std::cout << j.dump(2) << "\n";
    } else {
        std::cout << "source: " << CompareSourceOf(in.copySource) << "\n";
        if (const auto d = ResolveDestination(port->root, in.dstFolder))
            std::cout << "destination: " << d->string() << "\n";
        std::cout << "copy: " << StepText(copied) << "\n";
        if (!failure.empty())
            std::cout << "failure: " << failure << "\n";
        if (o.compare) {
            std::cout << "compare: " << StepText(compared) << "\n";
            if (!difference.empty())
                std::cout << "difference: " << difference << "\n";
        }
    }
    return copied == 1 && (!o.compare || compared == 1) ? kExitOk : kExitFailed;
}

int RunCompare(CliContext& ctx, const CompareOptions& o) {
    Platform* p = ctx.platform();
    if (!p)
        return kExitPlatform;
    if (!p->files) {
        std::cerr << "vqmp-cli: the platform " << p->name << " offers no file service\n";
        return kExitPlatform;
    }
    FolderCounts counts;
    std::string difference;
    int same = 0;
    if (!WalkFolder(*p, o.first, {}, 0, counts, &difference)) {
        difference = difference.empty() ? o.first + ": cannot be read" : difference;
    } else {
        counts.advanced = o.advanced ? 1 : 0;
        // Report the difference once, on stdout, rather than as a message box.
        RecordingOperator quiet;
        Operator* const console = p->op;
        p->op = &quiet;
        same = CompareFolders(*p, o.first, o.second, counts, &difference);
        p->op = console;
    }
    if (ctx.options().json) {
        nlohmann::ordered_json j{{"same", same == 1},
                                 {"folders", counts.folders},
                                 {"files", counts.files},
                                 {"difference", difference}};
        std::cout << j.dump(2) << "\n";
    } else if (same) {
        std::cout << "same: " << counts.folders << " folders, " << counts.files << " files\n";
    } else {
        std::cout << "difference: " << difference << "\n";
    }
    return same ? kExitOk : kExitFailed;
}

}  // namespace

void AddCopyCommand(CLI::App& app, CliContext& ctx, int& exitCode) {
    auto o = std::make_shared<CopyOptions>();
    auto* sub = app.add_subcommand(
        "copy",
        "Copy a software folder to one port's volume (the settings' Dest. Dir.), flush, and "
        "with --compare check the copy; prints the first difference (exit 0 when all passed)");
    sub->add_option("--slot", o->slot, "Slot of the port, as 'scan' prints it (1 to 16)")
        ->required()
        ->check(CLI::Range(1, static_cast<int>(kPortSlots)));
    sub->add_option("--from", o->from, "Source folder, or a file in it (default: SwImgPath)");
    sub->add_option("--settings", o->settingsFile, "Settings file (default: built-in defaults)");
    sub->add_option_function<std::string>(
        "--dst",
        [o](const std::string& v) {
            o->dst = v;
            o->dstGiven = true;
        },
        "Destination folder on the volume (default: the settings' SwDstFolder)");
    sub->add_flag("--compare", o->compare, "Compare the copy with the source afterwards");
    sub->add_flag("--advanced", o->advanced, "Compare file contents too (bAdvenceCompare)");
    sub->callback([&ctx, &exitCode, o] { exitCode = RunCopy(ctx, *o); });

    auto c = std::make_shared<CompareOptions>();
    auto* cmp = app.add_subcommand(
        "compare",
        "Compare two folders as the station's folder compare does: the same folders and "
        "files, names, sizes and write times, with --advanced the contents; prints the first "
        "difference (exit 0 when the same)");
    cmp->add_option("DIR1", c->first, "Source folder")->required();
    cmp->add_option("DIR2", c->second, "Folder to check against it")->required();
    cmp->add_flag("--advanced", c->advanced, "Compare file contents byte for byte");
    cmp->callback([&ctx, &exitCode, c] { exitCode = RunCompare(ctx, *c); });
}

}  // namespace vq::cli
