// The main window on an emulated station of its own, for the window tests: a program
// folder with VQMassProd.ini, bridges on one root hub, and the run's steps answered by
// doubles that may fail one port and may take a little real time.
#pragma once

#include <QApplication>
#include <QTest>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tests/run/RunRig.h"
#include "ui/qt/TMainForm.h"

namespace vq::test {

// One QApplication for the whole program (the offscreen platform in CTest). It is never
// destroyed: at exit the platform's own globals may already be gone.
inline QApplication& App() {
    static int argc = 1;
    static char name[] = "test_ui";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

struct StepDoubles {
    std::string failing;                 // procedure that fails
    int failSlot = 0;                    // 1-based
    std::chrono::microseconds delay{0};  // real time each step takes

    bool ok(const Worker& w, const char* name) const {
        if (delay.count() > 0)
            std::this_thread::sleep_for(delay);
        return !(failing == name && static_cast<int>(w.slot()) + 1 == failSlot);
    }
    StepProcedures procedures() const {
        StepProcedures p;
        p.buildConfig = [this](Worker& w) { return ok(w, "buildConfig"); };
        p.writeConfiguration = [this](Worker& w) { return ok(w, "writeConfiguration"); };
        p.partition = [this](Worker& w) { return ok(w, "partition"); };
        p.findDriveLetter = [](Worker& w) { return w.record().driveLetter; };
        p.format = [this](Worker& w, char) { return ok(w, "format") ? 0 : -1; };
        p.rwTest = [this](Worker& w, char, std::int32_t, std::uint32_t, float& r, float& wr) {
            r = 40.0f;
            wr = 30.0f;
            return ok(w, "rwTest");
        };
        return p;
    }
};

struct UiRig {
    RunRig run;  // the program folder, the emulated machine and the bridges
    StepDoubles steps;
    std::unique_ptr<ui::TMainForm> form;

    // VQMassProd.ini in the program folder: the shipped file with `keys` replaced.
    void settings(const std::map<std::string, std::string>& keys) {
        run.loadSettings(keys);
        std::filesystem::copy_file(run.home.path / "run.ini", run.home.path / "VQMassProd.ini",
                                   std::filesystem::copy_options::overwrite_existing);
    }
    ui::TMainForm& open(double debounceScale = 0.05) {
        App();
        run.rig.platform().home = run.home.path;
        ui::StationSetup setup;
        setup.platform = &run.rig.platform();
        setup.steps = steps.procedures();
        setup.debounceScale = debounceScale;
        form = std::make_unique<ui::TMainForm>(setup);
        form->show();
        return *form;
    }
    bool waitIdle(int ms = 5000) {
        return QTest::qWaitFor([&] { return form->idle(); }, ms);
    }
    template <class W>
    W* widget(const char* name) const {
        return form->findChild<W*>(name);
    }
};

}  // namespace vq::test
