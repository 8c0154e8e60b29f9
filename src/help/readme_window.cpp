#include "help/readme_window.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>
#include <QStringList>
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
    // Started from elsewhere, the program still finds the guides installed with
    // it: beside it (the build tree), or in share/qtxflash next to its bin/
    // (an installed copy, wherever its prefix or DESTDIR put it).
    if (QFileInfo(texts_.fileName).isAbsolute()) return {};
    QStringList dirs;
    if (!texts_.fallbackDir.isEmpty()) {
        dirs << texts_.fallbackDir;
    } else if (QCoreApplication::instance()) {
        const QString program = QCoreApplication::applicationDirPath();
        dirs << program << QDir(program).filePath(QStringLiteral("../share/qtxflash"));
    }
    for (const QString& dir : dirs) {
        const QFileInfo there(QDir(dir).filePath(texts_.fileName));
        if (there.isFile()) return QDir::cleanPath(there.filePath());
    }
    return {};
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
