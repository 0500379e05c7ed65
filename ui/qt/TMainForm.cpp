#include "ui/qt/TMainForm.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QFont>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/PanelMessages.h"
#include "app/shell/DetailFacts.h"
#include "app/shell/RdMode.h"
#include "base/Format.h"
#include "devices/PortPower.h"
#include "run/StepWiring.h"
#include "ui/qt/PanelView.h"
#include "ui/qt/TDetailForm.h"
#include "ui/qt/TPassForm.h"

#ifndef VQ_VERSION_MAJOR
#define VQ_VERSION_MAJOR 0
#define VQ_VERSION_MINOR 0
#define VQ_VERSION_PATCH 0
#define VQ_VERSION_TWEAK 0
#endif

namespace vq::ui {

namespace {

// "exFAT" is offered on Vista with a service pack and every later system.
bool OffersExFat(const std::optional<OsVersion>& v) {
    if (!v)
        return false;
    return v->major > 6 || (v->major == 6 && (v->minor > 0 || v->servicePackMajor > 0));
}

QColor ColourOf(CellColour c) {
    switch (c) {
        case CellColour::Red:
            return Qt::red;
        case CellColour::Blue:
            return Qt::blue;
        case CellColour::Black:
            break;
    }
    return Qt::black;
}

constexpr int kRedrawIntervalMs = 50;

}  // namespace

TMainForm::TMainForm(const StationSetup& setup, QWidget* parent)
    : QMainWindow(parent),
      platform_(*setup.platform),
      op_(*setup.platform->op),
      debounceScale_(setup.debounceScale),
      panel_(OffersExFat(setup.platform->osVersion)) {
    setObjectName("MainForm");
    uptime_.start();
    sinceRedraw_.start();

    // The settings, the station, the test log and the run.
    rules_ = std::make_unique<SettingsPanel>(settings_, panel_, op_, platform_.home, nullptr,
                                             static_cast<PanelActions*>(this));
    panel_["StringCEdit"].visible = false;  // until a refresh finds a bridge that needs it
    rules_->StartUp();
    station_ = std::make_unique<Station>(platform_, *rules_);
    log_ = std::make_unique<TestLog>(platform_.home / "log", *platform_.clock);
    log_->ChooseFile(SystemLocalTime());
    driver_ = std::make_unique<RunDriver>(*station_, *log_, display_);
    driver_->setStepProcedures(setup.steps ? *setup.steps
                                           : StationStepProcedures(platform_.volumes));
    driver_->setRunProcedures(StationRunProcedures(*rules_));
    driver_->setFrontEnd(static_cast<RunFrontEnd*>(this));
    shell_ = std::make_unique<StationShell>(*station_, *driver_, *platform_.clock);
    // Device changes reach the window as queued calls, like posted messages.
    if (platform_.hotplug) {
        platform_.hotplug->setListener([this](const DeviceEvent& e) {
            QMetaObject::invokeMethod(
                this, [this, e] { onDeviceChange(e); }, Qt::QueuedConnection);
        });
    }
    if (settings_.EnLoopDebug != 0) {
        panel_["DebugPanel"].visible = true;
        panel_["cbEraseFlash"].visible = true;
    }
    RDCheckClick(*rules_, op_, false);

    buildWindow();
    timer17_.setSingleShot(true);
    connect(&timer17_, &QTimer::timeout, this, &TMainForm::onTimer17);
    eppTimer_.setInterval(static_cast<int>(EppReminder::kIntervalMs));
    connect(&eppTimer_, &QTimer::timeout, this, &TMainForm::Timer_EPPTimer);
    eppTimer_.start();
    redrawTimer_.setSingleShot(true);
    connect(&redrawTimer_, &QTimer::timeout, this, &TMainForm::drawPorts);

    worker_ = std::make_unique<StationThread>();
    // The first refresh (and in auto mode the run it permits).
    post([this] {
        shell_->StartUp();
        ++refreshes_;
    });
}

TMainForm::~TMainForm() {
    if (platform_.hotplug)
        platform_.hotplug->setListener({});
    driver_->RequestClose();
    worker_->stop();
    driver_->setFrontEnd(nullptr);
    // The widgets outlive the models they are bound to (the base class deletes them): cut
    // the binding first.
    delete view_;
    view_ = nullptr;
}

// ---------------------------------------------------------------- the window

void TMainForm::buildWindow() {
    view_ = new PanelView(
        *rules_, [this](const std::string& n) { buttonClicked(n); }, this);
    view_->setCanEdit([this] { return idle(); });
    view_->setAfterClick([this](const std::string& n) {
        if (n == "RDCheck")
            RDCheckClicked();
    });
    connect(view_, &PanelView::edited, this, [this] { updateCaption(); });

    auto* central = new QWidget;
    central->setObjectName("Panel1Host");
    auto* split = new QSplitter(Qt::Vertical);
    split->setObjectName("MainSplitter");
    auto* scroll = new QScrollArea;
    scroll->setObjectName("Panel1Scroll");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    settingsArea_ = buildSettingsPanel();
    scroll->setWidget(settingsArea_);
    split->addWidget(scroll);
    split->addWidget(buildPortArea());
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 4);
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(4, 4, 4, 4);
    v->addWidget(split);
    setCentralWidget(central);

