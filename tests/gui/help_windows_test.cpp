// The main window's menu items and target list in use: the readme and info
// windows, the port dialog from the Comport menu, every target of the
// catalogue selected and flashed from the window, and the start-up message for
// a stored target that does not exist.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>
#include <QtTest>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/catalogue.h"
#include "engine/x_flash.h"
#include "help/help1.h"
#include "help/hilfe1.h"
#include "help/mem_status.h"
#include "help/revinfo.h"
#include "port_rig.h"
#include "settings/setup_file.h"
#include "shell/comport_dialog.h"
#include "shell/flmain.h"
#include "sim_board.h"

namespace fs = std::filesystem;
using qtx::test::PortRig;

namespace {

// Answers message boxes and hands every other modal window to onWindow, from
// a timer, so that a test can drive the modal loops the menu items run. A
// window nobody closes is closed after a generous while, so a fault fails the
// test instead of hanging it.
class ModalDriver : public QObject {
public:
    struct Box {
        QString text, title;
    };
    std::vector<Box> boxes;
    std::function<void(QWidget*)> onWindow;
    bool gaveUp = false;

    ModalDriver() {
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
        timer_.start();
        watchdog_.start();
    }

private:
    void Tick() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal) return;
        if (watchdog_.elapsed() > 60000) {
            gaveUp = true;
            if (auto* d = qobject_cast<QDialog*>(modal)) d->reject();
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            boxes.push_back({box->text(), box->windowTitle()});
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->accept();
            return;
        }
        if (onWindow) onWindow(modal);
    }
    QTimer timer_;
    QElapsedTimer watchdog_;
};

struct TempDir {
    std::string path = fs::canonical(qtx::test::MakeTempDir("help")).string();
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// The readme files are looked up in the working directory.
struct InDirectory {
    QString old = QDir::currentPath();
    explicit InDirectory(const std::string& dir) { QDir::setCurrent(QString::fromStdString(dir)); }
    ~InDirectory() { QDir::setCurrent(old); }
};

void WriteText(const std::string& path, const std::string& text) {
    qtx::test::WriteFileBytes(path, std::vector<uint8_t>(text.begin(), text.end()));
}

template <class T>
T* Child(QObject& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    if (!c) qFatal("no child %s", name);
    return c;
}

QString Caption(QObject& w, const char* name) { return Child<QLabel>(w, name)->text(); }

qtx::TBSL::SetupLoader FileIn(const std::string& dir, const std::string& name) {
    return [dir, name](qtx::Context& ctx) {
        qtx::DefaultSetup(ctx.setup);
        ctx.setup.SetFlashDir(dir + "/");
        ctx.setup.SetFlashName(name);
    };
}

// Opens a readme window from the menu and returns what it showed when it was
// closed again.
QString OpenReadme(qtx::TBSL& w, const char* action, ModalDriver& driver) {
    QString shown;
    qtx::ReadmeWindow* window = QString(action) == "Help1" ? static_cast<qtx::ReadmeWindow*>(w.HelpWindow())
                                                           : static_cast<qtx::ReadmeWindow*>(w.HilfeWindow());
    const int before = window ? window->Activations() : 0;
    driver.onWindow = [&, window, before](QWidget* m) {
        if (m != window || window->Activations() == before) return;
        shown = window->Redit()->toPlainText();
        window->reject();
    };
    Child<QAction>(w, action)->trigger();
    driver.onWindow = nullptr;
    return shown;
}

// The main window with a look at the panel colours, to act inside a run.
class ProbeWindow : public qtx::TBSL {
public:
    using TBSL::TBSL;
    std::function<void(qtx::Panel, qtx::Color)> onPanelColor;
    void SetPanelColor(qtx::Panel panel, qtx::Color color) override {
        TBSL::SetPanelColor(panel, color);
        if (onPanelColor) onPanelColor(panel, color);
    }
};

}  // namespace

class HelpWindowsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void readme_missing_data();
    void readme_missing();
    void readme_shown_and_reloaded_data();
    void readme_shown_and_reloaded();
    void readme_beside_the_program();
    void info_window();
    void comport_from_the_menu();
    void sam3_targets_share_a_record();
    void every_target_from_the_window_data();
    void every_target_from_the_window();
    void unknown_stored_target_says_why();
};

