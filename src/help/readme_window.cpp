#include "help/readme_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "help/rtf_reader.h"

namespace qtx {

void CentreOnScreen(QWidget* window) {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect frame = window->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    window->move(frame.topLeft());
}

ReadmeWindow::ReadmeWindow(const ReadmeTexts& texts, QWidget* parent) : QDialog(parent), texts_(texts) {
    setObjectName(texts_.objectName);
    setWindowTitle(texts_.caption);
    // Single, non-resizable border.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(texts_.font);
    setFixedSize(texts_.client);

    redit = new QTextEdit(this);
    redit->setObjectName(QStringLiteral("redit"));
    redit->setReadOnly(true);
    redit->setUndoRedoEnabled(false);
    redit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    redit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    redit->setLineWrapMode(QTextEdit::WidgetWidth);
    redit->document()->setDefaultFont(texts_.font);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(redit);
}

void ReadmeWindow::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    CentreOnScreen(this);
    // After the window is up, so that a "not found" box appears over it.
    QTimer::singleShot(0, this, [this] {
        if (isVisible()) FormActivate();
    });
}

bool ReadmeWindow::FormActivate() {
    const bool loaded = Load();
    ++activations_;
    return loaded;
}

QString ReadmeWindow::FilePath() const {
    // Only regular files: a FIFO of that name would hang the window.
    const QFileInfo here(texts_.fileName);
    if (here.isFile()) return here.filePath();
    // Started from elsewhere, the program still finds the guides installed with it.
    QString dir = texts_.fallbackDir;
    if (dir.isEmpty() && QCoreApplication::instance()) dir = QCoreApplication::applicationDirPath();
    if (dir.isEmpty() || QFileInfo(texts_.fileName).isAbsolute()) return {};
    const QFileInfo beside(QDir(dir).filePath(texts_.fileName));
    return beside.isFile() ? beside.filePath() : QString();
}

bool ReadmeWindow::Load() {
    const QString path = FilePath();
    if (path.isEmpty()) {
        QMessageBox box(QMessageBox::NoIcon, texts_.missingTitle, texts_.missingText, QMessageBox::Ok);
        box.exec();
        return false;
    }
    QFile file(path);
    QTextDocument* doc = redit->document();
    if (!file.open(QIODevice::ReadOnly)) {
        doc->setPlainText(texts_.unreadableText.arg(file.errorString()));
        return true;
    }
    const QByteArray data = file.read(kMaxReadmeBytes);
    if (data.isEmpty() && file.error() != QFileDevice::NoError) {
        doc->setPlainText(texts_.unreadableText.arg(file.errorString()));
        return true;
    }
    doc->setDefaultFont(texts_.font);
    ReadRtf(data, *doc);
    redit->moveCursor(QTextCursor::Start);
    return true;
}

}  // namespace qtx