    // StatusBar1: free text, the progress bar, the percentage.
    auto* bar = statusBar();
    bar->setObjectName("StatusBar1");
    statusText_ = new QLabel;
    statusText_->setObjectName("StatusBar1Text");
    statusText_->setMinimumWidth(360);
    progress_ = new QProgressBar;
    progress_->setObjectName("ProgressBar1");
    progress_->setRange(0, 100);
    progress_->setValue(0);
    progress_->setTextVisible(false);
    progress_->setFixedWidth(260);
    progress_->setStyleSheet("QProgressBar::chunk { background-color: blue; }");
    progress_->hide();
    percent_ = new QLabel("0%");
    percent_->setObjectName("StatusBar1Percent");
    percent_->setMinimumWidth(50);
    bar->addWidget(statusText_, 1);
    bar->addPermanentWidget(progress_);
    bar->addPermanentWidget(percent_);

    passForm_ = new TPassForm(this);
    passForm_->setOnClosed([this] {
        if (!idle())
            return;
        rules_->inputs().resultWindowVisible = false;
        const Control& start = panel_["ExecuteBtn"];
        panel_.focus = start.visible && start.enabled ? "ExecuteBtn" : "RefreshBtn";
        view_->applyFocus();
    });
    detailForm_ = new TDetailForm(this);

    resize(1360, 740);
    view_->sync();
    updateCaption();
    drawPorts();
}

