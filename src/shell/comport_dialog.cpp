#include "shell/comport_dialog.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QSettings>

#include <algorithm>
#include <climits>
#include <initializer_list>
#include <string>
#include <vector>

#include "engine/target_table.h"
#include "serial/comport.h"
#include "serial/portmap.h"

namespace qtx {

namespace {

// Receives the names EnumeratePorts reports (its callback carries no context).
thread_local std::vector<std::string>* g_foundPorts = nullptr;

void CollectPort(const char* name) {
    if (g_foundPorts) g_foundPorts->emplace_back(name);
}

// The leading decimal digits of a list text; 0 when there are none.
int32_t LeadingNumber(const QString& text) {
    int64_t value = 0;
    for (QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) break;
        value = value * 10 + (c.unicode() - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

QLabel* StaticText(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(geometry);
    return l;
}

QString FastDataKey(int32_t deviceCode) { return QStringLiteral("fastData/%1").arg(deviceCode); }

}  // namespace

uint32_t StoredFastRate(const TargetRow& target) {
    QSettings settings(QStringLiteral("qtxflash"), QStringLiteral("qtxflash"));
    bool ok = false;
    const uint32_t rate = settings.value(FastDataKey(target.deviceCode)).toUInt(&ok);
    // A rate from another version, or edited by hand, that the loader does not
    // make any more is no reason to refuse the run: the data go at the port's rate.
    return ok && FastRateProblem(target, rate).empty() ? rate : 0;
}

void StoreFastRate(int32_t deviceCode, uint32_t rate) {
    QSettings settings(QStringLiteral("qtxflash"), QStringLiteral("qtxflash"));
    settings.setValue(FastDataKey(deviceCode), rate);
}

QString FastRateText(uint32_t rate) {
    return rate == 0 ? QStringLiteral("Port rate") : QStringLiteral("%1 baud (fast)").arg(rate);
}

void ListFastRates(QComboBox* list, std::span<const uint32_t> offered, uint32_t stored) {
    list->clear();
    list->addItem(FastRateText(0), 0u);
    for (uint32_t rate : offered) list->addItem(FastRateText(rate), rate);
    const int index = list->findData(stored);
    list->setCurrentIndex(index < 0 ? 0 : index);
    list->setEnabled(!offered.empty());
    list->setToolTip(offered.empty() ? QStringLiteral("This target's loader has no fast-data mode")
                                     : QStringLiteral("The rate the loader switches the line to for the data"));
}

uint32_t ChosenFastRate(const QComboBox* list) { return list->currentData().toUInt(); }

std::span<const char* const> BaudChoices(int32_t deviceCode) {
    const TargetRow* row = FindTargetByCode(deviceCode);
    return row ? row->dialogRates : std::span<const char* const>{};
}

TFormComport::TFormComport(Context& context, bool flashFileExists, QWidget* parent)
    : QDialog(parent), ctx(context), flashFileExists_(flashFileExists) {
    setObjectName(QStringLiteral("FormComport"));
    setWindowTitle(QStringLiteral("Comport"));
    // Dialog border without any border icons.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    setFixedSize(227, 131);
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(11);
    setFont(f);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, pal.color(QPalette::Button));  // clBtnFace
    setPalette(pal);
    setAutoFillBackground(true);

    StaticText1 = StaticText(this, "StaticText1", QStringLiteral("Comport"), {8, 11, 43, 17});
    Port1 = new QComboBox(this);
    Port1->setObjectName(QStringLiteral("Port1"));
    Port1->setGeometry(56, 8, 65, 21);
    StaticText2 = StaticText(this, "StaticText2", QStringLiteral("Baudrate"), {8, 42, 47, 17});
    Baud = new QComboBox(this);
    Baud->setObjectName(QStringLiteral("Baud"));
    Baud->setGeometry(56, 39, 65, 21);
    StaticText3 = StaticText(this, "StaticText3", QStringLiteral("Framing"), {8, 73, 41, 17});
    Frame = new QLineEdit(this);
    Frame->setObjectName(QStringLiteral("Frame"));
    Frame->setGeometry(56, 69, 49, 21);
    Frame->setReadOnly(true);
    StaticText4 = StaticText(this, "StaticText4", QStringLiteral("Data rate"), {8, 104, 47, 17});
    DataRate = new QComboBox(this);
    DataRate->setObjectName(QStringLiteral("DataRate"));
    DataRate->setGeometry(56, 100, 161, 21);
    ListFastRates(DataRate, {}, 0);

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(142, 15, 75, 25);
    Cancel = new QPushButton(QStringLiteral("Cancel"), this);
    Cancel->setObjectName(QStringLiteral("Cancel"));
    Cancel->setGeometry(142, 58, 75, 25);
    // Neither button answers Enter.
    for (QPushButton* b : {Button1, Cancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    FitLabels();
    connect(Button1, &QPushButton::clicked, this, &TFormComport::Button1Click);
    connect(Cancel, &QPushButton::clicked, this, &QDialog::reject);

    // The device behind the chosen name, as the tooltip of the list itself.
    connect(Port1, &QComboBox::currentIndexChanged, this, [this](int index) {
        Port1->setToolTip(index < 0 ? QString() : Port1->itemData(index, Qt::ToolTipRole).toString());
        // Without a port there is nothing OK could store that would work.
        Button1->setEnabled(index >= 0);
    });
    Button1->setEnabled(false);
}

void TFormComport::FitLabels() {
    // The design widths were measured with a narrower font: labels grow to
    // their text, and the controls right of them move over by what the
    // widest label needs, so that nothing is cut off or covered.
    int shift = 0;
    for (QLabel* l : {StaticText1, StaticText2, StaticText3, StaticText4}) {
        l->ensurePolished();
        const int needed = l->sizeHint().width();
        if (needed > l->width()) l->resize(needed, l->height());
        shift = std::max(shift, l->x() + l->width() + 4 - Port1->x());
    }
    if (shift <= 0) return;
    for (QWidget* w : std::initializer_list<QWidget*>{Port1, Baud, Frame, DataRate, Button1, Cancel})
        w->move(w->x() + shift, w->y());
    setFixedSize(width() + shift, height());
}

void TFormComport::FitList(QComboBox* list) {
    // "115200" must not be cut off; the list may grow up to the buttons.
    list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    const int room = Button1->x() - 4 - list->x();
    const int wanted = std::min(list->sizeHint().width(), room);
    if (wanted > list->width()) list->resize(wanted, list->height());
}

void TFormComport::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormActivate();
}

void TFormComport::keyPressEvent(QKeyEvent* event) {
    // Enter and Esc belong to no button here.
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
        event->ignore();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void TFormComport::FormActivate() {
    // Lists start empty at every activation, so nothing is ever listed twice.
    Port1->clear();
    Baud->clear();
    const TargetRow* target = FindTargetByCode(ctx.setup.DeviceCode());
    if (target)
        ListFastRates(DataRate, target->fastRates, StoredFastRate(*target));
    else
        ListFastRates(DataRate, {}, 0);

    std::vector<std::string> found;
    g_foundPorts = &found;
    Comport::EnumeratePorts(kPortsProbed, &CollectPort);
    g_foundPorts = nullptr;
    const std::vector<PortEntry> map = PortMap();
    for (const std::string& name : found) {
        QString tip;
        for (const PortEntry& e : map) {
            if (e.name != name) continue;
            tip = QString::fromStdString(e.device);
            if (!e.description.empty()) tip += QStringLiteral(" \u2013 ") + QString::fromStdString(e.description);
        }
        Port1->addItem(QString::fromStdString(name));
        Port1->setItemData(Port1->count() - 1, tip, Qt::ToolTipRole);
    }
    Port1->setCurrentIndex(-1);
    FitList(Port1);

    PortRecord* record = ctx.SelectedPortRecord();
    const auto rates = BaudChoices(ctx.setup.DeviceCode());
    if (!record || rates.empty()) return;
    for (const char* rate : rates) Baud->addItem(QLatin1String(rate));
    // A rate stored by other means (qtxflash-cli -b) that the list does not
    // offer is kept: it is listed, chosen, and stored again by OK.
    const QString stored = QString::number(record->BaudRate());
    if (record->BaudRate() > 0 && Baud->findText(stored) < 0) {
        Baud->addItem(stored);
        Baud->setItemData(Baud->count() - 1, QStringLiteral("The stored rate; this target's list does not offer it"),
                          Qt::ToolTipRole);
    }
    FitList(Baud);
    Baud->setCurrentIndex(Baud->findText(stored));
    Frame->setText(QString::fromStdString(record->FramingText()));
    Port1->setCurrentIndex(Port1->findText(QString::fromStdString(record->Name())));
    Frame->setEnabled(false);
}

void TFormComport::Button1Click() {
    // OK is disabled then; a click that comes anyway must not store an empty name.
    if (Port1->currentIndex() < 0) return;
    PortRecord* record = ctx.SelectedPortRecord();
    const int32_t code = ctx.setup.DeviceCode();
    const std::string name = Port1->currentText().toStdString();
    if (record) {
        // A ROM that talks at the stored rate only keeps it.
        record->SetName(name);
        if (const TargetRow* row = FindTargetByCode(code)) {
            if (row->dialogSetsBaud && Baud->currentIndex() >= 0)
                record->SetBaudRate(LeadingNumber(Baud->currentText()));
            if (row->dialogSetsFraming) record->SetFraming(Frame->text().toStdString());
            // Disabled, the list says nothing: a choice kept for a rate the
            // loader no longer makes stays as it was (and reads as off).
            if (DataRate->isEnabled()) StoreFastRate(code, ChosenFastRate(DataRate));
        }
        ctx.display.ShowPortRecord(*record);
        // Opens the port with the new settings; a failure is told to the user
        // by OpenTargetPort, and the dialog closes all the same.
        OpenTargetPort(ctx);
    }
    if (flashFileExists_) ctx.display.SetFlashEnabled(true);
    accept();
}

}  // namespace qtx
