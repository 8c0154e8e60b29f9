#include "shell/open_dialog.h"

#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>

#include <utility>


namespace qtx {

namespace {

// "*.*" is the traditional spelling of "every file"; taken literally it would
// hide names without a dot, so the listing is told to match everything.
const QString kAllFiles = QStringLiteral("All Files (*.*)");

}  // namespace

OpenDialog::OpenDialog(QWidget* parent, const QString& directory, CanClose canClose)
    : QFileDialog(parent, QStringLiteral("SELECT"), directory), canClose_(std::move(canClose)) {
    setObjectName(QStringLiteral("OpenDialog1"));
    // The built-in dialog behaves the same on every desktop and can be driven by tests.
    setOption(QFileDialog::DontUseNativeDialog, true);
    setAcceptMode(QFileDialog::AcceptOpen);
    // AnyFile lets a typed name reach accept(), where the owner decides about it;
    // ExistingFile would answer a missing name with the toolkit's own message.
    setFileMode(QFileDialog::AnyFile);
    // Every file first, as before: a raw image may have any name.
    setNameFilters({kAllFiles,
                    QStringLiteral("Firmware (*.hex *.ihx *.s19 *.s28 *.s37 *.srec *.mot *.elf *.bin)"),
                    QStringLiteral("Intel HEX (*.hex *.ihx)"),
                    QStringLiteral("S-records (*.s19 *.s28 *.s37 *.srec *.mot)"),
                    QStringLiteral("ELF programs (*.elf)"),
                    QStringLiteral("Raw images (*.bin)")});
    const auto matchEverything = [this](const QString& filter) {
        if (filter != kAllFiles) return;
        if (auto* model = findChild<QFileSystemModel*>()) model->setNameFilters({QStringLiteral("*")});
    };
    connect(this, &QFileDialog::filterSelected, this, matchEverything);
    matchEverything(kAllFiles);
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
    // Whether a file exists and can be sent is the owner's to answer.
    if (canClose_ && !canClose_(info.absoluteFilePath())) return;
    QFileDialog::accept();
}

}  // namespace qtx
