#include "shell/open_dialog.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>

#include <string>
#include <utility>

#include "engine/firmware_load.h"
#include "engine/target_table.h"
#include "shell/flmain.h"

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

bool OpenDialog::FirmwareAcceptable(const QString& path) {
    // The window's run refuses a file its target cannot take before it touches
    // the board; the choice says so at once, in the run's own words.
    auto* window = dynamic_cast<TBSL*>(parentWidget());
    if (!window) return true;
    const TargetRow* row = FindTargetByCode(window->Ctx().setup.DeviceCode());
    if (!row) return true;
    LoadedFirmware loaded;
    std::string why;
    if (LoadFirmware(std::string(QFile::encodeName(path).constData()), *row, loaded, why)) return true;
    window->MessageBox(why, "Error", MessageIcon::Error);
    return false;
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
    // A missing name is the owner's to answer.
    if (info.exists() && !FirmwareAcceptable(info.absoluteFilePath())) return;
    if (canClose_ && !canClose_(info.absoluteFilePath())) return;
    QFileDialog::accept();
}

}  // namespace qtx
