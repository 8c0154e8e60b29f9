#include "shell/flmain.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "engine/catalogue.h"
#include "engine/firmware_file.h"
#include "engine/firmware_load.h"
#include "engine/run.h"
#include "engine/verdict.h"
#include "engine/x_flash.h"
#include "serial/wire_trace.h"
#include "help/help1.h"
#include "help/hilfe1.h"
#include "help/revinfo.h"
#include "shell/comport_dialog.h"
#include "shell/open_dialog.h"
#include "shell/run_log_window.h"

namespace qtx {

namespace {

constexpr int kClientWidth = 415;
constexpr int kClientHeight = 310;
// The verdict sits under the status bar, three lines high: the result, then the hint.
constexpr int kVerdictHeight = 48;
// The gauge and the status text are painted at most this often during a run.
constexpr int kPaintIntervalMs = 40;
const char kVersionText[] = QTX_VERSION;
const char kNoFile[] = "NO FILE SELECTED";
const char kBlankStatus[] = "               ";  // 15 blanks, as ResetStatus writes

// A file the run can read; a directory does not count.
bool FileExists(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p(path);
    return !path.empty() && std::filesystem::exists(p, ec) && !std::filesystem::is_directory(p, ec);
}

QString FromLocal(const std::string& s) { return QFile::decodeName(QByteArray::fromStdString(s)); }
std::string ToLocal(const QString& s) { return QFile::encodeName(s).toStdString(); }

// Status texts carry line feeds (a verify report spans lines); the bar has
// one line, so they stand on it side by side.
QString OneLine(const std::string& text) {
    QString s = QString::fromStdString(text);
    s.replace(QLatin1String("\r\n"), QLatin1String(" "));
    s.replace(QLatin1Char('\n'), QLatin1Char(' '));
    s.replace(QLatin1Char('\r'), QLatin1Char(' '));
    return s.trimmed();
}

QLabel* MakePanel(QWidget* parent, const char* name, const QString& caption, QRect geometry) {
    auto* p = new QLabel(caption, parent);
    p->setObjectName(QLatin1String(name));
    p->setGeometry(geometry);
    p->setAlignment(Qt::AlignCenter);
    p->setFrameStyle(QFrame::Panel | QFrame::Raised);
    p->setLineWidth(1);
    p->setAutoFillBackground(true);
    return p;
}

QFrame* MakeBevel(QWidget* parent, const char* name, QRect geometry, bool line) {
    auto* b = new QFrame(parent);
    b->setObjectName(QLatin1String(name));
    b->setGeometry(geometry);
    b->setFrameStyle((line ? QFrame::HLine : QFrame::Box) | QFrame::Sunken);
    return b;
}

// Static texts grow to their text, as auto-sized labels do: the design widths
// were measured with another font, and a cut-off colon reads as a fault.
void FitLabel(QLabel* label) {
    label->ensurePolished();
    const int needed = label->sizeHint().width();
    if (needed > label->width()) label->resize(needed, label->height());
}

// The rate the run's data went at; empty when the run never got that far.
// A fast rate asked for but not taken is named: the status line that said
// why is gone by the end of the run.
QString DataRateText(uint32_t asked, uint32_t used) {
    if (used == 0) return {};
    const QString text = QStringLiteral("Data at %1 baud").arg(used);
    if (asked == 0) return text;
    return asked == used ? text + QStringLiteral(" (fast)") : text + QStringLiteral(", not %1").arg(asked);
}

void PaintBackground(QWidget* w, Color c) {
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, TBSL::ToQColor(c, QApplication::palette()));
    w->setPalette(pal);
    w->setProperty("colorName", QLatin1String(ColorName(c)));
}

}  // namespace

void SetUpApplication() {
    QApplication::setApplicationName(QStringLiteral("qtxflash"));
    // No application display name: Qt would append it to every title bar
    // ("QTX Flash V.1.13 - QTX Flash"), and the captions must read exactly as
    // given. The task bar shows the main window's own title instead.
}

void ElidedLabel::SetFullText(const QString& text) {
    full_ = text;
    Refresh();
}

bool ElidedLabel::Elided() const { return text() != full_; }

QSize ElidedLabel::minimumSizeHint() const {
    // A long text must not widen the row it sits in; it is elided instead.
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Refresh();
}

void ElidedLabel::Refresh() {
    // The middle goes: a path keeps its root and its file name, a status text
    // its start and its end.
    const int room = contentsRect().width() - 2 * margin() - 4;
    const QString shown = fontMetrics().elidedText(full_, Qt::ElideMiddle, room > 0 ? room : 0);
    if (shown != text()) setText(shown);
    setToolTip(shown == full_ ? QString() : full_);
}

