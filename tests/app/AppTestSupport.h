// A settings panel on a fresh program folder, with the doubles of the other layers.
#pragma once

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/PanelModel.h"
#include "app/PanelServices.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "platform/Operator.h"

namespace vq::test {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        static std::atomic<int> counter{0};
        std::random_device rd;
        path_ = fs::temp_directory_path() /
                ("vq_app_test_" + std::to_string(rd()) + "_" + std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

inline void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The firmware fit check of the firmware layer: answers from `fits` and records its calls.
class FakeFitCheck final : public FirmwareFitCheck {
  public:
    bool firmwareFits(const std::string& file, std::uint16_t chipIdentity) override {
        calls.push_back({file, chipIdentity});
        return fits;
    }
    struct Call {
        std::string file;
        std::uint16_t chip;
    };
    bool fits = true;
    std::vector<Call> calls;
};

// The actions of the other layers, counted.
class FakeActions final : public PanelActions {
  public:
    void rescanDevices() override { ++rescans; }
    void startRun() override { ++runs; }
    void safeRemove() override { ++removals; }
    void yieldCountersChanged() override { ++yieldRedraws; }
    int rescans = 0;
    int runs = 0;
    int removals = 0;
    int yieldRedraws = 0;
};

// One station's settings: RunSettings, the panel and its rules on a temporary program folder.
struct PanelFixture {
    TempDir home;
    RunSettings s;
    PanelModel p;
    RecordingOperator op;
    FakeFitCheck fit;
    FakeActions actions;
    SettingsPanel panel{s, p, op, home.path(), &fit, &actions};

    fs::path file(const std::string& name, const std::string& content) {
        const fs::path path = home.path() / name;
        WriteFile(path, content);
        return path;
    }
    // Loads settings text from a file in the program folder.
    bool load(const std::string& content, const std::string& name = "test.ini") {
        return panel.LoadSettings(file(name, content));
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> r;
        for (const auto& m : op.messages())
            r.push_back(m.text);
        return r;
    }
    Control& operator[](const char* name) { return p[name]; }
};

// Names the controls whose state differs between two panels ("" when none).
inline std::string PanelDifferences(const PanelModel& a, const PanelModel& b) {
    std::string r;
    for (std::size_t i = 0; i < a.controls().size() && i < b.controls().size(); ++i) {
        const Control& x = a.controls()[i];
        const Control& y = b.controls()[i];
        if (x == y)
            continue;
        r += x.name + ":";
        if (x.text != y.text)
            r += " text '" + x.text + "' / '" + y.text + "'";
        if (x.checked != y.checked)
            r += " checked";
        if (x.visible != y.visible)
            r += " visible";
        if (x.enabled != y.enabled)
            r += " enabled";
        if (x.itemIndex != y.itemIndex)
            r += " itemIndex";
        if (x.caret != y.caret)
            r += " caret " + std::to_string(x.caret) + " / " + std::to_string(y.caret);
        r += "; ";
    }
    return r;
}

// A settings file whose R/W test file exists, so a load succeeds without messages.
inline std::string WithTestFile(PanelFixture& f, const std::string& rest = "") {
    WriteFile(f.home.path() / "TestFile.bin", std::string(16, 'x'));
    return "[setting]\r\nWriteFileName=TestFile.bin\r\n" + rest;
}

}  // namespace vq::test
