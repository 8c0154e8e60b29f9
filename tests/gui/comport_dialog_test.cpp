// The port settings dialog on a private port map of pseudo-terminals: which
// ports and rates it offers, what OK stores per target, that it opens the
// port at once, and that Cancel leaves everything alone; the data rate it
// keeps per target in the user's settings.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <termios.h>

#include <cstring>

#include "engine/context.h"
#include "engine/target_table.h"
#include "port_rig.h"
#include "recorder.h"
#include "shell/comport_dialog.h"

using qtx::test::PortHolder;
using qtx::test::PortRig;
using qtx::test::Recorder;

namespace {

const char kPortError[] =
    "message Error!: Cannot initialize Comport!\rIt is probably used by another program!\rCheck Port Parameter!";

QStringList Items(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

// The user's settings file, raw.
QVariant Setting(const QString& key) {
    return QSettings(QStringLiteral("qtxflash"), QStringLiteral("qtxflash")).value(key);
}

// One dialog on a fresh context, as Comport1Click makes it.
struct Rig {
    Recorder display;
    qtx::Context ctx{display};
    std::unique_ptr<qtx::TFormComport> dialog;
    explicit Rig(int deviceCode, bool flashFileExists = false) {
        ctx.setup.SetDeviceCode(deviceCode);
        dialog = std::make_unique<qtx::TFormComport>(ctx, flashFileExists);
    }
    ~Rig() {
        dialog.reset();
        qtx::DestroyActivePort(ctx);
    }
    qtx::PortRecord& Record() { return *ctx.SelectedPortRecord(); }
    QComboBox* Port1() { return dialog->findChild<QComboBox*>(QStringLiteral("Port1")); }
    QComboBox* Baud() { return dialog->findChild<QComboBox*>(QStringLiteral("Baud")); }
    QLineEdit* Frame() { return dialog->findChild<QLineEdit*>(QStringLiteral("Frame")); }
    QComboBox* DataRate() { return dialog->findChild<QComboBox*>(QStringLiteral("DataRate")); }
    QPushButton* Button(const char* name) { return dialog->findChild<QPushButton*>(QLatin1String(name)); }
    void Show() {
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
    }
};

}  // namespace

class ComportDialogTest : public QObject {
    Q_OBJECT

    // The user's settings go to a directory of this process, never the user's.
    QTemporaryDir settingsDir_;

private slots:
    void initTestCase();
    void baud_lists_data();
    void baud_lists();
    void port_list_shows_present_ports();
    void ok_stores_by_device_code_data();
    void ok_stores_by_device_code();
    void ok_opens_the_port_at_once();
    void ok_with_a_held_port_reports_and_closes();
    void ok_without_a_choice();
    void cancel_changes_nothing();
    void flash_enabled_after_ok_data();
    void flash_enabled_after_ok();
    void enter_and_esc_do_nothing();
    void fast_data_choice();
    void fast_data_stored_by_ok();
};

void ComportDialogTest::initTestCase() {
    QVERIFY(settingsDir_.isValid());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settingsDir_.path());
}

void ComportDialogTest::baud_lists_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QStringList>("rates");
    QTest::addColumn<QString>("selected");  // the stored default rate
    QTest::addColumn<QString>("framing");
    const QStringList all{"4800", "9600", "19200", "38400", "57600"};
    QTest::newRow("C166/167") << 1 << all << "57600" << "8N1";
    QTest::newRow("C509") << 2 << QStringList{"4800", "9600"} << "9600" << "8N2";
    QTest::newRow("C163") << 3 << all << "19200" << "8N1";
    QTest::newRow("GP4020") << 4 << QStringList{"57600"} << "57600" << "8N1";
    QTest::newRow("XC164/167") << 5 << QStringList{"19200"} << "19200" << "8N1";
    QTest::newRow("T89C5xACx") << 7 << QStringList{"9600", "19200", "38400", "57600"} << "57600" << "8N2";
    QTest::newRow("XE167") << 8 << QStringList{"19200"} << "19200" << "8N1";
    QTest::newRow("SAM3U") << 9 << QStringList{"57600", "115200"} << "115200" << "8N1";
    QTest::newRow("SAM3S") << 10 << QStringList{"57600", "115200"} << "115200" << "8N1";
    QTest::newRow("STM32F4") << 11 << QStringList{"115200"} << "115200" << "8E1";
    // A code with a port record but no target, while there is one.
    for (int code = 1; code <= 11; ++code)
        if (qtx::PortRecordIndex(code) >= 0 && !qtx::FindTargetByCode(code))
            QTest::newRow(qPrintable(QStringLiteral("code %1 has no list").arg(code))) << code << QStringList{} << "" << "";
}