QColor TBSL::ToQColor(Color c, const QPalette& palette) {
    const auto v = static_cast<uint32_t>(c);
    if ((v & 0x80000000u) == 0) return QColor(int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF));
    switch (c) {
    case Color::Menu:
        return QApplication::palette("QMenu").color(QPalette::Window);
    case Color::BtnFace:
        return palette.color(QPalette::Button);
    case Color::InactiveBorder:
    default:
        return palette.color(QPalette::Window);
    }
}

bool WindowDisplay::OnWindowThread() const { return QThread::currentThread() == w_.thread(); }

template <class F>
void WindowDisplay::Forward(F&& call) {
    Display& target = w_;
    if (OnWindowThread()) {
        call(target);
        return;
    }
    // Queued calls to one object are delivered in the order they were made.
    QMetaObject::invokeMethod(
        &w_, [&target, call = std::forward<F>(call)]() mutable { call(target); }, Qt::QueuedConnection);
}

void WindowDisplay::SetPanelCaption(Panel panel, const std::string& caption) {
    Forward([panel, caption](Display& d) { d.SetPanelCaption(panel, caption); });
}
void WindowDisplay::SetPanelColor(Panel panel, Color color) {
    Forward([panel, color](Display& d) { d.SetPanelColor(panel, color); });
}
void WindowDisplay::SetStatusText(const std::string& text) {
    Forward([text](Display& d) { d.SetStatusText(text); });
}
void WindowDisplay::SetProgress(int percent) {
    // The engine reports the gauge for every few bytes; only a new value is worth a trip to the window.
    if (!OnWindowThread()) {
        if (percent == lastProgress_) return;
        lastProgress_ = percent;
    }
    Forward([percent](Display& d) { d.SetProgress(percent); });
}
void WindowDisplay::SetProgressTextVisible(bool visible) {
    Forward([visible](Display& d) { d.SetProgressTextVisible(visible); });
}
void WindowDisplay::SetCancelEnabled(bool enabled) {
    Forward([enabled](Display& d) { d.SetCancelEnabled(enabled); });
}
void WindowDisplay::SetCancelDefault(bool isDefault) {
    Forward([isDefault](Display& d) { d.SetCancelDefault(isDefault); });
}
void WindowDisplay::SetFlashEnabled(bool enabled) {
    Forward([enabled](Display& d) { d.SetFlashEnabled(enabled); });
}
void WindowDisplay::SetFlashDefault(bool isDefault) {
    Forward([isDefault](Display& d) { d.SetFlashDefault(isDefault); });
}
void WindowDisplay::SetTimerRunning(bool running) {
    Forward([running](Display& d) { d.SetTimerRunning(running); });
}
void WindowDisplay::ShowPortRecord(const PortRecord& record) {
    Forward([record](Display& d) { d.ShowPortRecord(record); });
}
void WindowDisplay::MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    // The run goes on while the box is up, as it did when the box's own loop pumped it.
    Forward([text, caption, icon](Display& d) { d.MessageBox(text, caption, icon); });
}
void WindowDisplay::Pump() {
    if (OnWindowThread()) {
        w_.Pump();
        return;
    }
    // The flasher clears its flag when its boot loader step begins; a request
    // made before then is handed on again at the next pump.
    if (w_.abortWanted_.load() && w_.ctx.ActiveFlasher) w_.ctx.ActiveFlasher->Abort = 1;
}

