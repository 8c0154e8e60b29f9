// The main window driven as a user would: start-up display, runs against a
// simulated C166/167 board, the guards of a running run, and File > Open.
// Timer4 ticks are driven by hand (the real timer is muted) so that no check
// depends on how fast the machine is.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QFileSystemModel>
#include <QAbstractItemView>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/target_table.h"
#include "engine/catalogue.h"
#include "engine/firmware_file.h"
#include "engine/verdict.h"
#include "engine/x_flash.h"
#include "shell/flmain.h"
#include "shell/run_log_window.h"
#include "run_checks.h"

using qtx::Color;
using qtx::Panel;
namespace fs = std::filesystem;

namespace {

const QString kBlank15 = QStringLiteral("               ");

// The window with a look at every panel colour change, so a test can act at an
// exact point of a run instead of after a guessed delay.
class ProbeWindow : public qtx::TBSL {
public:
    using TBSL::TBSL;
    std::function<void(Panel, Color)> onPanelColor;
    void SetPanelColor(Panel panel, Color color) override {
        TBSL::SetPanelColor(panel, color);
        if (onPanelColor) onPanelColor(panel, color);
    }
};

// Answers every message box that opens (also inside nested dialogs) and keeps
// what it said.
class BoxAnswerer : public QObject {
public:
    struct Seen {
        QString text, title;
    };
    std::vector<Seen> seen;
    BoxAnswerer() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(w);
                if (!box || !box->isVisible()) continue;
                seen.push_back({box->text(), box->windowTitle()});
                if (QAbstractButton* yes = box->button(QMessageBox::Yes))
                    yes->click();
                else if (QAbstractButton* ok = box->button(QMessageBox::Ok))
                    ok->click();
                else
                    box->accept();
            }
        });
        timer_.start();
    }

private:
    QTimer timer_;
};

qtx::TBSL::SetupLoader FileIn(const std::string& dir, const std::string& name) {
    return [dir, name](qtx::Context& ctx) {
        qtx::Setup& s = ctx.setup;
        qtx::DefaultSetup(s);
        s.SetFlashDir(dir + "/");
        s.SetFlashName(name);
    };
}

template <class T>
T* Child(QObject& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    if (!c) qFatal("no child %s", name);
    return c;
}

QString Caption(QObject& w, const char* panel) { return Child<QLabel>(w, panel)->text(); }
QString ColourOf(QObject& w, const char* panel) {
    return Child<QLabel>(w, panel)->property("colorName").toString();
}

// Timer4 stays observable (isActive) but only the test's own calls tick it.
QTimer* MuteTimer4(QObject& w) {
    auto* t = Child<QTimer>(w, "Timer4");
    t->blockSignals(true);
    return t;
}

// The lines of the run log file the window writes.
QStringList LogFileLines(const qtx::TBSL& w) {
    QFile f(QString::fromStdString(w.RunLogFile()));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// The window's last run record, which must also be the file's last line.
const qtx::RunRecord& LastRecord(const qtx::TBSL& w) {
    const auto& records = w.RunLogWindow()->Records();
    if (records.empty()) qFatal("no run record");
    const QStringList lines = LogFileLines(w);
    if (lines.size() < 2 || lines.first() != QLatin1String(qtx::kRunLogHeader) ||
        lines.last() != QString::fromStdString(qtx::FormatRunRecord(records.back())))
        qFatal("the log file does not end with the last record: %s", qPrintable(lines.join(QLatin1Char('|'))));
    return records.back();
}

struct TempDir {
    std::string path = qtx::test::MakeTempDir("gui");
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

}  // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void first_start();
    void fatal_device_code_data();
    void fatal_device_code();
    void successful_run();
    void bootstrap_errors_data();
    void bootstrap_errors();
    void abort_during_programming();
    void stalled_board_keeps_the_window_live();
    void run_guards_and_close();
    void open_refuses_bad_choices();
    void settings_survive_a_restart();
    void captions();
    void long_texts_are_elided();
    void refused_file_never_reaches_the_board();
};

