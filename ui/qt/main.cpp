// vqmp: the operator's desktop program. Like vqmp-cli it runs on this machine's bridges on
// Linux, and on the emulated station of `--sim FILE` (elsewhere, on the emulated station
// unless told otherwise): `vqmp [--sim FILE] [--home DIR] [--time-scale X]`.
#include <QApplication>
#include <QCommandLineParser>
#include <QLockFile>
#include <QMessageBox>
#include <filesystem>
#include <iostream>
#include <memory>
#include <variant>

#include "app/PanelMessages.h"
#include "app/SettingsPanel.h"
#include "platform/Host.h"
#ifdef __linux__
#include "platform/linux/LinuxPlatform.h"
#endif
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "ui/qt/QtOperator.h"
#include "ui/qt/TMainForm.h"

namespace fs = std::filesystem;

namespace {

// The shipped 16-port station beside the program, else in the source tree it was built from.
fs::path DefaultScenario() {
    std::error_code ec;
    const fs::path beside = vq::HostProgramFolder() / "examples" / "station16.json";
    if (fs::is_regular_file(beside, ec))
        return beside;
    const fs::path source = fs::path(VQ_SOURCE_DIR) / "examples" / "station16.json";
    if (fs::is_regular_file(source, ec))
        return source;
    return {};
}

int Fail(const QString& text) {
    std::cerr << "vqmp: " << text.toStdString() << "\n";
    QMessageBox::critical(nullptr, vq::msg::kError, text);
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(vq::ui::kApplicationTitle);

    QCommandLineParser cl;
    cl.setApplicationDescription("The operator's window of the mass production station.");
    cl.addHelpOption();
    const QCommandLineOption simOpt(
        "sim",
        "Emulated station scenario file (none: nothing attached); without it, on Linux, this "
        "machine's bridges (elsewhere examples/station16.json).",
        "FILE");
    const QCommandLineOption homeOpt(
        "home",
        "Program folder with the settings file and the log folder (default: the "
        "executable's folder).",
        "DIR");
    const QCommandLineOption scaleOpt(
        "time-scale", "Real seconds per emulated second (default: the scenario's).", "X");
    cl.addOption(simOpt);
    cl.addOption(homeOpt);
    cl.addOption(scaleOpt);
    cl.process(app);

    vq::sim::SimOptions o;
    o.home =
        cl.isSet(homeOpt) ? fs::absolute(cl.value(homeOpt).toStdString()) : vq::HostProgramFolder();
    std::error_code ec;
    fs::create_directories(o.home, ec);
    if (!fs::is_directory(o.home, ec))
        return Fail(QString("The home folder %1 does not exist.").arg(cl.value(homeOpt)));

    // One program per program folder: two would write the same settings, log and counters.
    QLockFile instance(QString::fromStdString((o.home / "vqmp.lock").string()));
    if (!instance.tryLock(100)) {
        return Fail(QString("The station program is already running with the program folder %1.")
                        .arg(QString::fromStdString(o.home.string())));
    }

    vq::ui::QtOperator op;
    vq::Platform* platform = nullptr;
    std::unique_ptr<vq::sim::SimPlatform> sim;
#ifdef __linux__
    std::unique_ptr<vq::LinuxPlatform> host;
    if (!cl.isSet(simOpt)) {
        vq::LinuxPlatformOptions lo;
        lo.home = o.home;
        host = std::make_unique<vq::LinuxPlatform>(lo);
        if (const std::string node = vq::FirstNodeWithoutAccess(*host); !node.empty()) {
            return Fail(QString("Cannot open %1: %2.")
                            .arg(QString::fromStdString(node), vq::kNeedDiskAccess));
        }
        platform = &host->platform();
    }
#endif
    if (platform == nullptr) {
        std::optional<vq::sim::Scenario> scenario;
        const QString simValue = cl.value(simOpt);
        if (simValue != "none") {
            const fs::path file =
                simValue.isEmpty() ? DefaultScenario() : fs::path(simValue.toStdString());
            if (!file.empty()) {
                auto loaded = vq::sim::LoadScenarioFile(file);
                if (auto* e = std::get_if<vq::sim::ScenarioError>(&loaded))
                    return Fail(QString::fromStdString(e->message));
                scenario = std::get<vq::sim::Scenario>(std::move(loaded));
            }
        }
        o.timeScale = scenario ? scenario->timeScale : 0.0;
        if (cl.isSet(scaleOpt))
            o.timeScale = cl.value(scaleOpt).toDouble();
        sim = std::make_unique<vq::sim::SimPlatform>(o);
        if (scenario)
            vq::sim::BuildStation(*sim, *scenario);
        platform = &sim->platform();
    }
    platform->op = &op;
    std::unique_ptr<vq::ui::TMainForm> form;
    try {
        vq::ui::StationSetup setup;
        setup.platform = platform;
        form = std::make_unique<vq::ui::TMainForm>(setup);
    } catch (const vq::LogDirectoryError& e) {
        return Fail(e.what());
    }
    op.setParentWidget(form.get());
    form->show();
    const int rc = QApplication::exec();
    op.setClosing();
    form.reset();
    return rc;
}