TBSL::TBSL(SetupLoader loadSetup, QWidget* parent) : QMainWindow(parent), ctx(display_) {
    setObjectName(QStringLiteral("BSL"));
    setWindowTitle(QStringLiteral("FLASH WIN95/98/NT v.1.0"));
    // Fixed size, system menu and minimise only.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(11);
    setFont(f);

    BuildLayout();
    BuildMenu();
    layout()->setSizeConstraint(QLayout::SetFixedSize);

    FormCreate(loadSetup);

    adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

TBSL::~TBSL() {
    if (worker_.joinable()) {
        // Nothing may outlive the window that the run's thread still uses.
        abortWanted_ = true;
        worker_.join();
    }
    if (Timer4) Timer4->stop();
    FormClose();
}

void TBSL::BuildLayout() {
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    client_->setFixedSize(kClientWidth, kClientHeight + kVerdictHeight);
    client_->setAutoFillBackground(true);
    PaintBackground(client_, Color::InactiveBorder);
    setCentralWidget(client_);

    Bevel1 = MakeBevel(client_, "Bevel1", {1, 0, 405, 2}, true);
    Bevel2 = MakeBevel(client_, "Bevel2", {3, 16, 406, 217}, false);
    Bevel3 = MakeBevel(client_, "Bevel3", {3, 239, 406, 47}, false);

    BslPanel = MakePanel(client_, "BslPanel", QStringLiteral("BSL"), {31, 30, 78, 41});
    BslPanel->setToolTip(QStringLiteral("Bootstrap Loader Status"));
    // Border width 2: the caption sits inside a 2-pixel margin.
    BslPanel->setMargin(2);
    ErasePanel = MakePanel(client_, "ErasePanel", QStringLiteral("ERASE"), {167, 30, 79, 41});
    ErasePanel->setToolTip(QStringLiteral("ROM Erase Status"));
    FlashPanel = MakePanel(client_, "FlashPanel", QStringLiteral("FLASH"), {301, 30, 79, 41});
    FlashPanel->setToolTip(QStringLiteral("Flash Status"));
    for (QLabel* p : {BslPanel, ErasePanel, FlashPanel}) PaintBackground(p, Color::Menu);

    RadioGroup = new QGroupBox(QStringLiteral("Processor"), client_);
    RadioGroup->setObjectName(QStringLiteral("RadioGroup"));
    RadioGroup->setGeometry(20, 82, 148, 95);
    RadioGroup->setToolTip(QStringLiteral("Processor Type"));

    ProcessorType = new QComboBox(client_);
    ProcessorType->setObjectName(QStringLiteral("ProcessorType"));
    ProcessorType->setGeometry(26, 121, 137, 21);
    ProcessorType->setEditable(false);
    ProcessorType->setToolTip(QStringLiteral("Processor Type"));
    ProcessorType->raise();
    // A change of the selection is a target change (start-up fills the list with signals blocked).
    connect(ProcessorType, &QComboBox::currentIndexChanged, this, [this] { RadioGroupClick(); });

    SetX2Box = new QCheckBox(QStringLiteral("X2"), client_);
    SetX2Box->setObjectName(QStringLiteral("SetX2Box"));
    SetX2Box->setGeometry(27, 153, 45, 17);

    GroupBox1 = new QGroupBox(QStringLiteral("Port Parameter"), client_);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(180, 82, 128, 95);
    Port = new QLabel(QStringLiteral("COM-Port:"), GroupBox1);
    Port->setObjectName(QStringLiteral("Port"));
    Port->setGeometry(8, 28, 53, 17);
    Baudrate = new QLabel(QStringLiteral("Baudrate:"), GroupBox1);
    Baudrate->setObjectName(QStringLiteral("Baudrate"));
    Baudrate->setGeometry(8, 59, 50, 17);
    FitLabel(Port);
    FitLabel(Baudrate);
    Panel2 = new QLabel(GroupBox1);
    Panel3 = new QLabel(GroupBox1);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel2->setGeometry(64, 24, 50, 23);
    Panel3->setGeometry(64, 56, 50, 23);
    for (QLabel* p : {Panel2, Panel3}) {
        p->setAlignment(Qt::AlignCenter);
        p->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    }

    FlashButton = new QPushButton(QStringLiteral("FLASH"), client_);
    FlashButton->setObjectName(QStringLiteral("FlashButton"));
    FlashButton->setGeometry(316, 99, 77, 25);
    FlashButton->setToolTip(QStringLiteral("Send Flash File"));
    FlashButton->setAutoDefault(false);
    FlashButton->setDefault(true);
    Cancel = new QPushButton(QStringLiteral("Abort"), client_);
    Cancel->setObjectName(QStringLiteral("Cancel"));
    Cancel->setGeometry(316, 144, 75, 25);
    Cancel->setAutoDefault(false);
    Cancel->setEnabled(false);
    setTabOrder(FlashButton, Cancel);
    connect(FlashButton, &QPushButton::clicked, this, &TBSL::FlashButtonClick);
    connect(Cancel, &QPushButton::clicked, this, &TBSL::CancelClick);

    Label1 = new QLabel(QStringLiteral("Flash File:"), client_);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(25, 183, 47, 13);
    FitLabel(Label1);
    Panel1 = new ElidedLabel(client_);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(20, 200, 373, 25);
    Panel1->setAlignment(Qt::AlignCenter);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setAutoFillBackground(true);
    PaintBackground(Panel1, Color::InactiveBorder);

    ProgressBar1 = new QProgressBar(client_);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(17, 252, 377, 20);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setAlignment(Qt::AlignCenter);
    {
        QPalette pal = ProgressBar1->palette();
        pal.setColor(QPalette::Highlight, ToQColor(Color::Blue, pal));
        ProgressBar1->setPalette(pal);
    }

    // A status bar of its own inside the client area, so that the client area
    // keeps its designed size and the bar keeps its designed place.
    StatusBar1 = new QStatusBar(client_);
    StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
    StatusBar1->setGeometry(0, 287, 415, 23);
    StatusBar1->setSizeGripEnabled(false);
    statusLabel_ = new ElidedLabel(StatusBar1);
    statusLabel_->setObjectName(QStringLiteral("StatusText"));
    statusLabel_->setContentsMargins(2, 0, 2, 0);
    StatusBar1->addWidget(statusLabel_, 1);
    // Beside the engine's status text, never in it: the texts the engine
    // writes stay as they are.
    DataRate = new QLabel(StatusBar1);
    DataRate->setObjectName(QStringLiteral("DataRate"));
    DataRate->setContentsMargins(2, 0, 2, 0);
    DataRate->setToolTip(QStringLiteral("The rate the last run's data went at"));
    StatusBar1->addPermanentWidget(DataRate);

    Verdict = new QLabel(client_);
    Verdict->setObjectName(QStringLiteral("Verdict"));
    Verdict->setGeometry(0, kClientHeight, kClientWidth, kVerdictHeight);
    Verdict->setContentsMargins(4, 1, 4, 1);
    Verdict->setWordWrap(true);
    Verdict->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    Verdict->setAutoFillBackground(true);
    ShowVerdict(QString(), QString(), QString());

    paintTimer_ = new QTimer(this);
    paintTimer_->setSingleShot(true);
    connect(paintTimer_, &QTimer::timeout, this, &TBSL::PaintPending);

    Timer4 = new QTimer(this);
    Timer4->setObjectName(QStringLiteral("Timer4"));
    Timer4->setInterval(200);
    connect(Timer4, &QTimer::timeout, this, &TBSL::Timer4Timer);
}

void TBSL::BuildMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu1"));

    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    file->setObjectName(QStringLiteral("File1"));
    Open1 = file->addAction(QStringLiteral("&Open"));
    Open1->setObjectName(QStringLiteral("Open1"));
    Open1->setShortcut(QKeySequence(Qt::Key_F2));
    RunLog1 = file->addAction(QStringLiteral("Run &log"));
    RunLog1->setObjectName(QStringLiteral("RunLog1"));
    RunLog1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    Exit = file->addAction(QStringLiteral("&Exit"));
    Exit->setObjectName(QStringLiteral("Exit"));

    Comport1 = bar->addAction(QStringLiteral("&Comport"));
    Comport1->setObjectName(QStringLiteral("Comport1"));

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    help->setObjectName(QStringLiteral("Help"));
    Help1 = help->addAction(QStringLiteral("&Help"));
    Help1->setObjectName(QStringLiteral("Help1"));
    Help1->setShortcut(QKeySequence(Qt::Key_F1));
    Hilfe = help->addAction(QStringLiteral("&Hilfe"));
    Hilfe->setObjectName(QStringLiteral("Hilfe"));
    Hilfe->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F1));
    help->addSeparator()->setObjectName(QStringLiteral("N1"));
    Info = help->addAction(QStringLiteral("&Info"));
    Info->setObjectName(QStringLiteral("Info"));

    connect(Open1, &QAction::triggered, this, &TBSL::Open1Click);
    connect(Exit, &QAction::triggered, this, &TBSL::ExitClick);
    connect(RunLog1, &QAction::triggered, this, &TBSL::RunLogClick);
    connect(Comport1, &QAction::triggered, this, &TBSL::Comport1Click);
    connect(Help1, &QAction::triggered, this, &TBSL::Help1Click);
    connect(Hilfe, &QAction::triggered, this, &TBSL::HilfeClick);
    connect(Info, &QAction::triggered, this, &TBSL::InfoClick);
}