void MainWindowTest::initTestCase() {
    qtx::SetUpApplication();
    // Each run of the cases starts with a fresh run log (ctest gives every case a state directory of its own).
    if (qEnvironmentVariableIsSet("XDG_STATE_HOME"))
        QDir(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/qtxflash")).removeRecursively();
    // A closed test window must not end the event loops of later cases.
    QApplication::setQuitOnLastWindowClosed(false);
}

void MainWindowTest::first_start() {
    // Default settings with the working directory as FlashDir and no name: the
    // "file" is a directory, which does not count.
    qtx::TBSL w;
    QCOMPARE(w.FatalStatus(), 0);
    QCOMPARE(w.windowTitle(), QStringLiteral("QTX Flash V.1.13"));
    QCOMPARE(Child<QComboBox>(w, "ProcessorType")->currentText(), QStringLiteral("C166/167"));
    QCOMPARE(w.Ctx().setup.DeviceCode(), 1);
    QCOMPARE(Caption(w, "Panel2"), QStringLiteral("COM1"));
    QCOMPARE(Caption(w, "Panel3"), QStringLiteral("57600"));
    QCOMPARE(Caption(w, "Panel1"), QStringLiteral("NO FILE SELECTED"));
    QVERIFY(!w.FlashFileExists());
    QVERIFY(!Child<QPushButton>(w, "FlashButton")->isEnabled());
    QVERIFY(!Child<QPushButton>(w, "Cancel")->isEnabled());
    QVERIFY(w.Ctx().ActiveFlasher);
    QVERIFY(!w.Ctx().PortIsOpen);
    QVERIFY(!Child<QTimer>(w, "Timer4")->isActive());
    auto* x2 = Child<QCheckBox>(w, "SetX2Box");
    QVERIFY(x2->isHidden());
    QVERIFY(x2->isChecked());

    // Placement in client coordinates: a control under the wrong parent or at
    // the wrong place shows here.
    QWidget* client = w.centralWidget();
    // The designed 415 x 310, and the verdict's three lines under the status bar.
    QCOMPARE(client->size(), QSize(415, 310 + 48));
    QCOMPARE(w.minimumSize(), w.maximumSize());
    const struct {
        const char* name;
        QRect rect;
    } places[] = {
        {"BslPanel", {31, 30, 78, 41}},      {"ErasePanel", {167, 30, 79, 41}},
        {"FlashPanel", {301, 30, 79, 41}},   {"ProcessorType", {26, 121, 137, 21}},
        {"Panel2", {180 + 64, 82 + 24, 50, 23}}, {"Panel3", {180 + 64, 82 + 56, 50, 23}},
        {"FlashButton", {316, 99, 77, 25}},  {"Cancel", {316, 144, 75, 25}},
        {"Panel1", {20, 200, 373, 25}},      {"ProgressBar1", {17, 252, 377, 20}},
        {"StatusBar1", {0, 287, 415, 23}},   {"Verdict", {0, 310, 415, 48}},
    };
    for (const auto& p : places) {
        auto* c = Child<QWidget>(w, p.name);
        const QRect r(c->mapTo(client, QPoint(0, 0)), c->size());
        QVERIFY2(r == p.rect, p.name);
    }
}

void MainWindowTest::fatal_device_code_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("status");
    QTest::newRow("C166/167") << 1 << 0;
    QTest::newRow("zero") << 0 << 1;
    // A code with a port record but no target, while there is one.
    for (int code = 1; code <= 11; ++code)
        if (qtx::PortRecordIndex(code) >= 0 && !qtx::FindTargetByCode(code))
            QTest::newRow(qPrintable(QStringLiteral("code %1 has no target").arg(code))) << code << 1;
    QTest::newRow("beyond the table") << 12 << 1;
    QTest::newRow("negative") << -1 << 1;
}

void MainWindowTest::fatal_device_code() {
    QFETCH(int, code);
    QFETCH(int, status);
    qtx::TBSL w([code](qtx::Context& ctx) {
        qtx::DefaultSetup(ctx.setup);
        ctx.setup.SetDeviceCode(code);
    });
    QCOMPARE(w.FatalStatus(), status);
    // Never a window that could run without a flasher.
    if (status != 0) QVERIFY(!w.Ctx().ActiveFlasher);
}

