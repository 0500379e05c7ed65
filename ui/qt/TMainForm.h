// The station's main window: the settings panel, the port tree and result grid, the status
// bar and the buttons. The widgets mirror the panel model and the port status display; the
// device refresh, the run and every device request run on the station thread, and the
// window only draws and dispatches.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTimer>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/PanelModel.h"
#include "app/PanelServices.h"
#include "app/RunSettings.h"
#include "app/SettingsPanel.h"
#include "app/shell/StationShell.h"
#include "platform/Hotplug.h"
#include "platform/Platform.h"
#include "run/PortDisplay.h"
#include "run/RunDriver.h"
#include "run/Station.h"
#include "run/TestLog.h"
#include "run/Worker.h"
#include "ui/qt/StationThread.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QWidget;

namespace vq::ui {

inline constexpr const char* kApplicationTitle = "VQ5742x Mass Production Tool";
inline constexpr const char* kCustomerSuffix = " for Kestrin On-board Customers";
inline constexpr const char* kSelectPortFirst =
    "Please select one port to display by left port view first!!";
inline constexpr const char* kCloseDuringRun =
    "A production run is in progress. Stop it and close the program?";

class PanelView;
class TPassForm;
class TDetailForm;

// What the window runs on.
struct StationSetup {
    Platform* platform = nullptr;  // with its operator set
    // The run's step procedures; empty: the station's own.
    std::optional<StepProcedures> steps;
    // Real milliseconds per millisecond of the device-change timer (tests shorten it).
    double debounceScale = 1.0;
};

class TMainForm final : public QMainWindow, private PanelActions, private RunFrontEnd {
    Q_OBJECT
  public:
    // Start-up: the settings loaded, the test log chosen, the first refresh queued. May
    // raise LogDirectoryError.
    explicit TMainForm(const StationSetup& setup, QWidget* parent = nullptr);
    ~TMainForm() override;

    // What tests and the screenshot script look at. The model may be read or changed only
    // while idle().
    PanelView& view() { return *view_; }
    SettingsPanel& rules() { return *rules_; }
    Station& station() { return *station_; }
    RunDriver& driver() { return *driver_; }
    TPassForm* passForm() const { return passForm_; }
    TDetailForm* detailForm() const { return detailForm_; }
    // No station job queued or running.
    bool idle() const { return jobs_.load() == 0; }
    bool runInProgress() const { return runActive_.load(); }
    int refreshCount() const { return refreshes_.load(); }
    int redrawCount() const { return redraws_; }
    // The longest redraw of the port list so far (ms).
    qint64 longestDrawMs() const { return longestDrawMs_; }
    int selectedPort() const { return selectedPort_; }

    // The operator's actions that are not a control of the panel model.
    void TreeView1Click(int slot);  // 1-based; 0 clears the selection
    void DblClickBtnClick();
    void ResetYieldBtnClick();
    // Copies the model into the widgets (after code changed the model while idle).
    void syncFromModel();

  signals:
    // The station thread has finished every queued job.
    void becameIdle();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    // PanelActions (any thread).
    void rescanDevices() override;
    void startRun() override;
    void safeRemove() override;
    void yieldCountersChanged() override;
    // RunFrontEnd (the station thread).
    void redrawn(const PortDisplay& display) override;
    void showResult(bool passed) override;
    void runStateChanged(bool running) override;

    void buildWindow();
    QWidget* buildSettingsPanel();
    QWidget* buildPortArea();
    void buttonClicked(const std::string& name);
    void post(std::function<void()> job);
    void jobFinished();
    void setBusy(bool busy);
    void pushWindowState();
    void onDeviceChange(const DeviceEvent& e);
    void onTimer17();
    void Timer_EPPTimer();
    void requestRedraw();
    void scheduleRedraw();
    void drawPorts();
    void updateCaption();
    void LoadFWButtonClick();
    void INILoadBtnClick();
    void INISaveBtnClick();
    void RDCheckClicked();
    bool laterDiskBridgeAttached() const;

    Platform& platform_;
    Operator& op_;
    double debounceScale_;
    RunSettings settings_;
    PanelModel panel_;
    std::unique_ptr<SettingsPanel> rules_;
    std::unique_ptr<Station> station_;
    std::unique_ptr<TestLog> log_;
    PortDisplay display_;
    std::unique_ptr<RunDriver> driver_;
    std::unique_ptr<StationShell> shell_;

    PanelView* view_ = nullptr;
    TPassForm* passForm_ = nullptr;
    TDetailForm* detailForm_ = nullptr;
    QWidget* settingsArea_ = nullptr;
    QWidget* buttonArea_ = nullptr;
    QTreeWidget* tree_ = nullptr;
    QTreeWidget* list_ = nullptr;
    QLineEdit* yieldEdit_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QLabel* statusText_ = nullptr;
    QLabel* percent_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QProgressBar* wait_ = nullptr;
    QWidget* waitPanel_ = nullptr;

    // The station thread and what the window knows of it.
    std::atomic<int> jobs_{0};
    std::atomic<bool> runActive_{false};
    std::atomic<int> refreshes_{0};
    bool closeWhenIdle_ = false;
    bool closed_ = false;

    // Device changes: timer 17.
    DeviceChangeTimer changeTimer_;
    QElapsedTimer uptime_;
    QTimer timer17_;
    QTimer eppTimer_;  // Timer_EPP: the reminder of the missing power-control board
    bool timer17Pending_ = false;
    bool pendingStartDisable_ = false;
    bool safeRemoveOn_ = false;

    // The port display as the station thread last drew it, and the coalesced redraw.
    struct Snapshot {
        std::array<DisplayRow, kPortSlots> rows{};
        int progress = 0;
        std::string progressText = "0%";
        std::string yield = "0 / 0";
        std::string status;
        CellColour statusColour = CellColour::Black;
    };
    std::mutex snapshotLock_;
    Snapshot snapshot_;
    std::atomic<bool> redrawQueued_{false};
    QTimer redrawTimer_;
    QElapsedTimer sinceRedraw_;
    int redraws_ = 0;
    qint64 longestDrawMs_ = 0;
    int selectedPort_ = 0;

    std::unique_ptr<StationThread> worker_;
};

}  // namespace vq::ui
