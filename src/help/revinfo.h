// The info window: program name, version and the computer's memory figures.
#pragma once

#include <QDialog>

#include <functional>
#include <optional>

#include "help/mem_status.h"

class QLabel;

namespace qtx {

class TInfoPanel : public QDialog {
    Q_OBJECT

public:
    using MemorySource = std::function<std::optional<MemoryStatus>()>;

    explicit TInfoPanel(QWidget* parent = nullptr);

    // Where the memory figures come from; /proc/meminfo unless tests say otherwise.
    void SetMemorySource(MemorySource source) { memorySource_ = std::move(source); }

    // Fills the version and the two memory fields; runs at every opening.
    void InfopActivate();

    static constexpr const char* kVersionText = QTX_VERSION;

protected:
    void showEvent(QShowEvent* event) override;

private:
    MemorySource memorySource_;
    QLabel* RevNo = nullptr;
    QLabel* Mem = nullptr;
    QLabel* Res = nullptr;
};

}  // namespace qtx