void MainWindowTest::successful_run() {
    TempDir dir;
    const auto data = qtx::test::PatternBytes(3001);  // odd: completed by one 0x00
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", data);
    qtx::test::SimBoard board;

    ProbeWindow w(FileIn(dir.path, "fw.bin"));
    w.show();
    QTimer* timer4 = MuteTimer4(w);
    QCOMPARE(Caption(w, "Panel1"), QString::fromStdString(dir.path + "/fw.bin"));
    auto* flash = Child<QPushButton>(w, "FlashButton");
    QVERIFY(flash->isEnabled());

    // The run's bytes on the line go to the trace file the environment names.
    const std::string trace = dir.path + "/wire.trace";
    qputenv("QTXFLASH_TRACE", QByteArray::fromStdString(trace));
    flash->click();
    QVERIFY(w.WaitForRun(60000));
    qunsetenv("QTXFLASH_TRACE");
    QFile traceFile(QString::fromStdString(trace));
    QVERIFY(traceFile.open(QIODevice::ReadOnly));
    const QString traced = QString::fromLatin1(traceFile.readAll());
    QVERIFY2(traced.contains(QStringLiteral(" LINE ")) && traced.contains(QStringLiteral(" TX 00")), qPrintable(traced.left(400)));
    QVERIFY(traced.count(QLatin1Char(' ')) > int(data.size()));  // every byte sent is in it

    QCOMPARE(board.Wait(), 0);
    const auto image = board.Flash();
    QVERIFY(image.size() > data.size() + 1);
    QVERIFY(std::equal(data.begin(), data.end(), image.begin()));
    QCOMPARE(int(image[data.size()]), 0x00);
    QCOMPARE(int(image[data.size() + 1]), 0xFF);

    QCOMPARE(QString::fromStdString(w.StatusText()), QStringLiteral(" Programming ok."));
    QCOMPARE(Child<QProgressBar>(w, "ProgressBar1")->value(), 100);
    for (const char* p : {"BslPanel", "ErasePanel", "FlashPanel"})
        QCOMPARE(ColourOf(w, p), QStringLiteral("clInactiveBorder"));
    QVERIFY(flash->isEnabled());
    QVERIFY(w.Ctx().ActiveFlasher);
    QVERIFY(!w.Ctx().PortIsOpen);
    QVERIFY(!w.Ctx().ActivePort);

    // 18 ticks keep the result on display; the 19th (3.8 s) resets it.
    QCOMPARE(w.Ctx().ResetCountdown, 18);
    QVERIFY(timer4->isActive());
    for (int tick = 1; tick <= 18; ++tick) {
        w.Timer4Timer();
        QVERIFY(timer4->isActive());
    }
    QCOMPARE(QString::fromStdString(w.StatusText()), QStringLiteral(" Programming ok."));
    w.Timer4Timer();
    QVERIFY(!timer4->isActive());
    QCOMPARE(QString::fromStdString(w.StatusText()), kBlank15);
    QCOMPARE(Child<QProgressBar>(w, "ProgressBar1")->value(), 0);
    QVERIFY(flash->isEnabled());

    // The verdict outlasts the countdown; the run log has the run, in its file too.
    QVERIFY2(w.VerdictText().contains(QStringLiteral("OK: 3001 bytes into C166/167 on COM1, ")),
             qPrintable(w.VerdictText()));
    const qtx::RunRecord& r = LastRecord(w);
    QCOMPARE(QString::fromStdString(r.target), QStringLiteral("C166/167"));
    QCOMPARE(QString::fromStdString(r.port), QStringLiteral("COM1"));
    QCOMPARE(QString::fromStdString(r.file), QString::fromStdString(dir.path + "/fw.bin"));
    QCOMPARE(r.size, uint64_t(3001));
    QCOMPARE(r.crc32, qtx::Crc32(data.data(), data.size()));
    QCOMPARE(QString::fromStdString(r.result), QStringLiteral("OK"));
    QCOMPARE(QString::fromStdString(r.step), QStringLiteral("-"));
    QVERIFY(r.durationMs > 0 && !r.partial);
}

void MainWindowTest::bootstrap_errors_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("word");
    QTest::addColumn<QString>("shown");  // the status bar's one line
    QTest::addColumn<QString>("hint");
    QTest::newRow("silent board") << "silent" << "TIMEOUT" << "Timeout waiting for controller ID"
                                  << "No answer from the boot loader: check the cable, the boot jumper, and reset the board.";
    QTest::newRow("wrong identification byte")
        << "bad-id" << "CHAR ERR" << "Error waiting for controller ID Received byte: D5h Expected: 55h"
        << "The boot loader answered wrongly: check the processor type and the baud rate, then reset the board.";
}