QWidget* TMainForm::buildSettingsPanel() {
    PanelView& pv = *view_;
    auto W = [&pv](const char* n) { return pv.widget(n); };
    // A labelled edit as one row of a form: its caption, then the edit.
    auto row = [&pv](QFormLayout* f, const char* n) {
        if (QLabel* l = pv.label(n))
            f->addRow(l, pv.widget(n));
        else
            f->addRow(pv.widget(n));
    };
    auto hbox = [](std::initializer_list<QWidget*> ws) {
        auto* h = new QHBoxLayout;
        h->setContentsMargins(0, 0, 0, 0);
        for (QWidget* w : ws)
            h->addWidget(w);
        h->addStretch();
        return h;
    };
    auto labelled = [&pv](const char* n) {
        auto* box = new QWidget;
        auto* h = new QHBoxLayout(box);
        h->setContentsMargins(0, 0, 0, 0);
        if (QLabel* l = pv.label(n))
            h->addWidget(l);
        h->addWidget(pv.widget(n));
        return box;
    };

    auto* area = new QWidget;
    area->setObjectName("Panel1");
    auto* grid = new QGridLayout(area);
    grid->setContentsMargins(2, 2, 2, 2);

    // "EEPROM Setting".
    auto* g2 = static_cast<QGroupBox*>(W("GroupBox2"));
    auto* f2 = new QFormLayout(g2);
    f2->addRow(W("EEPROMType"));
    f2->addRow(hbox({pv.label("VendorIDEdit"), W("VendorIDEdit"), pv.label("ProductIDEdit"),
                     W("ProductIDEdit")}));
    static_cast<QLineEdit*>(W("VendorIDEdit"))->setMaximumWidth(60);
    static_cast<QLineEdit*>(W("ProductIDEdit"))->setMaximumWidth(60);
    f2->addRow(hbox({W("StrALabel"), W("VendorStrEdit"), W("ProdStrEdit")}));
    row(f2, "StringAEdit");
    f2->addRow(hbox({W("StrAAutoInc"), W("StrA2SNChk"), W("StrA2DiskStrChk")}));
    // Panels come with a row layout holding their caption; their controls go after it.
    auto inPanel = [&pv](const char* n) {
        auto* f = new QFormLayout;
        f->setContentsMargins(0, 0, 0, 0);
        static_cast<QBoxLayout*>(pv.widget(n)->layout())->addLayout(f, 1);
        return f;
    };
    {
        auto* f4 = inPanel("Panel4");
        row(f4, "StringCEdit");
        row(f4, "StringBEdit");
        f4->addRow(W("StrBFromDiskSNChk"));
        f2->addRow(W("Panel4"));
        pv.label("Panel4")->hide();
    }
    {
        auto* f5 = inPanel("Panel5");
        row(f5, "String3Edit");
        f5->addRow(hbox({W("Str3AutoInc")}));
        row(f5, "maxSNEdit");
        f2->addRow(W("Panel5"));
    }
    row(f2, "TimerEdit");
    row(f2, "RevisionEdit");
    row(f2, "OddSizeEdit");
    f2->addRow(W("EnableUSBFirst"));
    f2->addRow(hbox({W("ManuProdSosctlchk"), W("InquirySosctlchk")}));
    grid->addWidget(g2, 0, 0, 3, 1);

    // "Execution Setting" and the capacity check.
    auto* g1 = static_cast<QGroupBox*>(W("GroupBox1"));
    auto* l1 = new QGridLayout(g1);
    const char* checks[] = {"EEPROMCheckBox", "EEPROMVerifyBox",  "PartitionCheckBox",
                            "GPTCheckBox",    "FormatCheckBox",   "RWTestCheckBox",
                            "enU3CheckBox",   "enU31Gen2CheckBox"};
    for (int i = 0; i < 8; ++i)
        l1->addWidget(W(checks[i]), i / 2, i % 2);
    l1->addWidget(W("USB3Panel"), 4, 0, 1, 2);
    l1->addWidget(labelled("VolumeLabeledEdit"), 5, 0, 1, 2);
    l1->addLayout(hbox({W("FmtTypeComboBox"), W("FmtSecPerClusCbox")}), 6, 0, 1, 2);
    grid->addWidget(g1, 0, 1, 2, 1);
    auto* cap = new QWidget;
    cap->setObjectName("CapacityBox");
    auto* fc = new QFormLayout(cap);
    fc->setContentsMargins(0, 0, 0, 0);
    auto* capLabel = new QLabel("Capacity");
    capLabel->setObjectName("CapChkCmbxLabel");
    fc->addRow(capLabel, W("CapChkCmbx"));
    row(fc, "CapacityUserDefEdit");
    row(fc, "FreeSpaceEdit");
    grid->addWidget(cap, 2, 1);

    // "F/W Update", the parallel-flash type and the software copy.
    auto* g3 = static_cast<QGroupBox*>(W("GroupBox3"));
    auto* l3 = new QGridLayout(g3);
    l3->addWidget(W("FWUpdateCheckBox"), 0, 0);
    l3->addWidget(W("FWCheckBox"), 0, 1);
    l3->addWidget(W("cbCloneProduct"), 1, 0);
    l3->addWidget(W("cbEraseFlash"), 1, 1);
    l3->addWidget(W("LoadFWButton"), 2, 0);
    l3->addWidget(W("FwFileNameEdit"), 2, 1);
    auto* g4 = static_cast<QGroupBox*>(W("GroupBox4"));
    (new QVBoxLayout(g4))->addWidget(W("V426FlashComboBox"));
    auto* g5 = static_cast<QGroupBox*>(W("GroupBox5"));
    auto* f5 = new QFormLayout(g5);
    f5->addRow(hbox({W("SWCopyChkBox"), W("enFolderCPChk"), W("bAdvCompareChk")}));
    row(f5, "SwImgPathEdit");
    row(f5, "DstISOEdit");
    auto* col3 = new QVBoxLayout;
    col3->addWidget(g3);
    col3->addWidget(g4);
    col3->addWidget(g5);
    col3->addStretch();
    grid->addLayout(col3, 0, 2, 3, 1);

    // "EEPROM Verify Setting".
    auto* gv = static_cast<QGroupBox*>(W("EEVerifyGroup"));
    auto* fv = new QFormLayout(gv);
    fv->addRow(
        hbox({pv.label("vfVIDEdit"), W("vfVIDEdit"), pv.label("vfPIDEdit"), W("vfPIDEdit")}));
    static_cast<QLineEdit*>(W("vfVIDEdit"))->setMaximumWidth(60);
    static_cast<QLineEdit*>(W("vfPIDEdit"))->setMaximumWidth(60);
    row(fv, "vfStringAEdit");
    row(fv, "vfStringBEdit");
    row(fv, "vfDiskNameEdit");
    row(fv, "vfVolumnLabelEdit");
    row(fv, "vfHDDFWRevEdit");
    fv->addRow(hbox({W("vfDiskNameChk"), W("vfVolLabelChk"), W("vfHDDFWRevChk")}));
    grid->addWidget(gv, 0, 3, 2, 1);

    // The settings file buttons and the RD box.
    auto* files = new QHBoxLayout;
    files->addWidget(W("INILoadBtn"));
    files->addWidget(W("INISaveBtn"));
    files->addWidget(W("RDCheck"));
    files->addWidget(W("ProdModalPanel"));
    files->addStretch();
    grid->addLayout(files, 2, 3);
    grid->setColumnStretch(0, 3);
    grid->setColumnStretch(1, 2);
    grid->setColumnStretch(2, 3);
    grid->setColumnStretch(3, 3);
    return area;
}

