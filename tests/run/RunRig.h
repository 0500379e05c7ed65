// An emulated station with a settings file, the station, the test log, the display and
// the run driver, for the production-run tests.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/PanelModel.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "base/Format.h"
#include "run/PortDisplay.h"
#include "run/RunDriver.h"
#include "run/Station.h"
#include "run/TestLog.h"
#include "tests/devices/StationRig.h"

namespace vq::test {

inline std::string ReadText(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline const LocalDateTime kFixedTime{2026, 12, 8, 4, 5, 6, 0, 2};

// A program folder of its own, removed at the end.
struct TempHome {
    std::filesystem::path path;
    TempHome() {
        static std::atomic<int> counter{0};
        path = std::filesystem::temp_directory_path() /
               Format("vqrun-%d-%d",
                      static_cast<int>(std::chrono::steady_clock::now().time_since_epoch().count() %
                                       1000000007),
                      counter++);
        std::filesystem::create_directories(path / "log");
    }
    ~TempHome() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

struct RunRig {
    TempHome home;
    StationRig rig;
    RunSettings settings;
    PanelModel panel;
    SettingsPanel rules{settings, panel, rig.op, home.path};
    std::unique_ptr<Station> station;
    std::unique_ptr<TestLog> log;
    PortDisplay display;
    std::unique_ptr<RunDriver> driver;

    // The shipped settings file with `keys` ("Section.Key" or "Key", first match) replaced.
    void loadSettings(const std::map<std::string, std::string>& keys) {
        std::ifstream in(std::filesystem::path(VQ_SOURCE_DIR) / "examples" / "VQMassProd.ini");
        std::string line;
        std::string section;
        std::string out;
        std::map<std::string, bool> used;
        while (std::getline(in, line)) {
            if (!line.empty() && line[0] == '[')
                section = line.substr(1, line.find(']') - 1);
            const auto eq = line.find('=');
            if (eq != std::string::npos && line[0] != ';') {
                const std::string key = line.substr(0, eq);
                for (const std::string& name : {section + "." + key, key}) {
                    auto it = keys.find(name);
                    if (it != keys.end() && !used[name]) {
                        used[name] = true;
                        line = key + "=" + it->second;
                        break;
                    }
                }
            }
            out += line + "\n";
        }
        const auto path = home.path / "run.ini";
        std::ofstream(path) << out;
        rules.LoadSettings(path);
        rig.op.clear();
    }

    // Bridges of `kind` on one root hub, ports 1.., each with one volume.
    std::vector<std::shared_ptr<sim::BridgeFunction>> bridges(
        int n, std::uint8_t kind = 19, sim::PortSpeed speed = sim::PortSpeed::Super,
        const std::function<void(int, sim::BridgeConfig&)>& adjust = {}) {
        rig.st().addRootHub("r", 16);
        std::vector<std::shared_ptr<sim::BridgeFunction>> out;
        for (int i = 1; i <= n; ++i) {
            sim::BridgeConfig c = StationRig::Config(Format("%012d", i), kind);
            c.defaultIdentity.vid = 0x7E8A;
            c.defaultIdentity.pid = 0x2429;
            c.defaultIdentity.manufacturer = "Velmora";
            c.defaultIdentity.product = "USB Disk";
            c.master->sectors = 64 * 2048;
            c.timing.resetDelayMs = 3000;  // longer than the first re-find attempt
            if (adjust)
                adjust(i, c);
            out.push_back(rig.bridge("r", static_cast<std::uint32_t>(i), c,
                                     {{static_cast<char>('D' + i - 1), 60}}, speed));
        }
        return out;
    }

    RunDriver& make() {
        station = std::make_unique<Station>(rig.platform(), rules);
        log = std::make_unique<TestLog>(home.path / "log", *rig.platform().clock);
        log->ChooseFile(kFixedTime);
        driver = std::make_unique<RunDriver>(*station, *log, display, [] { return kFixedTime; });
        return *driver;
    }

    // The refresh and START.
    void start() {
        driver->RefreshBtnClick();
        driver->ExecuteBtnClick();
    }

    const PortRecord& port(int slot) const {
        return station->ports()[static_cast<std::size_t>(slot - 1)];
    }
    std::string logText() const { return ReadText(log->currentFile()); }
};

}  // namespace vq::test