void MainWindowTest::bootstrap_errors() {
    QFETCH(QString, fault);
    QFETCH(QString, word);
    QFETCH(QString, shown);
    QFETCH(QString, hint);
    TempDir dir;
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", qtx::test::PatternBytes(64));
    qtx::test::SimOptions o;
    o.faults = {fault.toStdString()};
    qtx::test::SimBoard board(o);

    ProbeWindow w(FileIn(dir.path, "fw.bin"));
    w.show();
    QTimer* timer4 = MuteTimer4(w);
    Child<QPushButton>(w, "FlashButton")->click();
    QVERIFY(w.WaitForRun(60000));

    QCOMPARE(Caption(w, "BslPanel"), word);
    QCOMPARE(ColourOf(w, "BslPanel"), QStringLiteral("clRed"));
    QCOMPARE(Caption(w, "ErasePanel"), QStringLiteral("ERASE"));
    QCOMPARE(Child<QLabel>(w, "StatusText")->text(), shown);
    // The error stays (no countdown) and FLASH is ready again at once.
    QVERIFY(!timer4->isActive());
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
    QVERIFY(!Child<QPushButton>(w, "Cancel")->isEnabled());
    QVERIFY(Child<QComboBox>(w, "ProcessorType")->isEnabled());
    QVERIFY(!w.Ctx().PortIsOpen);
    // The verdict says where it failed and what to do next; the log keeps it.
    QVERIFY2(w.VerdictText().contains(word + QStringLiteral(" (")), qPrintable(w.VerdictText()));
    QVERIFY2(w.VerdictText().endsWith(QLatin1Char('\n') + hint), qPrintable(w.VerdictText()));
    const qtx::RunRecord& r = LastRecord(w);
    QCOMPARE(QString::fromStdString(r.result), word);
    QCOMPARE(QString::fromStdString(r.hint), hint);
    QVERIFY(r.step != "-" && !r.partial);
    QCOMPARE(r.size, uint64_t(64));
    board.Stop();
}

void MainWindowTest::abort_during_programming() {
    TempDir dir;
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", qtx::test::PatternBytes(65536));
    qtx::test::SimBoard board;

    ProbeWindow w(FileIn(dir.path, "fw.bin"));
    w.show();
    QTimer* timer4 = MuteTimer4(w);
    auto* cancel = Child<QPushButton>(w, "Cancel");
    bool cancelWasEnabled = false;
    // Press Abort at the first message pump of the programming step.
    w.onPanelColor = [&](Panel p, Color c) {
        if (p == Panel::Flash && c == Color::Lime)
            QTimer::singleShot(0, &w, [&] {
                cancelWasEnabled = cancel->isEnabled();
                cancel->click();
            });
    };
    Child<QPushButton>(w, "FlashButton")->click();
    QVERIFY(w.WaitForRun(60000));

    QVERIFY(cancelWasEnabled);
    QCOMPARE(Caption(w, "FlashPanel"), QStringLiteral("ABORT"));
    QCOMPARE(ColourOf(w, "FlashPanel"), QStringLiteral("clRed"));
    QCOMPARE(ColourOf(w, "ErasePanel"), QStringLiteral("clInactiveBorder"));
    QVERIFY(w.StatusText().find("the board now holds a partial image") != std::string::npos);
    QVERIFY(!cancel->isEnabled());
    QVERIFY(!w.Ctx().PortIsOpen);
    QCOMPARE(board.Wait(), 0);
    // The board never saw the whole file.
    const auto image = board.Flash();
    QVERIFY(!image.empty());
    QCOMPARE(int(image[65535]), 0xFF);

    // "ABORT" stays for 5 ticks and goes on the 6th (1.2 s).
    QCOMPARE(w.Ctx().ResetCountdown, 5);
    for (int tick = 1; tick <= 5; ++tick) {
        w.Timer4Timer();
        QCOMPARE(Caption(w, "FlashPanel"), QStringLiteral("ABORT"));
    }
    w.Timer4Timer();
    QVERIFY(!timer4->isActive());
    QCOMPARE(Caption(w, "FlashPanel"), QStringLiteral("FLASH"));
    QCOMPARE(ColourOf(w, "FlashPanel"), QStringLiteral("clInactiveBorder"));
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
    // The red word has gone; the verdict still says the board is half programmed.
    QVERIFY2(w.VerdictText().contains(QStringLiteral("ABORT (")) &&
                 w.VerdictText().contains(QStringLiteral("partial image")),
             qPrintable(w.VerdictText()));
    const qtx::RunRecord& r = LastRecord(w);
    QCOMPARE(QString::fromStdString(r.result), QStringLiteral("ABORT"));
    QVERIFY(r.partial);
}

