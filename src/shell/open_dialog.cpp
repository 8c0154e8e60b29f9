#include "shell/open_dialog.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>

#include <utility>

namespace qtx {

OpenDialog::OpenDialog(QWidget* parent, const QString& directory, CanClose canClose)
    : QFileDialog(parent, QStringLiteral("SELECT"), directory), canClose_(std::move(canClose)) {
    setObjectName(QStringLiteral("OpenDialog1"));
    // The built-in dialog behaves the same on every desktop and can be driven by tests.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    // AnyFile lets a typed name reach accept(), where the owner decides about it;
    // ExistingFile would answer a missing name with the toolkit's own message.
    setFileMode(QFileDialog::AnyFile);
    setNameFilter(QStringLiteral("All Files (*.*)"));
    // "*.*" is the traditional spelling of "every file"; taken literally it would
    // hide names without a dot, so the listing is told to match everything.
    if (auto* model = findChild<QFileSystemModel*>()) model->setNameFilters({QStringLiteral("*")});
}

void OpenDialog::accept() {
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return;
    const QFileInfo info(files.first());
    // A directory is entered, as the dialog always does.
    if (info.isDir()) {
        QFileDialog::accept();
        return;
    }
    if (canClose_ && !canClose_(info.absoluteFilePath())) return;
    QFileDialog::accept();
}

}  // namespace qtx