void ComportDialogTest::baud_lists() {
    QFETCH(int, code);
    QFETCH(QStringList, rates);
    QFETCH(QString, selected);
    QFETCH(QString, framing);
    PortRig ports;
    ports.AddPty("COM1");
    Rig rig(code);
    rig.Show();
    QCOMPARE(rig.dialog->windowTitle(), QStringLiteral("Comport"));
    QCOMPARE(Items(rig.Baud()), rates);
    QCOMPARE(rig.Baud()->currentText(), selected);
    QCOMPARE(rig.Frame()->text(), framing);
    // The framing is shown, never edited (a code without a row skips that step).
    QCOMPARE(rig.Frame()->isEnabled(), rates.isEmpty());
    QVERIFY(rig.Frame()->isReadOnly());
    // Opening the dialog shows and stores nothing.
    QVERIFY(rig.display.events.empty());
    QVERIFY(!rig.ctx.PortIsOpen);
}

void ComportDialogTest::port_list_shows_present_ports() {
    PortRig ports;
    const std::string com1 = ports.AddPty("COM1");
    ports.AddDangling("COM2");
    const std::string com3 = ports.AddPty("COM3");
    ports.AddPty("COM61");  // beyond the names probed
    // Another program holds COM3: it is in use, but present.
    PortHolder holder(com3);

    {
        Rig rig(1);
        rig.Record().SetName("COM3");
        rig.Show();
        QCOMPARE(Items(rig.Port1()), (QStringList{"COM1", "COM3"}));
        QCOMPARE(rig.Port1()->currentText(), QStringLiteral("COM3"));
        // The device behind each name, as its tooltip.
        QVERIFY(rig.Port1()->itemData(0, Qt::ToolTipRole).toString().contains(QString::fromStdString(com1)));
        QVERIFY(rig.Port1()->itemData(1, Qt::ToolTipRole).toString().contains(QString::fromStdString(com3)));
        QVERIFY(rig.Port1()->toolTip().contains(QString::fromStdString(com3)));
    }
    {
        // A stored port that is not there: nothing selected.
        Rig rig(1);
        rig.Record().SetName("COM9");
        rig.Show();
        QCOMPARE(rig.Port1()->currentIndex(), -1);
        QCOMPARE(rig.Port1()->count(), 2);
    }
}

void ComportDialogTest::ok_stores_by_device_code_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("storedBaud");
    QTest::addColumn<QString>("chosenBaud");  // empty: leave the list as filled
    QTest::addColumn<int>("expectedBaud");
    QTest::addColumn<QString>("expectedFraming");
    // The framing edit is made to say "7O1" before OK: only STM32F4 stores it.
    QTest::newRow("C166/167 stores name and rate") << 1 << 57600 << "38400" << 38400 << "8N1";
    QTest::newRow("C509") << 2 << 9600 << "4800" << 4800 << "8N2";
    QTest::newRow("T89C5xACx") << 7 << 57600 << "9600" << 9600 << "8N2";
    QTest::newRow("SAM3S") << 10 << 115200 << "57600" << 57600 << "8N1";
    QTest::newRow("GP4020 keeps its rate") << 4 << 12345 << "57600" << 12345 << "8N1";
    QTest::newRow("STM32F4 also stores the framing") << 11 << 115200 << "" << 115200 << "7O1";
}

