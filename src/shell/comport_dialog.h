// The port settings dialog: the serial port and the baud rate of the selected
// target, chosen among the ports present and the rates the target supports.
// OK stores them in the target's port record and opens the port at once. It
// also chooses the target's data rate (fast data), kept in the user's settings.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <span>

#include "engine/context.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace qtx {

// The baud rates offered for a device code, in list order; empty for a code
// that has no port record row.
std::span<const char* const> BaudChoices(int32_t deviceCode);

struct TargetRow;

// Fast data, per target: the rate the loader switches the line to for the
// data; 0 leaves the data at the port's rate. It lives in the user's settings
// (QSettings "qtxflash"/"qtxflash", fastData/<device code>), since flash.stp
// has a fixed layout with no room for it.
// The stored rate when the target still offers it, else 0.
uint32_t StoredFastRate(const TargetRow& target);
void StoreFastRate(int32_t deviceCode, uint32_t rate);
// "Port rate" for 0, else e.g. "1000000 baud (fast)".
QString FastRateText(uint32_t rate);
// Fills a data-rate list: "Port rate", then each offered rate; stored is
// selected when offered, else "Port rate". Without rates it is disabled.
void ListFastRates(QComboBox* list, std::span<const uint32_t> offered, uint32_t stored);
// The rate selected in such a list; 0 for "Port rate".
uint32_t ChosenFastRate(const QComboBox* list);

// How many COMn names the dialog probes.
inline constexpr int kPortsProbed = 60;

class TFormComport : public QDialog {
    Q_OBJECT

public:
    // flashFileExists: whether the stored firmware file existed at start-up;
    // OK then enables FLASH.
    TFormComport(Context& ctx, bool flashFileExists, QWidget* parent = nullptr);

    // Fills the port list with the ports present and the baud list with the
    // target's rates, and selects the stored ones.
    void FormActivate();

public slots:
    // OK: stores the choice, shows it in the main window, opens the port, closes.
    void Button1Click();

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void FitLabels();
    void FitList(QComboBox* list);

    Context& ctx;
    bool flashFileExists_;

    QLabel* StaticText1 = nullptr;
    QComboBox* Port1 = nullptr;
    QLabel* StaticText2 = nullptr;
    QComboBox* Baud = nullptr;
    QLabel* StaticText3 = nullptr;
    QLineEdit* Frame = nullptr;
    QLabel* StaticText4 = nullptr;
    QComboBox* DataRate = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Cancel = nullptr;
};

}  // namespace qtx
