#include "help/revinfo.h"

#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#include "help/readme_window.h"

namespace qtx {

namespace {

QFont Arial(int pixels, bool bold, bool italic = false) {
    QFont f(QStringLiteral("Arial"));
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    f.setItalic(italic);
    return f;
}

QFont SansSerif(int pixels, bool bold) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QLabel* Text(QWidget* parent, const char* name, const QString& text, const QFont& font, QRect geometry) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setFont(font);
    l->setGeometry(geometry);
    return l;
}

// A field without a designed width: as wide as its text.
QLabel* Field(QWidget* parent, const char* name, const QString& text, const QFont& font, QPoint at) {
    QLabel* l = Text(parent, name, text, font, QRect(at, QSize(1, 1)));
    l->adjustSize();
    return l;
}

QFrame* Bevel(QWidget* parent, const char* name, QRect geometry) {
    auto* b = new QFrame(parent);
    b->setObjectName(QLatin1String(name));
    b->setFrameStyle(QFrame::Box | QFrame::Sunken);
    b->setGeometry(geometry);
    return b;
}

// The program's icon, 32 x 32 in the sixteen standard colours: a chip with a
// flash across it.
QPixmap ProgramIcon() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xC0, 0xC0, 0xC0));  // pins
    for (int i = 0; i < 5; ++i) {
        p.drawRect(9 + 3 * i, 3, 2, 3);
        p.drawRect(9 + 3 * i, 26, 2, 3);
        p.drawRect(3, 9 + 3 * i, 3, 2);
        p.drawRect(26, 9 + 3 * i, 3, 2);
    }
    p.setBrush(QColor(0x00, 0x00, 0x80));  // body
    p.drawRect(6, 6, 20, 20);
    p.setBrush(QColor(0xFF, 0xFF, 0x00));  // the flash
    const QPoint bolt[] = {{18, 7}, {10, 17}, {15, 17}, {13, 25}, {22, 14}, {17, 14}, {20, 7}};
    p.drawPolygon(bolt, int(std::size(bolt)));
    return pm;
}

}  // namespace

TInfoPanel::TInfoPanel(QWidget* parent) : QDialog(parent), memorySource_([] { return ReadMemoryStatus(); }) {
    setObjectName(QStringLiteral("InfoPanel"));
    setWindowTitle(QStringLiteral("Info"));
    // Dialog border with the system-menu button only.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(270, 236);

    Bevel(this, "Bevel1", {4, 8, 263, 119});
    Bevel(this, "Bevel2", {4, 136, 263, 53});

    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setGeometry(8, 16, 33, 33);
    image->setPixmap(ProgramIcon());

    Text(this, "Maker", QStringLiteral("QTX Tools"), Arial(16, true, true), {60, 14, 163, 22});
    Text(this, "Product", QStringLiteral("QTX Flash"), Arial(16, true), {100, 36, 87, 23});
    Text(this, "Subtitle", QStringLiteral("Firmware Update Utility"), Arial(13, false), {73, 67, 139, 20});
    Text(this, "RevCaption", QStringLiteral("Rev.:"), Arial(13, true), {106, 102, 36, 20});
    RevNo = Field(this, "RevNo", QStringLiteral("---"), SansSerif(13, true), {155, 102});
    Text(this, "MemCaption", QStringLiteral("Total Memory:"), SansSerif(11, true), {49, 144, 84, 17});
    Mem = Field(this, "Mem", QStringLiteral("Mem"), SansSerif(11, true), {170, 145});
    Text(this, "ResCaption", QStringLiteral("Resources:"), SansSerif(11, true), {49, 165, 68, 17});
    Res = Field(this, "Res", QStringLiteral("Res"), SansSerif(11, true), {170, 165});

    // Labels sized for another font must not cut their text off.
    for (QLabel* l : findChildren<QLabel*>()) {
        if (l->pixmap().isNull() && l->sizeHint().width() > l->width()) l->resize(l->sizeHint().width(), l->height());
    }

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setGeometry(98, 202, 75, 25);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

void TInfoPanel::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(this);
    InfopActivate();
}

void TInfoPanel::InfopActivate() {
    RevNo->setText(QLatin1String(kVersionText));
    const std::optional<MemoryStatus> status = memorySource_ ? memorySource_() : std::nullopt;
    if (status) {
        Mem->setText(QString::fromStdString(TotalMemoryText(status->totalBytes)));
        Res->setText(QString::fromStdString(ResourcesText(status->loadPercent)));
    } else {
        Mem->setText(QStringLiteral("unknown"));
        Res->setText(QStringLiteral("unknown"));
    }
    for (QLabel* l : {RevNo, Mem, Res}) l->adjustSize();
}

}  // namespace qtx