void ComportDialogTest::ok_stores_by_device_code() {
    QFETCH(int, code);
    QFETCH(int, storedBaud);
    QFETCH(QString, chosenBaud);
    QFETCH(int, expectedBaud);
    QFETCH(QString, expectedFraming);
    PortRig ports;
    ports.AddPty("COM1");
    ports.AddPty("COM2");
    Rig rig(code);
    rig.Record().SetBaudRate(storedBaud);
    const qtx::Setup before = rig.ctx.setup;
    rig.Show();
    rig.Port1()->setCurrentIndex(rig.Port1()->findText(QStringLiteral("COM2")));
    if (!chosenBaud.isEmpty()) rig.Baud()->setCurrentIndex(rig.Baud()->findText(chosenBaud));
    rig.Frame()->setText(QStringLiteral("7O1"));
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);

    QCOMPARE(rig.dialog->result(), int(QDialog::Accepted));
    QVERIFY(!rig.dialog->isVisible());
    const qtx::PortRecord& r = rig.Record();
    QCOMPARE(QString::fromStdString(r.Name()), QStringLiteral("COM2"));
    QCOMPARE(r.BaudRate(), expectedBaud);
    QCOMPARE(QString::fromStdString(r.FramingText()), expectedFraming);
    QVERIFY(rig.display.Has("port COM2 " + std::to_string(expectedBaud)));
    // Only the target's own record changed.
    const int index = qtx::PortRecordIndex(code);
    for (int i = 0; i < 10; ++i)
        if (i != index) QVERIFY(std::memcmp(&rig.ctx.setup.Ports[i], &before.Ports[i], sizeof(qtx::PortRecord)) == 0);
    QCOMPARE(std::memcmp(rig.ctx.setup.FlashDir, before.FlashDir, sizeof before.FlashDir), 0);
    QCOMPARE(rig.ctx.setup.DeviceCode(), code);
}

void ComportDialogTest::ok_opens_the_port_at_once() {
    PortRig ports;
    ports.AddPty("COM1");
    const std::string com2 = ports.AddPty("COM2");
    Rig rig(1);
    rig.Show();
    rig.Port1()->setCurrentIndex(rig.Port1()->findText(QStringLiteral("COM2")));
    rig.Baud()->setCurrentIndex(rig.Baud()->findText(QStringLiteral("38400")));
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);

    QVERIFY(rig.ctx.PortIsOpen);
    QVERIFY(rig.ctx.ActivePort);
    QCOMPARE(rig.ctx.ActivePort->DeviceName, com2);
    // The line runs at the new rate: the pty's other side sees it.
    termios t{};
    QCOMPARE(tcgetattr(ports.Master("COM2"), &t), 0);
    QCOMPARE(cfgetospeed(&t), speed_t(B38400));
    QVERIFY(!rig.display.Has(kPortError));
    // A second OK closes the open port before it opens the next one.
    qtx::TFormComport second(rig.ctx, false);
    second.show();
    auto* port1 = second.findChild<QComboBox*>(QStringLiteral("Port1"));
    port1->setCurrentIndex(port1->findText(QStringLiteral("COM1")));
    QTest::mouseClick(second.findChild<QPushButton*>(QStringLiteral("Button1")), Qt::LeftButton);
    QVERIFY(rig.ctx.PortIsOpen);
    QVERIFY(rig.ctx.ActivePort->DeviceName != com2);
    QVERIFY(!rig.display.Has(kPortError));
    // COM2 was let go: another program can have it now.
    const int fd = qtx::Comport::OpenDevice("COM2");
    QVERIFY(fd >= 0);
    qtx::Comport::CloseDevice(fd);
}

void ComportDialogTest::ok_with_a_held_port_reports_and_closes() {
    PortRig ports;
    const std::string com4 = ports.AddPty("COM4");
    PortHolder holder(com4);
    Rig rig(5);  // XC164/167
    rig.Show();
    QCOMPARE(Items(rig.Port1()), QStringList{"COM4"});
    rig.Port1()->setCurrentIndex(0);
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);

    QVERIFY(rig.display.Has(kPortError));
    QVERIFY(rig.display.status.find("in use") != std::string::npos);
    QVERIFY(!rig.ctx.PortIsOpen);
    // Stored and shown all the same, and the dialog closed.
    QCOMPARE(QString::fromStdString(rig.Record().Name()), QStringLiteral("COM4"));
    QVERIFY(rig.display.Has("port COM4 19200"));
    QCOMPARE(rig.dialog->result(), int(QDialog::Accepted));
    QVERIFY(!rig.dialog->isVisible());
}