QWidget* TMainForm::buildPortArea() {
    PanelView& pv = *view_;
    auto* area = new QWidget;
    area->setObjectName("PortArea");
    auto* h = new QHBoxLayout(area);
    h->setContentsMargins(0, 0, 0, 0);

    // TreeView1: one node per slot.
    tree_ = new QTreeWidget;
    tree_->setObjectName("TreeView1");
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(false);
    tree_->setFixedWidth(110);
    for (std::size_t i = 0; i < kPortSlots; ++i)
        tree_->addTopLevelItem(new QTreeWidgetItem(QStringList{"Port"}));
    connect(tree_, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        TreeView1Click(tree_->indexOfTopLevelItem(item) + 1);
    });
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] { DblClickBtnClick(); });
    h->addWidget(tree_);

    // The buttons, the yield and the run's state.
    buttonArea_ = new QWidget;
    buttonArea_->setObjectName("ButtonPanel");
    buttonArea_->setFixedWidth(170);
    auto* b = new QVBoxLayout(buttonArea_);
    b->setContentsMargins(0, 0, 0, 0);
    auto* start = static_cast<QPushButton*>(pv.widget("ExecuteBtn"));
    start->setMinimumHeight(56);
    QFont big = start->font();
    big.setPointSize(big.pointSize() + 8);
    big.setBold(true);
    start->setFont(big);
    b->addWidget(start);
    b->addWidget(pv.widget("RefreshBtn"));
    b->addWidget(pv.widget("SafeRmBtn"));
    auto* detail = new QPushButton("Device Info");
    detail->setObjectName("DblClickBtn");
    connect(detail, &QPushButton::clicked, this, [this] { DblClickBtnClick(); });
    b->addWidget(detail);
    auto* yieldRow = new QHBoxLayout;
    auto* yieldLabel = new QLabel("Yield");
    yieldLabel->setObjectName("YieldLabel");
    yieldEdit_ = new QLineEdit("0 / 0");
    yieldEdit_->setObjectName("YieldEdit");
    yieldEdit_->setReadOnly(true);
    auto* reset = new QPushButton("Reset");
    reset->setObjectName("ResetYieldBtn");
    connect(reset, &QPushButton::clicked, this, [this] { ResetYieldBtnClick(); });
    yieldRow->addWidget(yieldLabel);
    yieldRow->addWidget(yieldEdit_);
    yieldRow->addWidget(reset);
    b->addLayout(yieldRow);
    statusLabel_ = new QLabel;
    statusLabel_->setObjectName("StatusLabel");
    statusLabel_->setAlignment(Qt::AlignCenter);
    QFont huge = statusLabel_->font();
    huge.setPointSize(huge.pointSize() + 14);
    huge.setBold(true);
    statusLabel_->setFont(huge);
    b->addWidget(statusLabel_);
    // WaitPanel: the wait animation while a run is in progress.
    waitPanel_ = new QWidget;
    waitPanel_->setObjectName("WaitPanel");
    auto* w = new QVBoxLayout(waitPanel_);
    w->setContentsMargins(0, 0, 0, 0);
    wait_ = new QProgressBar;
    wait_->setObjectName("PaintBox1");
    wait_->setRange(0, 0);
    wait_->setTextVisible(false);
    w->addWidget(wait_);
    waitPanel_->hide();
    b->addWidget(waitPanel_);
    b->addStretch();
    // The debug loop panel stays usable during a run ("Stop Test").
    auto* dbg = pv.widget("DebugPanel");
    auto* dl = static_cast<QHBoxLayout*>(dbg->layout());
    auto* dg = new QGridLayout;
    dg->addWidget(pv.widget("btnStartTest2"), 0, 0);
    dg->addWidget(pv.widget("BtnStopTest"), 0, 1);
    dg->addWidget(pv.label("lbTestLoopCnt"), 1, 0);
    dg->addWidget(pv.widget("lbTestLoopCnt"), 1, 1);
    dg->addWidget(pv.widget("cbStopOnFailure"), 2, 0);
    dg->addWidget(pv.widget("cbFWUpdateNoReset"), 2, 1);
    dl->addLayout(dg);
    pv.label("DebugPanel")->hide();
    b->addWidget(dbg);
    h->addWidget(buttonArea_);

    // ListView1: one row per slot.
    list_ = new QTreeWidget;
    list_->setObjectName("ListView1");
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    QStringList headers;
    for (const char* c : PortDisplay::kColumns)
        headers << c;
    list_->setHeaderLabels(headers);
    // The grid's column widths, a little wider than the form's where the texts of this
    // platform's font need it ("Pass (35.2 31.5)", firmware versions).
    constexpr int kListWidths[] = {36, 40, 190, 100, 85, 55, 50, 55, 60, 65, 65, 135, 50, 50};
    for (std::size_t c = 0; c < PortDisplay::kColumns.size(); ++c)
        list_->setColumnWidth(static_cast<int>(c), kListWidths[c]);
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        auto* item = new QTreeWidgetItem;
        for (int c = 1; c < list_->columnCount(); ++c)
            item->setTextAlignment(c, Qt::AlignCenter);
        list_->addTopLevelItem(item);
    }
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { DblClickBtnClick(); });
    h->addWidget(list_, 1);
    return area;
}