void HelpWindowsTest::initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

void HelpWindowsTest::readme_missing_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("title");
    QTest::newRow("Help") << "Help1" << "Help" << QSize(571, 478) << "File readme.rtf not found" << "Error";
    QTest::newRow("Hilfe") << "Hilfe" << "Hilfe" << QSize(583, 453) << "Datei \"liesmich.rtf\" nicht gefunden"
                           << "Fehler";
}

void HelpWindowsTest::readme_missing() {
    QFETCH(QString, action);
    QFETCH(QString, caption);
    QFETCH(QSize, size);
    QFETCH(QString, message);
    QFETCH(QString, title);
    TempDir dir;
    InDirectory in(dir.path);
    qtx::TBSL w;
    w.CreateHelpWindows();
    ModalDriver driver;
    const QString shown = OpenReadme(w, action.toLatin1().constData(), driver);

    QVERIFY(!driver.gaveUp);
    QCOMPARE(int(driver.boxes.size()), 1);
    QCOMPARE(driver.boxes[0].text, message);
    QCOMPARE(driver.boxes[0].title, title);
    QCOMPARE(shown, QString());
    QWidget* window = action == "Help1" ? static_cast<QWidget*>(w.HelpWindow()) : w.HilfeWindow();
    QCOMPARE(window->windowTitle(), caption);
    QCOMPARE(window->size(), size);
    QVERIFY(window->minimumSize() == window->maximumSize());
}

// Started from another directory, the program still finds the guides
// installed beside it; one in the working directory comes first, and a
// FIFO of that name is passed over instead of hanging the window.
void HelpWindowsTest::readme_beside_the_program() {
    TempDir here, program;
    InDirectory in(here.path);
    qtx::ReadmeTexts texts = qtx::TFormHelp::Texts();
    QVERIFY(texts.fallbackDir.isEmpty());  // the program's own directory
    texts.fallbackDir = QString::fromStdString(program.path);
    qtx::ReadmeWindow window(texts);
    ModalDriver driver;

    QVERIFY(!window.FormActivate());
    QCOMPARE(int(driver.boxes.size()), 1);
    QCOMPARE(driver.boxes[0].text, QStringLiteral("File readme.rtf not found"));

    WriteText(program.path + "/readme.rtf", R"({\rtf1 Beside})");
    QCOMPARE(window.FilePath(), QString::fromStdString(program.path + "/readme.rtf"));
    QVERIFY(window.FormActivate());
    QCOMPARE(window.Redit()->toPlainText(), QStringLiteral("Beside"));

    QCOMPARE(mkfifo((here.path + "/readme.rtf").c_str(), 0644), 0);
    QVERIFY(window.FormActivate());
    QCOMPARE(window.Redit()->toPlainText(), QStringLiteral("Beside"));

    fs::remove(here.path + "/readme.rtf");
    WriteText(here.path + "/readme.rtf", R"({\rtf1 Here})");
    QVERIFY(window.FormActivate());
    QCOMPARE(window.Redit()->toPlainText(), QStringLiteral("Here"));
    QCOMPARE(int(driver.boxes.size()), 1);
}

void HelpWindowsTest::readme_shown_and_reloaded_data() {
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("missingTitle");
    QTest::newRow("Help") << "Help1" << "readme.rtf" << "Error";
    QTest::newRow("Hilfe") << "Hilfe" << "liesmich.rtf" << "Fehler";
}

