// vqmp-screenshots: opens the operator's window on an emulated station, walks it through
// a refresh, a run, the result and the detail window, and saves a PNG of each.
//   vqmp-screenshots --sim FILE --home DIR --out DIR [--time-scale X]
// The program folder must hold the VQMassProd.ini to run with. Messages the station shows
// are printed, not shown, so nothing waits for an operator.
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <iostream>
#include <memory>
#include <variant>

#include "app/SettingsPanel.h"
#include "platform/Operator.h"
#include "platform/sim/SimPlatform.h"
#include "platform/sim/SimScenario.h"
#include "ui/qt/PanelView.h"
#include "ui/qt/TDetailForm.h"
#include "ui/qt/TMainForm.h"
#include "ui/qt/TPassForm.h"

namespace fs = std::filesystem;

namespace {

class PrintingOperator final : public vq::Operator {
  public:
    vq::MessageAnswer showMessage(const vq::OperatorMessage& m) override {
        std::cerr << m.title << ": " << m.text << "\n";
        return m.buttons == vq::MessageButtons::YesNo ||
                       m.buttons == vq::MessageButtons::YesNoCancel
                   ? vq::MessageAnswer::Yes
                   : vq::MessageAnswer::Ok;
    }
    std::optional<std::string> inputBox(const vq::InputRequest&) override { return std::nullopt; }
};

bool Save(QWidget* w, const QString& folder, const char* name) {
    const QString path = QDir(folder).filePath(name);
    const bool ok = w->grab().save(path);
    std::cout << (ok ? "wrote " : "could not write ") << path.toStdString() << "\n";
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QCommandLineParser cl;
    const QCommandLineOption simOpt("sim", "Scenario file.", "FILE");
    const QCommandLineOption homeOpt("home", "Program folder.", "DIR");
    const QCommandLineOption outOpt("out", "Folder of the pictures.", "DIR");
    const QCommandLineOption scaleOpt("time-scale", "Real seconds per emulated second.", "X");
    cl.addOptions({simOpt, homeOpt, outOpt, scaleOpt});
    cl.process(app);
    if (!cl.isSet(simOpt) || !cl.isSet(homeOpt) || !cl.isSet(outOpt)) {
        std::cerr << "vqmp-screenshots: --sim, --home and --out are required\n";
        return 2;
    }
    auto loaded = vq::sim::LoadScenarioFile(cl.value(simOpt).toStdString());
    if (auto* e = std::get_if<vq::sim::ScenarioError>(&loaded)) {
        std::cerr << "vqmp-screenshots: " << e->message << "\n";
        return 3;
    }
    const auto scenario = std::get<vq::sim::Scenario>(std::move(loaded));
    vq::sim::SimOptions o;
    o.home = fs::absolute(cl.value(homeOpt).toStdString());
    o.timeScale = cl.isSet(scaleOpt) ? cl.value(scaleOpt).toDouble() : scenario.timeScale;
    vq::sim::SimPlatform sim(o);
    vq::sim::BuildStation(sim, scenario);
    PrintingOperator op;
    sim.platform().op = &op;

    vq::ui::StationSetup setup;
    setup.platform = &sim.platform();
    vq::ui::TMainForm form(setup);
    form.resize(1366, 740);
    form.show();
    const QString out = cl.value(outOpt);
    QDir().mkpath(out);
    auto idle = [&](int ms) { return QTest::qWaitFor([&] { return form.idle(); }, ms); };
    if (!idle(60000))
        return 1;
    QTest::qWait(100);
    bool ok = Save(&form, out, "main-idle.png");

    // A run: one picture while the ports work, one when it has ended.
    form.view().widget("ExecuteBtn")->setFocus();
    QMetaObject::invokeMethod(form.view().widget("ExecuteBtn"), "click");
    auto* list = form.findChild<QTreeWidget*>("ListView1");
    auto busyRows = [&] {
        int running = 0;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            for (int c = 1; c < list->columnCount(); ++c)
                running += list->topLevelItem(i)->text(c) == "Running" ? 1 : 0;
        }
        return running;
    };
    (void)QTest::qWaitFor([&] { return busyRows() >= 8 || form.idle(); }, 60000);
    ok = Save(&form, out, "main-running.png") && ok;
    if (!idle(600000))
        return 1;
    QTest::qWait(200);
    ok = Save(&form, out, "main-after-run.png") && ok;
    if (form.passForm()->isVisible())
        ok = Save(form.passForm(), out, "result.png") && ok;
    form.passForm()->close();

    // The detail window of the first port (RD mode).
    form.TreeView1Click(1);
    form.DblClickBtnClick();
    (void)QTest::qWaitFor([&] { return form.detailForm()->isVisible(); }, 10000);
    QTest::qWait(100);
    if (form.detailForm()->isVisible())
        ok = Save(form.detailForm(), out, "detail.png") && ok;
    form.detailForm()->close();
    form.close();
    return ok ? 0 : 1;
}