void TBSL::FormCreate(const SetupLoader& loadSetup) {
    setWindowTitle(QStringLiteral("QTX Flash V.%1").arg(QLatin1String(kVersionText)));
    Timer4->stop();

    if (loadSetup)
        loadSetup(ctx);
    else
        DefaultSetup(ctx.setup);
    if (ctx.FatalExitStatus != 0) {
        // The settings file cannot be written; the user has been told in a box.
        fatalStatus_ = ctx.FatalExitStatus;
        fatalMessage_ = "qtxflash: Cannot generate setup flash.stp\n";
        return;
    }

    SelectStoredTarget();
    if (fatalStatus_ != 0) {
        // Without this the program would just vanish at every start.
        const std::string code = std::to_string(ctx.setup.DeviceCode());
        if (ctx.StartDirectory.empty()) {
            fatalMessage_ = "qtxflash: the settings hold device code " + code + ", which selects no processor type.\n";
        } else {
            const std::string file = SetupFilePath(ctx);
            fatalMessage_ = "qtxflash: the settings file " + file + " holds device code " + code +
                            ", which selects no processor type.\nRemove " + file +
                            " to start again with the default settings.\n";
        }
        return;
    }

    openDir_ = FromLocal(ctx.setup.FlashDirText());
    ctx.FlashFilePath = ctx.setup.FlashDirText() + ctx.setup.FlashNameText();
    flashFileExists_ = FileExists(ctx.FlashFilePath);
    Panel1->SetFullText(flashFileExists_ ? FromLocal(ctx.FlashFilePath) : QLatin1String(kNoFile));
    SetFlashEnabled(flashFileExists_);

    SetX2Box->setVisible(false);
    SetX2Box->setChecked(true);

    runLogPath_ = RunLogPath();
    RunLog = new TRunLog(this);
    RunLog->SetLogFile(runLogPath_, {});
}