void ComportDialogTest::ok_without_a_choice() {
    PortRig ports;
    ports.AddPty("COM1");
    Rig rig(1);
    rig.Record().SetName("COM8");    // not present
    rig.Record().SetBaudRate(1200);  // not offered: stored by the command-line tool
    rig.Show();
    QCOMPARE(rig.Port1()->currentIndex(), -1);
    // The stored rate is listed and chosen, not lost.
    QCOMPARE(rig.Baud()->currentText(), QStringLiteral("1200"));
    QVERIFY(!rig.Button("Button1")->isEnabled());
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);
    rig.dialog->Button1Click();  // even a click that gets through stores nothing
    QCOMPARE(QString::fromStdString(rig.Record().Name()), QStringLiteral("COM8"));
    QVERIFY(rig.dialog->isVisible());

    rig.Port1()->setCurrentIndex(rig.Port1()->findText(QStringLiteral("COM1")));
    QVERIFY(rig.Button("Button1")->isEnabled());
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);
    QCOMPARE(QString::fromStdString(rig.Record().Name()), QStringLiteral("COM1"));
    QCOMPARE(rig.Record().BaudRate(), 1200);
    QVERIFY(!rig.display.Has(kPortError));
}

void ComportDialogTest::cancel_changes_nothing() {
    PortRig ports;
    ports.AddPty("COM1");
    ports.AddPty("COM2");
    Rig rig(3);
    QCOMPARE(qtx::OpenTargetPort(rig.ctx), 0);
    const qtx::Comport* open = rig.ctx.ActivePort.get();
    const qtx::Setup before = rig.ctx.setup;
    rig.display.events.clear();
    rig.Show();
    rig.Port1()->setCurrentIndex(rig.Port1()->findText(QStringLiteral("COM2")));
    rig.Baud()->setCurrentIndex(rig.Baud()->findText(QStringLiteral("4800")));
    QTest::mouseClick(rig.Button("Cancel"), Qt::LeftButton);

    QCOMPARE(rig.dialog->result(), int(QDialog::Rejected));
    QVERIFY(!rig.dialog->isVisible());
    QCOMPARE(std::memcmp(&rig.ctx.setup, &before, sizeof before), 0);
    QVERIFY(rig.display.events.empty());
    QCOMPARE(rig.ctx.ActivePort.get(), open);
    QVERIFY(rig.ctx.PortIsOpen);
}

void ComportDialogTest::flash_enabled_after_ok_data() {
    QTest::addColumn<bool>("fileExisted");
    QTest::newRow("file existed at start-up") << true;
    QTest::newRow("no file at start-up") << false;
}

void ComportDialogTest::flash_enabled_after_ok() {
    QFETCH(bool, fileExisted);
    PortRig ports;
    ports.AddPty("COM1");
    Rig rig(1, fileExisted);
    rig.Show();
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);
    QCOMPARE(rig.display.Has("FlashButton enabled"), fileExisted);
}

void ComportDialogTest::enter_and_esc_do_nothing() {
    PortRig ports;
    ports.AddPty("COM1");
    Rig rig(1);
    rig.Show();
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
        QTest::keyClick(rig.dialog.get(), key);
        QTest::keyClick(rig.Button("Button1"), key);
        QVERIFY(rig.dialog->isVisible());
    }
    QVERIFY(rig.display.events.empty());
    QVERIFY(!rig.ctx.PortIsOpen);
}