void TMainForm::updateCaption() {
    QString caption =
        QString::fromStdString(Format("Velmora M.P. Tool v%d.%d.%d.%d", VQ_VERSION_MAJOR,
                                      VQ_VERSION_MINOR, VQ_VERSION_PATCH, VQ_VERSION_TWEAK));
    if (idle() && settings_.MPKestrinCustomer != 0)
        caption += kCustomerSuffix;
    if (windowTitle() != caption && idle())
        setWindowTitle(caption);
}

void TMainForm::syncFromModel() {
    view_->sync();
    safeRemoveOn_ = settings_.MPSafeRemove != 0;
    updateCaption();
}

// ---------------------------------------------------------------- the station thread

void TMainForm::post(std::function<void()> job) {
    if (!worker_)
        return;  // start-up: the first refresh is queued once the window stands
    const bool fromUi = !worker_ || !worker_->onThread();
    if (fromUi && idle())
        pushWindowState();
    ++jobs_;
    if (fromUi)
        setBusy(true);
    worker_->post([this, job = std::move(job)] {
        job();
        QMetaObject::invokeMethod(
            this, [this] { jobFinished(); }, Qt::QueuedConnection);
    });
}

// What the window knows and the model must see before the station thread takes it.
void TMainForm::pushWindowState() {
    rules_->inputs().resultWindowVisible = passForm_ && passForm_->isVisible();
    if (pendingStartDisable_) {
        panel_["ExecuteBtn"].enabled = false;
        pendingStartDisable_ = false;
    }
}