void TBSL::SelectStoredTarget() {
    const QSignalBlocker block(ProcessorType);
    ProcessorType->clear();
    for (const TargetRow* row : Catalogue()) ProcessorType->addItem(QString::fromUtf8(row->itemText));
    ProcessorType->setCurrentIndex(ListIndexOfCode(ctx.setup.DeviceCode()));
    RadioGroupClick();
}

void TBSL::RadioGroupClick() {
    // The selector is disabled during a run; a change cannot replace the running flasher.
    if (running_) return;
    const int index = ProcessorType->currentIndex();
    const auto& rows = Catalogue();
    if (index < 0 || static_cast<std::size_t>(index) >= rows.size()) {
        Fatal(1);
        return;
    }
    if (SelectTarget(ctx, rows[static_cast<std::size_t>(index)]->deviceCode) != 0) Fatal(1);
}

void TBSL::Fatal(int status) {
    fatalStatus_ = status;
    ctx.ActiveFlasher.reset();
    // During start-up the caller sees FatalStatus(); later the running loop ends.
    if (QCoreApplication::instance() && isVisible()) QCoreApplication::exit(status);
}

void TBSL::GuardRun(bool running) {
    running_ = running;
    ProcessorType->setEnabled(!running);
    RadioGroup->setEnabled(!running);
    Open1->setEnabled(!running);
    Comport1->setEnabled(!running);
    // The help and info windows are modal: open during a run, they would keep
    // Abort out of reach.
    Help1->setEnabled(!running);
    Hilfe->setEnabled(!running);
    Info->setEnabled(!running);
    FlashButton->setEnabled(flashWanted_ && !running);
}

void TBSL::FlashButtonClick() {
    if (running_ || fatalStatus_ != 0) return;
    // A countdown left from the previous run must not reset the new run's display.
    Timer4->stop();
    ctx.ResetCountdown = 0;
    abortWanted_ = false;
    display_.NewRun();
    // The fast-data choice of the port dialog, where the target still offers it.
    const TargetRow* target = FindTargetByCode(ctx.setup.DeviceCode());
    ctx.FastBaud = target ? StoredFastRate(*target) : 0;
    DataRate->clear();
    ShowVerdict(QStringLiteral("Running: %1 on %2").arg(ProcessorType->currentText(), Panel2->text()),
                FileSummary(), QStringLiteral("running"));
    // QTXFLASH_TRACE=FILE records every run's bytes on the line, appended to FILE.
    ctx.Trace.reset();
    if (const char* trace = std::getenv("QTXFLASH_TRACE"); trace && *trace) {
        ctx.Trace = std::make_shared<WireTrace>(trace);
        if (ctx.Trace->Ok())
            ctx.Trace->Note("run of " + ProcessorType->currentText().toStdString() + " on " +
                            Panel2->text().toStdString() + ", file " + ctx.FlashFilePath);
        else {
            MessageBox(ctx.Trace->Problem() + "\nThe run goes on without a trace.", "QTXFLASH_TRACE", MessageIcon::Warning);
            ctx.Trace.reset();
        }
    }
    GuardRun(true);
    runStartMs_ = NowMs();
    runStartUnixMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    worker_ = std::thread([this] { RunOnWorker(); });
}