void MainWindowTest::stalled_board_keeps_the_window_live() {
    TempDir dir;
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", qtx::test::PatternBytes(65536));
    qtx::test::SimOptions stalled;
    stalled.faults = {"drop@4000"};  // the loader waits for a byte that never comes
    qtx::test::SimOptions paced;     // the host's writes wait for room in a full queue
    paced.pace = true;
    BoxAnswerer boxes;               // says yes to "abort and quit?"

    // While a run goes on, the window's own thread must answer a 20 ms timer.
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0, worstGap = 0;
    bool measuring = false;
    QTimer beat;
    beat.setInterval(20);
    connect(&beat, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        if (measuring) worstGap = std::max(worstGap, now - last);
        last = now;
    });
    beat.start();
    auto startRun = [&](ProbeWindow& w) {
        bool programming = false;
        w.onPanelColor = [&](Panel p, Color c) { programming = programming || (p == Panel::Flash && c == Color::Lime); };
        last = clock.elapsed();
        measuring = true;
        Child<QPushButton>(w, "FlashButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(programming, 30000);
        w.onPanelColor = nullptr;
        // Well inside the data, or the wait for an answer that does not come (12 s for 64 KiB).
        QTest::qWait(2000);
        QVERIFY(w.Running());
    };
    for (const auto* o : {&stalled, &paced}) {
        qtx::test::SimBoard board(*o);
        ProbeWindow w(FileIn(dir.path, "fw.bin"));
        w.show();
        MuteTimer4(w);
        startRun(w);
        QElapsedTimer aborting;
        aborting.start();
        Child<QPushButton>(w, "Cancel")->click();
        QVERIFY(w.WaitForRun(5000));
        measuring = false;
        QVERIFY2(aborting.elapsed() <= 500, qPrintable(QStringLiteral("Abort took %1 ms").arg(aborting.elapsed())));
        QCOMPARE(Caption(w, "FlashPanel"), QStringLiteral("ABORT"));
        QVERIFY(!w.Ctx().PortIsOpen);
        QVERIFY(boxes.seen.empty());
    }
    {
        qtx::test::SimBoard board(stalled);
        ProbeWindow w(FileIn(dir.path, "fw.bin"));
        w.show();
        MuteTimer4(w);
        startRun(w);
        QElapsedTimer closing;
        closing.start();
        QVERIFY(w.close());
        measuring = false;
        // Asked, aborted, the port let go of, then gone: within the second the close may wait.
        QVERIFY2(closing.elapsed() <= 1500, qPrintable(QStringLiteral("close took %1 ms").arg(closing.elapsed())));
        QCOMPARE(boxes.seen.size(), std::size_t(1));
        QVERIFY(!w.isVisible());
        QVERIFY(!w.Running());
        QVERIFY(!w.Ctx().PortIsOpen);
        QVERIFY(!w.Ctx().ActivePort);
        QCOMPARE(QString::fromStdString(LastRecord(w).result), QStringLiteral("ABORT"));
    }
    QVERIFY2(worstGap <= 20 + 100, qPrintable(QStringLiteral("the window's thread was deaf for %1 ms").arg(worstGap)));
}