void TMainForm::jobFinished() {
    if (--jobs_ > 0)
        return;
    pushWindowState();
    setBusy(false);
    syncFromModel();
    drawPorts();
    if (!passForm_->isVisible())
        view_->applyFocus();
    emit becameIdle();
    if (closeWhenIdle_) {
        closeWhenIdle_ = false;
        close();
        return;
    }
    if (timer17Pending_) {
        timer17Pending_ = false;
        onTimer17();
    }
}

void TMainForm::setBusy(bool busy) {
    settingsArea_->setEnabled(!busy);
    buttonArea_->setEnabled(!busy);
    if (!busy)
        view_->widget("SafeRmBtn")->setStyleSheet({});
}

void TMainForm::rescanDevices() {
    post([this] {
        driver_->RefreshBtnClick();
        ++refreshes_;
    });
}

void TMainForm::startRun() {
    post([this] { driver_->ExecuteBtnClick(); });
}

void TMainForm::safeRemove() {
    if (worker_ && !worker_->onThread())
        view_->widget("SafeRmBtn")->setStyleSheet("color: red;");
    post([this] {
        driver_->SafeRmBtnClick();
        ++refreshes_;
    });
}

void TMainForm::yieldCountersChanged() {
    if (!worker_)
        return;  // the start-up load: the first refresh draws the yield
    post([this] {
        station_->notifyPortStatus();
        driver_->Pump();
    });
}

// ---------------------------------------------------------------- the port display

void TMainForm::redrawn(const PortDisplay& d) {
    {
        std::lock_guard lock(snapshotLock_);
        snapshot_.rows = d.rows();
        snapshot_.progress = d.progress();
        snapshot_.progressText = d.progressText();
        snapshot_.yield = d.yieldText();
        snapshot_.status = driver_->statusLabel();
        snapshot_.statusColour = driver_->statusColour();
    }
    requestRedraw();
}

void TMainForm::showResult(bool passed) {
    QMetaObject::invokeMethod(
        this, [this, passed] { passForm_->ShowResult(passed); }, Qt::QueuedConnection);
}

void TMainForm::runStateChanged(bool running) {
    runActive_ = running;
    QMetaObject::invokeMethod(
        this,
        [this, running] {
            waitPanel_->setVisible(running);
            if (running)
                progress_->show();
        },
        Qt::QueuedConnection);
}

void TMainForm::requestRedraw() {
    if (!redrawQueued_.exchange(true))
        QMetaObject::invokeMethod(
            this, [this] { scheduleRedraw(); }, Qt::QueuedConnection);
}

// At most one redraw per 50 ms, however often the workers report.
void TMainForm::scheduleRedraw() {
    if (redrawTimer_.isActive())
        return;
    const qint64 since = sinceRedraw_.elapsed();
    redrawTimer_.start(static_cast<int>(std::max<qint64>(0, kRedrawIntervalMs - since)));
}