void ComportDialogTest::fast_data_choice() {
    QSettings(QStringLiteral("qtxflash"), QStringLiteral("qtxflash")).clear();
    // Rates of our own on a copy of a target, whatever the real ones offer.
    static constexpr uint32_t kRates[] = {230400, 500000, 1000000};
    qtx::TargetRow row = *qtx::FindTargetByCode(11);
    row.fastRates = kRates;

    QComboBox list;
    qtx::ListFastRates(&list, kRates, 500000);
    QVERIFY(list.isEnabled());
    QCOMPARE(Items(&list),
             (QStringList{"Port rate", "230400 baud (fast)", "500000 baud (fast)", "1000000 baud (fast)"}));
    QCOMPARE(qtx::ChosenFastRate(&list), 500000u);
    list.setCurrentIndex(0);
    QCOMPARE(qtx::ChosenFastRate(&list), 0u);
    // A stored rate the target does not offer shows as the port's rate.
    qtx::ListFastRates(&list, kRates, 460800);
    QCOMPARE(list.currentText(), QStringLiteral("Port rate"));

    // Stored per device code and read back; what the target does not offer reads as off.
    for (uint32_t stored : {1000000u, 0u, 460800u, 115200u}) {
        qtx::StoreFastRate(row.deviceCode, stored);
        const bool offered = stored == 1000000u;
        QCOMPARE(qtx::StoredFastRate(row), offered ? stored : 0u);
    }
    QSettings(QStringLiteral("qtxflash"), QStringLiteral("qtxflash")).setValue(QStringLiteral("fastData/11"), "fast");
    QCOMPARE(qtx::StoredFastRate(row), 0u);
    qtx::StoreFastRate(row.deviceCode, 230400);
    QCOMPARE(Setting(QStringLiteral("fastData/11")).toUInt(), 230400u);

    // A target without fast data: the list is off and says so, and OK leaves
    // a choice stored for it alone (it reads as off all the same).
    const qtx::TargetRow& plain = *qtx::FindTargetByCode(2);
    QVERIFY(plain.fastRates.empty());
    qtx::StoreFastRate(plain.deviceCode, 1000000);
    PortRig ports;
    ports.AddPty("COM1");
    Rig rig(plain.deviceCode);
    rig.Show();
    QVERIFY(!rig.DataRate()->isEnabled());
    QCOMPARE(Items(rig.DataRate()), QStringList{"Port rate"});
    rig.Port1()->setCurrentIndex(0);
    QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);
    QCOMPARE(rig.dialog->result(), int(QDialog::Accepted));
    QCOMPARE(Setting(QStringLiteral("fastData/2")).toUInt(), 1000000u);
    QCOMPARE(qtx::StoredFastRate(plain), 0u);
}

void ComportDialogTest::fast_data_stored_by_ok() {
    const qtx::TargetRow* row = nullptr;
    for (const qtx::TargetRow* r : qtx::Catalogue())
        if (!r->fastRates.empty() && qtx::PortRecordIndex(r->deviceCode) >= 0) {
            row = r;
            break;
        }
    if (!row) QSKIP("no target offers fast data");
    qtx::StoreFastRate(row->deviceCode, 0);
    const uint32_t fastest = qtx::FastestRate(*row);
    PortRig ports;
    ports.AddPty("COM1");
    {
        Rig rig(row->deviceCode);
        rig.Show();
        QVERIFY(rig.DataRate()->isEnabled());
        QCOMPARE(rig.DataRate()->count(), int(row->fastRates.size()) + 1);
        QCOMPARE(rig.DataRate()->currentText(), QStringLiteral("Port rate"));
        rig.DataRate()->setCurrentIndex(rig.DataRate()->findText(qtx::FastRateText(fastest)));
        rig.Port1()->setCurrentIndex(0);
        QTest::mouseClick(rig.Button("Button1"), Qt::LeftButton);
    }
    QCOMPARE(qtx::StoredFastRate(*row), fastest);
    {
        // Shown again at the next opening; Cancel keeps it.
        Rig rig(row->deviceCode);
        rig.Show();
        QCOMPARE(rig.DataRate()->currentText(), qtx::FastRateText(fastest));
        rig.DataRate()->setCurrentIndex(0);
        QTest::mouseClick(rig.Button("Cancel"), Qt::LeftButton);
    }
    QCOMPARE(qtx::StoredFastRate(*row), fastest);
}

QTEST_MAIN(ComportDialogTest)
#include "comport_dialog_test.moc"