void MainWindowTest::run_guards_and_close() {
    TempDir dir;
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", qtx::test::PatternBytes(256));
    // A board that never answers holds the run in the wait for the
    // identification byte (a second), while the close asks and is answered.
    qtx::test::SimOptions o;
    o.faults = {"silent"};
    qtx::test::SimBoard board(o);

    ProbeWindow w(FileIn(dir.path, "fw.bin"));
    w.show();
    QTimer* timer4 = MuteTimer4(w);
    QVERIFY(w.isVisible());
    BoxAnswerer boxes;  // says yes to "abort and quit?"
    // A countdown still pending from an earlier abort.
    w.Ctx().ResetCountdown = 3;
    w.SetTimerRunning(true);

    struct {
        bool inside = false, selector = true, open = true, comport = true, flash = true, cancel = false;
        bool countdown = true;
        bool closed = false;
        qtx::X_Flash* flasher = nullptr;
        qtx::X_Flash* flasherAfterClicks = nullptr;
    } seen;
    // While the engine waits for the identification byte.
    w.onPanelColor = [&](Panel p, Color c) {
        if (p != Panel::Bsl || c != Color::Lime || seen.inside) return;
        QTimer::singleShot(0, &w, [&] {
            seen.inside = true;
            seen.selector = Child<QComboBox>(w, "ProcessorType")->isEnabled();
            seen.open = Child<QAction>(w, "Open1")->isEnabled();
            seen.comport = Child<QAction>(w, "Comport1")->isEnabled();
            seen.flash = Child<QPushButton>(w, "FlashButton")->isEnabled();
            seen.cancel = Child<QPushButton>(w, "Cancel")->isEnabled();
            seen.countdown = timer4->isActive();
            seen.flasher = w.Ctx().ActiveFlasher.get();
            // Neither a nested run nor a target change may replace the flasher.
            w.FlashButtonClick();
            w.RadioGroupClick();
            seen.flasherAfterClicks = w.Ctx().ActiveFlasher.get();
            seen.closed = w.close();
        });
    };
    Child<QPushButton>(w, "FlashButton")->click();
    QVERIFY(w.WaitForRun(60000));

    QVERIFY(seen.inside);
    QVERIFY(!seen.selector);
    QVERIFY(!seen.open);
    QVERIFY(!seen.comport);
    QVERIFY(!seen.flash);
    QVERIFY(seen.cancel);
    QVERIFY(!seen.countdown);
    QVERIFY(seen.flasher != nullptr);
    QCOMPARE(seen.flasherAfterClicks, seen.flasher);
    // The close asked first; the yes aborted the run in the wait for the
    // identification byte, before anything could be erased, and the window
    // went once the run had let go of the port.
    QCOMPARE(boxes.seen.size(), std::size_t(1));
    QCOMPARE(boxes.seen[0].title, QStringLiteral("Flash run in progress"));
    QVERIFY(seen.closed);
    QCOMPARE(Caption(w, "BslPanel"), QStringLiteral("ABORT"));
    QCOMPARE(Caption(w, "ErasePanel"), QStringLiteral("ERASE"));
    QVERIFY(!w.isVisible());
    QVERIFY(!w.Ctx().PortIsOpen);
    QVERIFY(!w.Ctx().ActivePort);
    QVERIFY(!w.Ctx().ActiveFlasher);
    QCOMPARE(board.Wait(), 0);
}

