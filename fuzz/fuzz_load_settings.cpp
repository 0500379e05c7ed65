// LoadSettings on an arbitrary settings file: the load with every panel rule it runs, then
// CollectPanelSettings and SaveSettings over a copy of the file (as "Save INI" over the loaded
// file does, so the keys that are read but not saved survive), and a second load and collect
// of the saved file, which must give the same settings again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/Operator.h"

namespace fs = std::filesystem;

namespace {

void Check(bool ok) {
    if (!ok)
        __builtin_trap();
}

const fs::path& Home() {
    static const fs::path home = [] {
        std::random_device rd;
        fs::path p = fs::temp_directory_path() / ("vq_fuzz_load_" + std::to_string(rd()));
        fs::create_directories(p);
        return p;
    }();
    return home;
}

struct Station {
    vq::RunSettings s;
    vq::PanelModel p;
    vq::RecordingOperator op;
    vq::SettingsPanel panel{s, p, op, Home()};
};

// Every key's value as SaveSettings writes it, without the ones a fresh station may differ in.
std::string Keys(const vq::RunSettings& s) {
    std::string r;
    for (const auto& kv : vq::AllKeyValues(s))
        r += kv.section + "." + kv.key + "=" + kv.value + "\n";
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path in = Home() / "fuzz.ini";
    const fs::path out = Home() / "saved.ini";
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ec;
    fs::copy_file(in, out, fs::copy_options::overwrite_existing, ec);

    Station first;
    first.panel.LoadSettings(in);
    if (first.panel.lastLoadOutcome() != vq::LoadOutcome::Loaded)
        return 0;
    first.panel.CollectPanelSettings();
    Check(first.panel.SaveSettings(out));

    Station second;
    second.panel.LoadSettings(out);
    Check(second.panel.lastLoadOutcome() == vq::LoadOutcome::Loaded);
    second.panel.CollectPanelSettings();
    if (Keys(first.s) != Keys(second.s)) {
        if (const char* dump = std::getenv("VQ_FUZZ_DUMP")) {
            std::ofstream(std::string(dump) + ".first") << Keys(first.s);
            std::ofstream(std::string(dump) + ".second") << Keys(second.s);
        }
        __builtin_trap();
    }
    return 0;
}