void TBSL::RunOnWorker() {
    RunOutcome outcome = RunOutcome::ProgramFailed;
    std::string crash;
    try {
        outcome = FlashRun(ctx);
    } catch (const std::exception& e) {
        crash = std::string("The run ended unexpectedly: ") + e.what();
    } catch (...) {
        crash = "The run ended unexpectedly.";
    }
    if (!crash.empty()) {
        try {
            DestroyActivePort(ctx);
            SelectTarget(ctx, ctx.setup.DeviceCode());
            EnableFlash(ctx);
        } catch (...) {
            // Already on the way out; the box says what happened.
        }
    }
    QMetaObject::invokeMethod(
        this, [this, outcome, crash] { RunEnded(outcome, crash); }, Qt::QueuedConnection);
}

void TBSL::RunEnded(RunOutcome outcome, const std::string& crash) {
    if (worker_.joinable()) worker_.join();
    ctx.Trace.reset();  // the whole run is in the file now
    const int64_t duration = NowMs() - runStartMs_;
    running_ = false;
    PaintPending();
    GuardRun(false);
    // Read only now: the run's thread sets it and is gone.
    DataRate->setText(DataRateText(ctx.FastBaud, ctx.DataBaud));

    const RunVerdict verdict = VerdictOf(ctx, outcome);
    const RunRecord record = MakeRunRecord(ctx, verdict, runStartUnixMs_, duration);
    std::string problem;
    AppendRunLog(runLogPath_, record, &problem);
    RunLog->SetLogFile(runLogPath_, problem);
    RunLog->Add(record);
    const QString tone = verdict.outcome == RunOutcome::Programmed ? QStringLiteral("ok")
                         : verdict.partial                        ? QStringLiteral("partial")
                                                                  : QStringLiteral("failed");
    ShowVerdict(QString::fromStdString(VerdictLine(verdict, record)), QString::fromStdString(verdict.hint), tone);

    if (!crash.empty()) {
        MessageBox(crash, "Error!", MessageIcon::Error);
    } else if (outcome == RunOutcome::BadInput) {
        // A refused file never reached the board; the user is told why in a box,
        // as the status bar alone is easily missed.
        MessageBox(statusText_, "Error", MessageIcon::Error);
    }
    if (ctx.FatalExitStatus != 0) Fatal(ctx.FatalExitStatus);
    emit RunFinished(static_cast<int>(outcome));
    if (closeRequested_ && !waitingToClose_) close();
}

bool TBSL::WaitForRun(int timeoutMs) {
    if (!running_) return true;
    // A loop of its own that sleeps until the run's end or the time limit.
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &TBSL::RunFinished, &loop, &QEventLoop::quit);
    limit.start(timeoutMs);
    loop.exec();
    return !running_;
}

QString TBSL::VerdictText() const { return Verdict->text(); }

QString TBSL::FileSummary() const {
    // Read again at every start: the file may have changed since it was chosen.
    const TargetRow* row = FindTargetByCode(ctx.setup.DeviceCode());
    LoadedFirmware loaded;
    std::string why;
    if (!row || !LoadFirmware(ctx.FlashFilePath, *row, loaded, why)) return {};
    return QString::fromStdString(FirmwareLine(loaded, *row));
}

void TBSL::ShowVerdict(const QString& line, const QString& hint, const QString& tone) {
    Verdict->setText(hint.isEmpty() ? line : line + QLatin1Char('\n') + hint);
    Verdict->setToolTip(Verdict->text());
    Verdict->setProperty("tone", tone);
    QPalette pal = Verdict->palette();
    QColor back = QApplication::palette().color(QPalette::Window);
    if (tone == QLatin1String("ok"))
        back = QColor(0xC8, 0xEC, 0xC8);
    else if (tone == QLatin1String("failed"))
        back = QColor(0xF4, 0xC4, 0xC4);
    else if (tone == QLatin1String("partial"))
        back = QColor(0xF6, 0xDC, 0x9C);
    pal.setColor(QPalette::Window, back);
    pal.setColor(QPalette::WindowText, Qt::black);
    Verdict->setPalette(pal);
}

void TBSL::CancelClick() {
    // The run's thread picks it up at its next pump, in a wait or between blocks.
    if (running_) abortWanted_ = true;
}

void TBSL::Timer4Timer() {
    // The run's thread may still be winding up (closing the port) when the
    // countdown it started first ticks; the context is its until the run has ended.
    if (running_) return;
    qtx::Timer4Timer(ctx);
}