void MainWindowTest::open_refuses_bad_choices() {
    TempDir dir;
    const std::string good = dir.path + "/firmware";  // no dot: "*.*" must still match it
    qtx::test::WriteFileBytes(good, {1, 2, 3});
    // A directory deeper than the record's 521 bytes of room.
    std::string deep = dir.path;
    for (int i = 0; i < 3; ++i) deep += "/" + std::string(200, char('a' + i));
    fs::create_directories(deep);
    qtx::test::WriteFileBytes(deep + "/fw.bin", {1});
    // A HEX file with a damaged record: the target's loader refuses it here already.
    const std::string damaged = dir.path + "/damaged.hex";
    const std::string hexText = ":0400000001020304F3\n:00000001FF\n";
    qtx::test::WriteFileBytes(damaged, std::vector<uint8_t>(hexText.begin(), hexText.end()));

    qtx::TBSL w(FileIn(dir.path, "gone.bin"));
    w.show();
    QCOMPARE(Caption(w, "Panel1"), QStringLiteral("NO FILE SELECTED"));
    QVERIFY(!Child<QPushButton>(w, "FlashButton")->isEnabled());

    BoxAnswerer boxes;
    bool stayedOpenMissing = false, stayedOpenDeep = false, stayedOpenDamaged = false, driven = false;
    QString title;
    QStringList filters, listed;
    QTimer finder;
    finder.setInterval(20);
    // Only collects and drives here; a failed check inside the dialog's loop
    // would leave the dialog open.
    QObject::connect(&finder, &QTimer::timeout, &w, [&] {
        auto* dlg = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dlg || driven) return;
        driven = true;
        finder.stop();
        title = dlg->windowTitle();
        filters = dlg->nameFilters();
        if (auto* model = dlg->findChild<QFileSystemModel*>()) listed = model->nameFilters();
        // Type a full path, as a user may: the typed name is what the dialog
        // returns once no listed file is selected.
        const auto attempt = [dlg](const std::string& path) {
            for (auto* view : dlg->findChildren<QAbstractItemView*>())
                if (view->selectionModel()) view->selectionModel()->clear();
            Child<QLineEdit>(*dlg, "fileNameEdit")->setText(QString::fromStdString(path));
            static_cast<QDialog*>(dlg)->accept();
            return dlg->isVisible();
        };
        stayedOpenMissing = attempt(dir.path + "/missing.bin");
        stayedOpenDeep = attempt(deep + "/fw.bin");
        stayedOpenDamaged = attempt(damaged);
        if (attempt(good)) dlg->reject();
    });
    finder.start();
    w.Open1Click();

    QVERIFY(driven);
    QCOMPARE(title, QStringLiteral("SELECT"));
    // Every file first, then the firmware formats.
    QCOMPARE(filters.value(0), QStringLiteral("All Files (*.*)"));
    QVERIFY(filters.contains(QStringLiteral("Intel HEX (*.hex *.ihx)")));
    QVERIFY(filters.contains(QStringLiteral("S-records (*.s19 *.s28 *.s37 *.srec *.mot)")));
    QVERIFY(filters.contains(QStringLiteral("ELF programs (*.elf)")));
    // Shown as "*.*", but names without a dot are listed too.
    QCOMPARE(listed, QStringList{QStringLiteral("*")});
    QVERIFY(stayedOpenMissing);
    QVERIFY(stayedOpenDeep);
    QVERIFY(stayedOpenDamaged);
    QCOMPARE(boxes.seen.size(), std::size_t(3));
    QCOMPARE(boxes.seen[0].text, QStringLiteral("File does not exist"));
    QCOMPARE(boxes.seen[0].title, QStringLiteral("Error"));
    QVERIFY(boxes.seen[1].text.contains(QStringLiteral("too long")));
    QVERIFY2(boxes.seen[2].text.contains(QStringLiteral("line 1: checksum mismatch")), qPrintable(boxes.seen[2].text));
    QCOMPARE(boxes.seen[2].title, QStringLiteral("Error"));

    QCOMPARE(Caption(w, "Panel1"), QString::fromStdString(good));
    QCOMPARE(w.Ctx().setup.FlashDirText(), dir.path + "/");
    QCOMPARE(w.Ctx().setup.FlashNameText(), std::string("firmware"));
    QCOMPARE(w.Ctx().FlashFilePath, good);
    QCOMPARE(QString::fromStdString(w.StatusText()), kBlank15);
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
}

void MainWindowTest::settings_survive_a_restart() {
    TempDir dir;
    const fs::path old = fs::current_path();
    fs::current_path(dir.path);
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", {1, 2, 3});
    {
        qtx::TBSL w(&qtx::TBSL::StoredSetup);
        QVERIFY(fs::exists(dir.path + "/flash.stp"));  // written back at start-up
        QCOMPARE(qtx::SelectTarget(w.Ctx(), 3), 0);  // C163
        w.Ctx().setup.SetFlashDir(dir.path + "/");
        w.Ctx().setup.SetFlashName("fw.bin");
        fs::create_directory("elsewhere");
        fs::current_path("elsewhere");  // a later directory change does not move the file
        w.close();
    }
    QVERIFY(!fs::exists(dir.path + "/elsewhere/flash.stp"));
    fs::current_path(dir.path);
    {
        qtx::TBSL w(&qtx::TBSL::StoredSetup);
        QCOMPARE(Child<QComboBox>(w, "ProcessorType")->currentText(), QStringLiteral("C163"));
        QCOMPARE(w.Ctx().setup.DeviceCode(), 3);
        QCOMPARE(Caption(w, "Panel3"), QStringLiteral("19200"));
        QCOMPARE(Caption(w, "Panel1"), QString::fromStdString(dir.path + "/fw.bin"));
        QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
        w.close();
    }
    fs::current_path(old);
}