void HelpWindowsTest::readme_shown_and_reloaded() {
    QFETCH(QString, action);
    QFETCH(QString, file);
    QFETCH(QString, missingTitle);
    TempDir dir;
    InDirectory in(dir.path);
    const std::string path = dir.path + "/" + file.toStdString();
    const QByteArray act = action.toLatin1();
    qtx::TBSL w;
    w.CreateHelpWindows();
    auto* window = action == "Help1" ? static_cast<qtx::ReadmeWindow*>(w.HelpWindow())
                                     : static_cast<qtx::ReadmeWindow*>(w.HilfeWindow());
    ModalDriver driver;

    WriteText(path, R"({\rtf1\ansi{\fonttbl{\f0\fswiss Arial;}}\f0 First {\b bold} {\i slanted} M\'e4rz \u8364?5\par})");
    QCOMPARE(OpenReadme(w, act, driver), QString::fromUtf8("First bold slanted März €5\n"));
    QTextDocument* doc = window->Redit()->document();
    bool sawBold = false, sawItalic = false;
    for (auto it = doc->begin().begin(); !it.atEnd(); ++it) {
        const QTextFragment f = it.fragment();
        if (f.text() == "bold") sawBold = f.charFormat().fontWeight() == QFont::Bold;
        if (f.text() == "slanted") sawItalic = f.charFormat().fontItalic();
        if (f.text().startsWith("First")) QVERIFY(f.charFormat().fontWeight() != QFont::Bold);
    }
    QVERIFY(sawBold);
    QVERIFY(sawItalic);

    // Changed while the program runs: the next opening shows the new text.
    WriteText(path, R"({\rtf1 Second})");
    QCOMPARE(OpenReadme(w, act, driver), QStringLiteral("Second"));
    // A file that is not rich text is shown as it is.
    WriteText(path, "plain words\n");
    QCOMPARE(OpenReadme(w, act, driver), QStringLiteral("plain words\n"));
    QVERIFY(driver.boxes.empty());
    // Gone: the message, and the window keeps what it showed.
    fs::remove(path);
    QCOMPARE(OpenReadme(w, act, driver), QStringLiteral("plain words\n"));
    QCOMPARE(int(driver.boxes.size()), 1);
    QCOMPARE(driver.boxes[0].title, missingTitle);
    QVERIFY(!driver.gaveUp);
}

void HelpWindowsTest::info_window() {
    qtx::TBSL w;
    w.CreateHelpWindows();
    qtx::TInfoPanel* info = w.InfoWindow();
    info->SetMemorySource([] { return std::optional<qtx::MemoryStatus>(qtx::MemoryStatus{512ull << 20, 37}); });
    ModalDriver driver;
    QString rev, mem, res;
    driver.onWindow = [&](QWidget* m) {
        if (m != info) return;
        rev = Caption(*info, "RevNo");
        mem = Caption(*info, "Mem");
        res = Caption(*info, "Res");
        Child<QPushButton>(*info, "OKButton")->click();
    };
    Child<QAction>(w, "Info")->trigger();
    QVERIFY(!driver.gaveUp);
    QCOMPARE(info->result(), int(QDialog::Accepted));
    QCOMPARE(info->windowTitle(), QStringLiteral("Info"));
    QCOMPARE(info->size(), QSize(270, 236));
    QCOMPARE(rev, QStringLiteral("1.13"));
    QCOMPARE(mem, QStringLiteral("524288 kB"));
    QCOMPARE(res, QStringLiteral("63% free"));
    QCOMPARE(Caption(*info, "Product"), QStringLiteral("QTX Flash"));
}

void HelpWindowsTest::comport_from_the_menu() {
    PortRig ports;
    ports.AddPty("COM1");
    ports.AddPty("COM2");
    bool closed = false;
    {
        qtx::TBSL w;
        QCOMPARE(Caption(w, "Panel2"), QStringLiteral("COM1"));
        ModalDriver driver;
        QStringList listed;
        driver.onWindow = [&](QWidget* m) {
            auto* d = qobject_cast<qtx::TFormComport*>(m);
            if (!d) return;
            auto* port1 = Child<QComboBox>(*d, "Port1");
            auto* baud = Child<QComboBox>(*d, "Baud");
            for (int i = 0; i < port1->count(); ++i) listed << port1->itemText(i);
            port1->setCurrentIndex(port1->findText("COM2"));
            baud->setCurrentIndex(baud->findText("38400"));
            Child<QPushButton>(*d, "Button1")->click();
        };
        Child<QAction>(w, "Comport1")->trigger();
        QVERIFY(!driver.gaveUp);
        QCOMPARE(listed, (QStringList{"COM1", "COM2"}));
        QCOMPARE(Caption(w, "Panel2"), QStringLiteral("COM2"));
        QCOMPARE(Caption(w, "Panel3"), QStringLiteral("38400"));
        QVERIFY(w.Ctx().PortIsOpen);
        QVERIFY(driver.boxes.empty());
        // The dialog was destroyed once it had closed.
        QVERIFY(w.findChildren<qtx::TFormComport*>().isEmpty());
        // Closing the window closes the port.
        closed = w.close();
        QVERIFY(!w.Ctx().ActivePort);
        QVERIFY(!w.Ctx().PortIsOpen);
    }
    QVERIFY(closed);
    const int fd = qtx::Comport::OpenDevice("COM2");
    QVERIFY(fd >= 0);
    qtx::Comport::CloseDevice(fd);
}