void TMainForm::drawPorts() {
    redrawQueued_ = false;
    Snapshot s;
    {
        std::lock_guard lock(snapshotLock_);
        s = snapshot_;
    }
    ++redraws_;
    sinceRedraw_.restart();
    QElapsedTimer took;
    took.start();
    const QIcon device = style()->standardIcon(QStyle::SP_DriveHDIcon);
    QFont normal = list_->font();
    QFont bold = normal;
    bold.setBold(true);
    for (std::size_t i = 0; i < kPortSlots; ++i) {
        const DisplayRow& r = s.rows[i];
        QTreeWidgetItem* node = tree_->topLevelItem(static_cast<int>(i));
        node->setText(0, QString::fromStdString(r.treeText));
        if (node->data(0, Qt::UserRole).toInt() != r.treeImage) {
            node->setData(0, Qt::UserRole, r.treeImage);
            node->setIcon(0, r.treeImage == 1 ? device : QIcon());
        }
        QTreeWidgetItem* item = list_->topLevelItem(static_cast<int>(i));
        for (std::size_t c = 0; c < r.cells.size(); ++c) {
            const int col = static_cast<int>(c);
            const DisplayCell& cell = r.cells[c];
            const QString text = QString::fromStdString(cell.text);
            if (item->text(col) != text)
                item->setText(col, text);
            const QColor colour = ColourOf(cell.colour);
            if (item->foreground(col).color() != colour)
                item->setForeground(col, colour);
            if (item->font(col).bold() != cell.bold)
                item->setFont(col, cell.bold ? bold : normal);
        }
    }
    progress_->setValue(s.progress);
    percent_->setText(QString::fromStdString(s.progressText));
    yieldEdit_->setText(QString::fromStdString(s.yield));
    statusLabel_->setText(QString::fromStdString(s.status));
    const QString statusStyle = QString("color: %1;").arg(ColourOf(s.statusColour).name());
    if (statusLabel_->styleSheet() != statusStyle)
        statusLabel_->setStyleSheet(statusStyle);
    longestDrawMs_ = std::max(longestDrawMs_, took.elapsed());
}

// ---------------------------------------------------------------- device changes

void TMainForm::onDeviceChange(const DeviceEvent& e) {
    const auto now = static_cast<std::uint64_t>(uptime_.elapsed());
    const auto fx = changeTimer_.OnDeviceChange(e, now, runActive_.load(), safeRemoveOn_);
    if (fx.hideResultWindow)
        passForm_->hide();
    if (fx.disableStart) {
        view_->widget("ExecuteBtn")->setEnabled(false);
        if (idle())
            panel_["ExecuteBtn"].enabled = false;
        else
            pendingStartDisable_ = true;
    }
    if (fx.armed && changeTimer_.dueAt()) {
        const double ms = static_cast<double>(*changeTimer_.dueAt() - now) * debounceScale_;
        timer17_.start(static_cast<int>(ms));
    }
}

void TMainForm::onTimer17() {
    changeTimer_.Kill();
    if (!idle()) {
        timer17Pending_ = true;
        return;
    }
    post([this] {
        shell_->OnTimer17();
        ++refreshes_;
    });
}

// Every ten seconds in type-C mode while the power-control board is not ready: the timer
// stops, the operator is reminded, and the timer starts again once the message is closed.
void TMainForm::Timer_EPPTimer() {
    if (!idle() || settings_.EnEPPTypeC == 0 || station_->powerControl().ready)
        return;
    eppTimer_.stop();
    op_.showMessage({EppReminder::kText, msg::kError, MessageIcon::Error});
    eppTimer_.start();
}

// ---------------------------------------------------------------- the operator

void TMainForm::buttonClicked(const std::string& name) {
    if (name == "BtnStopTest") {
        driver_->BtnStopTestClick();
        return;
    }
    if (!idle())
        return;
    if (name == "RefreshBtn")
        passForm_->hide();
    if (name == "LoadFWButton")
        LoadFWButtonClick();
    else if (name == "INILoadBtn")
        INILoadBtnClick();
    else if (name == "INISaveBtn")
        INISaveBtnClick();
    else
        rules_->userClick(name);  // START, Refresh, Safe Remove, Start Test
    if (idle())
        syncFromModel();
}

void TMainForm::LoadFWButtonClick() {
    QString start = QString::fromStdString(panel_["FwFileNameEdit"].text);
    if (start.isEmpty())
        start = QString::fromStdString(rules_->DialogInitialFolder().string());
    const QString file = QFileDialog::getOpenFileName(this, "Load F/W File", start,
                                                      "BinaryFile (*.bin);;All Files (*.*)");
    rules_->LoadFWButtonClick(file.isEmpty() ? std::nullopt
                                             : std::optional<std::string>(file.toStdString()));
}