void MainWindowTest::captions() {
    // Qt appends an application display name of the program's own to every
    // title bar; without one the name falls back to the application's.
    QCOMPARE(QGuiApplication::applicationDisplayName(), QCoreApplication::applicationName());
    qtx::TBSL w;
    w.show();
    QCOMPARE(w.windowTitle(), QStringLiteral("QTX Flash V.1.13"));
}

void MainWindowTest::long_texts_are_elided() {
    TempDir dir;
    std::string deep = dir.path;
    for (int i = 0; i < 4; ++i) deep += "/" + std::string(40, char('k' + i));
    fs::create_directories(deep);
    const std::string path = deep + "/the-firmware-name.bin";
    qtx::test::WriteFileBytes(path, {1, 2, 3});

    qtx::TBSL w(FileIn(deep, "the-firmware-name.bin"));
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    // The root and the file name stay visible; the middle goes.
    auto* panel = Child<qtx::ElidedLabel>(w, "Panel1");
    const QString shown = panel->text();
    QVERIFY2(shown.startsWith(QString::fromStdString(dir.path.substr(0, 5))), qPrintable(shown));
    QVERIFY2(shown.endsWith(QStringLiteral("the-firmware-name.bin")), qPrintable(shown));
    QVERIFY(shown.contains(QChar(0x2026)));
    QVERIFY(panel->fontMetrics().horizontalAdvance(shown) <= panel->contentsRect().width());
    QCOMPARE(panel->toolTip(), QString::fromStdString(path));
    QCOMPARE(panel->FullText(), QString::fromStdString(path));

    // A status text longer than the bar: its start and end stay, the whole in the tooltip.
    const std::string status = "Error: port COM1 is gone (" + std::string(120, 'x') + ") - the adapter was unplugged";
    w.SetStatusText(status);
    auto* text = Child<qtx::ElidedLabel>(w, "StatusText");
    QVERIFY(text->Elided());
    QVERIFY(text->text().startsWith(QStringLiteral("Error: port COM1")));
    QVERIFY(text->text().endsWith(QStringLiteral("the adapter was unplugged")));
    QVERIFY(text->fontMetrics().horizontalAdvance(text->text()) <= text->contentsRect().width());
    QCOMPARE(text->toolTip(), QString::fromStdString(status));
    QCOMPARE(w.StatusText(), status);
    // A short text is shown whole, without a tooltip.
    w.SetStatusText(" Programming ok.");
    QCOMPARE(text->text(), QStringLiteral("Programming ok."));
    QVERIFY(text->toolTip().isEmpty());
}

void MainWindowTest::refused_file_never_reaches_the_board() {
    TempDir dir;
    qtx::test::WriteFileBytes(dir.path + "/empty.bin", {});
    qtx::test::SimBoard board;
    BoxAnswerer boxes;
    {
        qtx::TBSL w(FileIn(dir.path, "empty.bin"));
        w.show();
        // The open dialog says so before the file is taken...
        QVERIFY(!w.OpenDialog1CanClose(QString::fromStdString(dir.path + "/empty.bin")));
        QCOMPARE(boxes.seen.size(), std::size_t(1));
        QCOMPARE(boxes.seen[0].title, QStringLiteral("Error"));
        QVERIFY2(boxes.seen[0].text.contains(QStringLiteral("empty")), qPrintable(boxes.seen[0].text));
        // ...and a stored one is refused by the run with the same words.
        Child<QPushButton>(w, "FlashButton")->click();
        QVERIFY(w.WaitForRun(60000));
        QCOMPARE(boxes.seen.size(), std::size_t(2));
        QCOMPARE(boxes.seen[1].title, QStringLiteral("Error"));
        QCOMPARE(boxes.seen[1].text, boxes.seen[0].text);
        QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
        QVERIFY(!w.Ctx().PortIsOpen);
    }
    board.Stop();
    // The board's whole log: 0 bytes received, and no open of its port before.
    QVERIFY2(qtx::test::LogLines(board.Log()) == std::vector<std::string>{"stopped after 0 bytes received"},
             board.Log().c_str());
}

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
