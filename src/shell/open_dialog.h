// File > Open: a file dialog that asks its owner before it accepts a name, so
// that a missing file is refused while the dialog stays open. A firmware file
// the selected target cannot take (a damaged HEX record, data outside its
// flash) is refused here too, with the words of the run.
#pragma once

#include <QFileDialog>

#include <functional>

namespace qtx {

class OpenDialog : public QFileDialog {
public:
    using CanClose = std::function<bool(const QString& path)>;

    OpenDialog(QWidget* parent, const QString& directory, CanClose canClose);

    void accept() override;

private:
    // false (after a message box) when the main window's target refuses the file.
    bool FirmwareAcceptable(const QString& path);

    CanClose canClose_;
};

}  // namespace qtx