void TMainForm::INILoadBtnClick() {
    QFileDialog dlg(this, "Load INI",
                    QString::fromStdString(rules_->DialogInitialFolder().string()),
                    "EEPROM INI file (*.ini)");
    dlg.setObjectName("INIOpenDialog");
    dlg.setDefaultSuffix("ini");
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::ExistingFile);
    std::optional<std::filesystem::path> chosen;
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
        chosen = dlg.selectedFiles().front().toStdString();
    rules_->INILoadBtnClick(chosen);
}

void TMainForm::INISaveBtnClick() {
    QFileDialog dlg(this, "Save INI",
                    QString::fromStdString(rules_->DialogInitialFolder().string()),
                    "EEPROM INI file (*.ini)");
    dlg.setObjectName("INISaveDialog");
    dlg.setDefaultSuffix("ini");
    dlg.setAcceptMode(QFileDialog::AcceptSave);
    std::optional<std::filesystem::path> chosen;
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty())
        chosen = dlg.selectedFiles().front().toStdString();
    rules_->INISaveBtnClick(chosen);
}

bool TMainForm::laterDiskBridgeAttached() const {
    for (const PortRecord& r : station_->ports()) {
        if (r.usable && r.chipKind >= 21 && r.chipKind <= 24)
            return true;
    }
    return false;
}

void TMainForm::RDCheckClicked() {
    RDCheckClick(*rules_, op_, laterDiskBridgeAttached());
}

void TMainForm::TreeView1Click(int slot) {
    selectedPort_ = slot;
}

void TMainForm::DblClickBtnClick() {
    if (!idle())
        return;
    const int devices = station_->runDeviceCount();
    const bool rd = RdMode(panel_);
    if (devices > 0 && selectedPort_ > 0 &&
        station_->ports()[static_cast<std::size_t>(selectedPort_ - 1)].usable) {
        if (!rd)
            return;
        const auto slot = static_cast<std::size_t>(selectedPort_ - 1);
        const bool later = laterDiskBridgeAttached();
        post([this, slot, later] {
            PortRecord r;
            {
                std::lock_guard lock(station_->recordsLock());
                r = station_->ports()[slot];
            }
            char letter = station_->firstDriveLetter(slot);
            if (letter == 0)
                letter = r.driveLetter;
            const DetailFacts f =
                ReadDetailFacts(r, letter, station_->transport(), station_->discovery(), later);
            QMetaObject::invokeMethod(
                this, [this, f] { detailForm_->showFacts(f); }, Qt::QueuedConnection);
        });
    } else if (devices > 0 && selectedPort_ == 0 && rd) {
        op_.showMessage({kSelectPortFirst, msg::kPlainTitle, MessageIcon::None});
    }
}

void TMainForm::ResetYieldBtnClick() {
    if (!idle())
        return;
    display_.ResetYield(settings_);
    {
        std::lock_guard lock(snapshotLock_);
        snapshot_.yield = display_.yieldText();
    }
    drawPorts();
}

void TMainForm::keyPressEvent(QKeyEvent* event) {
    // The form sees the keys the controls leave (the "0" shortcut).
    if (idle() && event->text().size() == 1) {
        rules_->FormKeyPress(event->text()[0].toLatin1());
        if (idle())
            syncFromModel();
    }
    QMainWindow::keyPressEvent(event);
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (closed_) {
        event->accept();
        return;
    }
    if (runActive_) {
        const auto a = op_.showMessage(
            {kCloseDuringRun, msg::kWarning, MessageIcon::Warning, MessageButtons::YesNo});
        event->ignore();
        if (a == MessageAnswer::Yes) {
            // The workers stop at their next step boundary; the window closes once the
            // run has ended and its log and counters are written.
            driver_->RequestClose();
            closeWhenIdle_ = true;
        }
        return;
    }
    if (!idle()) {
        event->ignore();
        closeWhenIdle_ = true;
        return;
    }
    // FormClose, then what the destruction saves.
    PowerOffAtClose(settings_.EnEPPTypeC != 0, station_->powerControl(), station_->transport());
    if (platform_.hotplug)
        platform_.hotplug->setListener({});
    rules_->SaveOnExit();
    passForm_->hide();
    detailForm_->hide();
    closed_ = true;
    event->accept();
}

}  // namespace vq::ui
