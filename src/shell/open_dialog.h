// File > Open: a file dialog that asks its owner before it accepts a name, so
// that a missing file, or one the selected target cannot take, is refused
// while the dialog stays open.
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
    CanClose canClose_;
};

}  // namespace qtx