bool TBSL::OpenDialog1CanClose(const QString& path) {
    const QFileInfo info(path);
    if (!info.exists() || info.isDir()) {
        MessageBox("File does not exist", "Error", MessageIcon::None);
        return false;
    }
    // The run would refuse it before touching the board; better to say so now,
    // in the run's own words (not a regular file, empty, too large, a damaged
    // record, data outside the flash).
    QString summary;
    if (const TargetRow* row = FindTargetByCode(ctx.setup.DeviceCode())) {
        LoadedFirmware loaded;
        std::string why;
        if (!LoadFirmware(ToLocal(info.absoluteFilePath()), *row, loaded, why)) {
            MessageBox(why, "Error", MessageIcon::Error);
            return false;
        }
        summary = QString::fromStdString(FirmwareLine(loaded, *row));
    }
    // The settings record has fixed room for the directory and the name; a
    // truncated path would name another file, so such a choice is refused.
    QString dir = info.absolutePath();
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    const std::string dirText = ToLocal(dir);
    const std::string nameText = ToLocal(info.fileName());
    if (dirText.size() > kMaxFlashDirLen) {
        MessageBox("The directory path is too long (" + std::to_string(dirText.size()) + " bytes, at most " +
                       std::to_string(kMaxFlashDirLen) + " can be kept).\nPlease choose a file in a shorter path.",
                   "Error", MessageIcon::Error);
        return false;
    }
    if (nameText.size() > kMaxFlashNameLen) {
        MessageBox("The file name is too long (" + std::to_string(nameText.size()) + " bytes, at most " +
                       std::to_string(kMaxFlashNameLen) + " can be kept).",
                   "Error", MessageIcon::Error);
        return false;
    }
    SetStatusText(kBlankStatus);
    Panel1->SetFullText(info.absoluteFilePath());
    // What will be streamed, before any run: the range and the image's CRC-32.
    ShowVerdict(QStringLiteral("Chosen: %1").arg(info.fileName()), summary, QString());
    return true;
}

void TBSL::Open1Click() {
    if (running_) return;
    OpenDialog dialog(this, openDir_, [this](const QString& p) { return OpenDialog1CanClose(p); });
    if (dialog.exec() != QDialog::Accepted) return;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return;
    const QFileInfo info(files.first());
    QString dir = info.absolutePath();
    if (!dir.endsWith(QLatin1Char('/'))) dir += QLatin1Char('/');
    // Both fit: OpenDialog1CanClose refused anything longer.
    if (!ctx.setup.SetFlashDir(ToLocal(dir)) || !ctx.setup.SetFlashName(ToLocal(info.fileName()))) return;
    openDir_ = dir;
    ctx.FlashFilePath = ctx.setup.FlashDirText() + ctx.setup.FlashNameText();
    EnableFlash(ctx);
}

void TBSL::ExitClick() { close(); }

void TBSL::Comport1Click() {
    if (running_) return;
    // A new dialog for every opening, so its lists always start empty.
    TFormComport FormComport(ctx, flashFileExists_, this);
    FormComport.exec();
}

void TBSL::CreateHelpWindows() {
    if (!FormHelp) FormHelp = new TFormHelp(this);
    if (!FormHilfe) FormHilfe = new TFormHilfe(this);
    if (!InfoPanel) InfoPanel = new TInfoPanel(this);
}

void TBSL::Help1Click() {
    if (running_) return;
    CreateHelpWindows();
    FormHelp->exec();
}

void TBSL::HilfeClick() {
    if (running_) return;
    CreateHelpWindows();
    FormHilfe->exec();
}

void TBSL::InfoClick() {
    if (running_) return;
    CreateHelpWindows();
    InfoPanel->exec();
}

void TBSL::RunLogClick() {
    // Not modal: the log may stay open beside the window, also during a run.
    RunLog->show();
    RunLog->raise();
    RunLog->activateWindow();
}

