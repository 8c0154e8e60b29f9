// The main window against boards that run their application firmware: FLASH
// shows AUTOBAUD, forces boot mode and flashes, or ends in NO BOOT.
#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <filesystem>
#include <string>
#include <vector>

#include "shell/flmain.h"
#include "run_checks.h"

namespace {

// The window with a record of every caption and status text it was given.
class ProbeWindow : public qtx::TBSL {
public:
    using TBSL::TBSL;
    std::vector<std::string> shown;
    void SetPanelCaption(qtx::Panel panel, const std::string& caption) override {
        TBSL::SetPanelCaption(panel, caption);
        shown.push_back(std::string(qtx::PanelName(panel)) + " " + caption);
    }
    void SetStatusText(const std::string& text) override {
        TBSL::SetStatusText(text);
        shown.push_back("status " + text);
    }
    bool InOrder(const std::vector<std::string>& wanted) const { return bool(qtx::test::InOrder(shown, wanted)); }
};

qtx::TBSL::SetupLoader Target(const std::string& dir, int32_t code) {
    return [dir, code](qtx::Context& ctx) {
        qtx::DefaultSetup(ctx.setup);
        ctx.setup.SetFlashDir(dir + "/");
        ctx.setup.SetFlashName("fw.bin");
        ctx.setup.SetDeviceCode(code);
    };
}

qtx::test::SimOptions AppRunning(const char* board, std::vector<std::string> extra = {}) {
    qtx::test::SimOptions o;
    o.board = board;
    o.once = false;
    o.eraseMs = 50;
    o.extraArgs = {"--app-running"};
    o.extraArgs.insert(o.extraArgs.end(), extra.begin(), extra.end());
    return o;
}

template <class T>
T* Child(QObject& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    if (!c) qFatal("no child %s", name);
    return c;
}

}  // namespace

class WindowBootModeTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void flashed_after_autobaud();
    void refusal_shows_no_boot();
};

void WindowBootModeTest::flashed_after_autobaud() {
    qtx::test::SimBoard board(AppRunning("stm32f4"));
    const auto data = qtx::test::PatternBytes(2500, 3);
    qtx::test::WriteFileBytes(board.PortsDir() + "/fw.bin", data);
    ProbeWindow w(Target(board.PortsDir(), 11));
    w.show();
    Child<QTimer>(w, "Timer4")->blockSignals(true);
    QCOMPARE(Child<QLabel>(w, "Panel2")->text(), QStringLiteral("COM1"));

    Child<QPushButton>(w, "FlashButton")->click();

    QVERIFY(w.WaitForRun(60000));

    QVERIFY2(w.InOrder({"BslPanel TIMEOUT", "BslPanel AUTOBAUD", "status Autobauding, please wait .......",
                        "status Init BSL Mode....", "status ...done!", "status  Programming ok."}),
             board.Log().c_str());
    QCOMPARE(QString::fromStdString(w.StatusText()), QStringLiteral(" Programming ok."));
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
    QVERIFY(!w.Ctx().PortIsOpen);
    board.Stop();
    const auto flash = board.Flash();
    QVERIFY(flash.size() >= data.size());
    QVERIFY(std::equal(data.begin(), data.end(), flash.begin()));
}

void WindowBootModeTest::refusal_shows_no_boot() {
    qtx::test::SimBoard board(AppRunning("sam3s", {"--app-answer", "refuse"}));
    qtx::test::WriteFileBytes(board.PortsDir() + "/fw.bin", qtx::test::PatternBytes(64));
    ProbeWindow w(Target(board.PortsDir(), 10));
    w.show();
    Child<QTimer>(w, "Timer4")->blockSignals(true);

    Child<QPushButton>(w, "FlashButton")->click();

    QVERIFY(w.WaitForRun(60000));

    QVERIFY(w.InOrder({"BslPanel AUTOBAUD", "status Init BSL Mode....", "status Error! rc = -3", "BslPanel NO BOOT"}));
    QCOMPARE(Child<QLabel>(w, "BslPanel")->text(), QStringLiteral("NO BOOT"));
    QCOMPARE(Child<QLabel>(w, "BslPanel")->property("colorName").toString(), QStringLiteral("clRed"));
    QCOMPARE(QString::fromStdString(w.StatusText()), QStringLiteral("Error! rc = -3"));
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
    board.Stop();
}

QTEST_MAIN(WindowBootModeTest)
#include "window_boot_mode_test.moc"