void HelpWindowsTest::sam3_targets_share_a_record() {
    const int sam3u = qtx::ListIndexOfCode(9);
    const int sam3s = qtx::ListIndexOfCode(10);
    if (sam3u < 0 || sam3s < 0) QSKIP("the SAM3 rows are not in the catalogue");
    PortRig ports;
    ports.AddPty("COM1");
    ports.AddPty("COM5");
    qtx::TBSL w;
    auto* list = Child<QComboBox>(w, "ProcessorType");
    list->setCurrentIndex(sam3u);
    QCOMPARE(w.Ctx().setup.DeviceCode(), 9);
    ModalDriver driver;
    driver.onWindow = [&](QWidget* m) {
        auto* d = qobject_cast<qtx::TFormComport*>(m);
        if (!d) return;
        auto* port1 = Child<QComboBox>(*d, "Port1");
        auto* baud = Child<QComboBox>(*d, "Baud");
        port1->setCurrentIndex(port1->findText("COM5"));
        baud->setCurrentIndex(baud->findText("57600"));
        Child<QPushButton>(*d, "Button1")->click();
    };
    Child<QAction>(w, "Comport1")->trigger();
    qtx::DestroyActivePort(w.Ctx());
    list->setCurrentIndex(sam3s);
    QCOMPARE(w.Ctx().setup.DeviceCode(), 10);
    QCOMPARE(QString(w.Ctx().ActiveFlasher->ClassName()), QStringLiteral("Flash_sam3s"));
    QCOMPARE(Caption(w, "Panel2"), QStringLiteral("COM5"));
    QCOMPARE(Caption(w, "Panel3"), QStringLiteral("57600"));
}

void HelpWindowsTest::every_target_from_the_window_data() {
    QTest::addColumn<int>("index");
    const auto& rows = qtx::Catalogue();
    for (std::size_t i = 0; i < rows.size(); ++i) QTest::newRow(rows[i]->itemText) << int(i);
}