void TBSL::closeEvent(QCloseEvent* event) {
    if (running_) {
        event->ignore();
        if (askingToClose_ || waitingToClose_) return;
        askingToClose_ = true;
        const auto answer = QMessageBox::question(
            this, QStringLiteral("Flash run in progress"),
            QStringLiteral("A flash run is in progress. Abort it and quit?\n"
                           "A run aborted after the erase began leaves a partial image on the board."),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        askingToClose_ = false;
        if (answer != QMessageBox::Yes) return;
        if (running_) {
            closeRequested_ = true;
            abortWanted_ = true;
            // The run lets go of the port at its next pump; the window goes once it has.
            waitingToClose_ = true;
            WaitForRun(1000);
            waitingToClose_ = false;
            if (running_) {
                // Still closing the port: the window goes when the run has ended (RunEnded).
                hide();
                return;
            }
        }
    }
    FormClose();
    event->accept();
}

void TBSL::StoredSetup(Context& c) { LoadSetup(c); }

void TBSL::FormClose() {
    Timer4->stop();
    // Only settings that came from flash.stp go back there, once.
    if (!ctx.StartDirectory.empty() && !settingsSaved_) {
        settingsSaved_ = true;
        SaveSetup(ctx);
    }
    if (ctx.PortIsOpen || ctx.ActivePort) DestroyActivePort(ctx);
    ctx.ActiveFlasher.reset();
}

void TBSL::keyPressEvent(QKeyEvent* event) {
    // Return presses the default button, Esc the Abort button (the cancel button).
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        for (QPushButton* b : {FlashButton, Cancel}) {
            if (b->isDefault() && b->isEnabled()) {
                b->click();
                return;
            }
        }
        break;
    case Qt::Key_Escape:
        if (Cancel->isEnabled()) {
            Cancel->click();
            return;
        }
        break;
    default:
        break;
    }
    QMainWindow::keyPressEvent(event);
}

QLabel* TBSL::PanelLabel(Panel panel) const {
    switch (panel) {
    case Panel::Bsl:
        return BslPanel;
    case Panel::Erase:
        return ErasePanel;
    case Panel::Flash:
    default:
        return FlashPanel;
    }
}

void TBSL::SetPanelCaption(Panel panel, const std::string& caption) {
    PaintPending();
    QLabel* p = PanelLabel(panel);
    p->setText(QString::fromStdString(caption));
    p->repaint();
}

void TBSL::SetPanelColor(Panel panel, Color color) {
    PaintPending();
    QLabel* p = PanelLabel(panel);
    PaintBackground(p, color);
    p->repaint();
}

void TBSL::SetStatusText(const std::string& text) {
    statusText_ = text;
    statusPending_ = true;
    RequestPaint();
}

void TBSL::SetProgress(int percent) {
    progressValue_ = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    progressPending_ = true;
    RequestPaint();
}

void TBSL::RequestPaint() {
    if (!running_ || !paintClock_.isValid() || paintClock_.elapsed() >= kPaintIntervalMs) {
        PaintPending();
        return;
    }
    if (!paintTimer_->isActive()) paintTimer_->start(int(kPaintIntervalMs - paintClock_.elapsed()));
}

void TBSL::PaintPending() {
    paintTimer_->stop();
    if (statusPending_) statusLabel_->SetFullText(OneLine(statusText_));
    if (progressPending_) ProgressBar1->setValue(progressValue_);
    statusPending_ = progressPending_ = false;
    paintClock_.start();
}

void TBSL::SetProgressTextVisible(bool visible) { ProgressBar1->setTextVisible(visible); }

void TBSL::SetCancelEnabled(bool enabled) { Cancel->setEnabled(enabled); }
void TBSL::SetCancelDefault(bool isDefault) { Cancel->setDefault(isDefault); }

void TBSL::SetFlashEnabled(bool enabled) {
    flashWanted_ = enabled;
    FlashButton->setEnabled(enabled && !running_);
}

void TBSL::SetFlashDefault(bool isDefault) { FlashButton->setDefault(isDefault); }

void TBSL::SetTimerRunning(bool running) {
    // Enabling a running timer does not restart its interval: the countdown keeps its pace.
    if (!running)
        Timer4->stop();
    else if (!Timer4->isActive())
        Timer4->start();
}

void TBSL::ShowPortRecord(const PortRecord& record) {
    Panel2->setText(QString::fromStdString(record.Name()));
    Panel3->setText(QString::number(record.BaudRate()));
}

void TBSL::Pump() {
    // Only calls made on the window's own thread (outside a run) get here.
    QCoreApplication::processEvents();
}

void TBSL::MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) {
    QString body = QString::fromStdString(text);
    body.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    body.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QMessageBox::Icon qicon = QMessageBox::NoIcon;
    switch (icon) {
    case MessageIcon::Error:
        qicon = QMessageBox::Critical;
        break;
    case MessageIcon::Warning:
        qicon = QMessageBox::Warning;
        break;
    case MessageIcon::Information:
        qicon = QMessageBox::Information;
        break;
    case MessageIcon::None:
        break;
    }
    QWidget* owner = QApplication::activeModalWidget();
    if (!owner) owner = this;
    QMessageBox box(qicon, QString::fromStdString(caption), body, QMessageBox::Ok, owner);
    box.exec();
}

}  // namespace qtx