void HelpWindowsTest::every_target_from_the_window() {
    QFETCH(int, index);
    const qtx::TargetRow& row = *qtx::Catalogue()[std::size_t(index)];
    TempDir dir;
    const auto data = qtx::test::PatternBytes(1000 + 2 * std::size_t(index), uint32_t(index) + 7);
    qtx::test::WriteFileBytes(dir.path + "/fw.bin", data);

    ProbeWindow w(FileIn(dir.path, "fw.bin"));
    w.show();
    auto* list = Child<QComboBox>(w, "ProcessorType");
    QCOMPARE(list->count(), int(qtx::Catalogue().size()));
    QCOMPARE(list->itemText(index), QString::fromUtf8(row.itemText));
    // Start from another target, so that the selection is a real change.
    const int other = index == 0 ? 1 : 0;
    list->setCurrentIndex(other);
    QCOMPARE(QString(w.Ctx().ActiveFlasher->ClassName()), QString(qtx::Catalogue()[std::size_t(other)]->className));
    list->setCurrentIndex(index);
    QCOMPARE(w.Ctx().setup.DeviceCode(), row.deviceCode);
    const qtx::PortRecord& record = w.Ctx().setup.Ports[row.portRecord];
    QCOMPARE(Caption(w, "Panel2"), QString::fromStdString(record.Name()));
    QCOMPARE(Caption(w, "Panel3"), QString::number(record.BaudRate()));
    const qtx::X_Flash* flasher = w.Ctx().ActiveFlasher.get();
    QVERIFY(flasher);
    QCOMPARE(QString(flasher->ClassName()), QString(row.className));
    QCOMPARE(int(flasher->EraseCommand), int(row.eraseCommand));
    QCOMPARE(int(flasher->EraseAck), int(row.eraseAck));
    QCOMPARE(flasher->IdByte, row.idByte);

    std::unique_ptr<qtx::test::SimBoard> board;
    try {
        qtx::test::SimOptions o;
        o.board = row.simBoard;
        o.port = record.Name();
        board = std::make_unique<qtx::test::SimBoard>(o);
    } catch (const std::exception& e) {
        // A board that does not start is a fault of the tree, never a reason to skip.
        QFAIL(qPrintable(QStringLiteral("no simulated %1 board: %2").arg(row.simBoard, e.what())));
    }
    bool helpDuringRun = true;
    w.onPanelColor = [&](qtx::Panel p, qtx::Color c) {
        if (p == qtx::Panel::Bsl && c == qtx::Color::Lime)
            helpDuringRun = Child<QAction>(w, "Help1")->isEnabled() || Child<QAction>(w, "Info")->isEnabled();
    };
    Child<QPushButton>(w, "FlashButton")->click();
    QVERIFY(w.WaitForRun(60000));
    QCOMPARE(board->Wait(30000), 0);
    QVERIFY2(!w.Ctx().lastError.shown, qPrintable(QString::fromStdString(w.Ctx().lastError.word + " / " +
                                                                         w.StatusText() + "\n" + board->Log())));
    // The image at the start of the flash, and every other cell still erased.
    const auto flash = board->Flash();
    QVERIFY(flash.size() >= data.size());
    QVERIFY2(std::equal(data.begin(), data.end(), flash.begin()), "the file is not at the start of the flash");
    const uint8_t erased = row.deviceCode == 8 ? 0x00 : 0xFF;  // erased XE167 cells read 0000h
    const auto stray = std::find_if(flash.begin() + std::ptrdiff_t(data.size()), flash.end(),
                                    [erased](uint8_t b) { return b != erased; });
    QVERIFY2(stray == flash.end(),
             qPrintable(QStringLiteral("flash written at offset %1 past the image").arg(stray - flash.begin())));
    QVERIFY(!helpDuringRun);
    QVERIFY(Child<QAction>(w, "Help1")->isEnabled());
    QVERIFY(Child<QPushButton>(w, "FlashButton")->isEnabled());
}

void HelpWindowsTest::unknown_stored_target_says_why() {
    // In the window: the message names the file, the code and the way out.
    TempDir dir;
    const std::string file = dir.path + "/flash.stp";
    {
        qtx::TBSL w([&](qtx::Context& ctx) {
            qtx::DefaultSetup(ctx.setup);
            ctx.setup.SetDeviceCode(12);
            ctx.StartDirectory = dir.path;
        });
        QCOMPARE(w.FatalStatus(), 1);
        QCOMPARE(QString::fromStdString(w.FatalMessage()),
                 QString::fromStdString("qtxflash: the settings file " + file +
                                        " holds device code 12, which selects no processor type.\nRemove " + file +
                                        " to start again with the default settings.\n"));
    }
    // The real program, started where such a flash.stp lies.
    qtx::Setup stored;
    qtx::DefaultSetup(stored);
    stored.SetDeviceCode(12);
    QVERIFY(qtx::WriteSetupFile(file, stored));
    const auto r = qtx::test::RunProgram("/bin/sh", {"-c", "cd '" + dir.path + "' && exec '" QTXFLASH_PATH "'"}, 60000);
    QCOMPARE(r.status, 1);
    QVERIFY2(r.err.find("holds device code 12") != std::string::npos, r.err.c_str());
    QVERIFY2(r.err.find("Remove " + file) != std::string::npos, r.err.c_str());
    // The file was written back as it was: the next start ends the same way.
    qtx::Setup after;
    QVERIFY(qtx::ReadSetupFile(file, after));
    QCOMPARE(after.DeviceCode(), 12);
}

QTEST_MAIN(HelpWindowsTest)
#include "help_windows_test.moc"
