// The main window: target selector, port and file display, the three status
// panels, the gauge and the status line, and the FLASH run driver around the
// engine. It is the engine's Display for the window face.
#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <functional>
#include <string>

#include "engine/context.h"
#include "engine/display.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;

namespace qtx {

// A one-line label that never cuts off the ends of a long text: it shows the
// text with its middle elided to the width it has, and the whole text as tooltip.
class ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;
    void SetFullText(const QString& text);
    const QString& FullText() const { return full_; }
    // Whether the text shown is shorter than the whole text.
    bool Elided() const;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Refresh();
    QString full_;
};

class TFormHelp;
class TFormHilfe;
class TInfoPanel;

// Program-wide settings of the application object, before any window exists.
void SetUpApplication();

class TBSL : public QMainWindow, public Display {
    Q_OBJECT

public:
    // Fills the settings record at start-up; empty means the built-in defaults
    // with the working directory. StoredSetup is the program's own: flash.stp in
    // the start directory, written back when the window closes.
    using SetupLoader = std::function<void(Context&)>;
    static void StoredSetup(Context& ctx);

    explicit TBSL(SetupLoader loadSetup = {}, QWidget* parent = nullptr);
    ~TBSL() override;

    // Non-zero when start-up met a configuration the program cannot run with
    // (a stored device code that selects no target); the process exits with it.
    int FatalStatus() const { return fatalStatus_; }
    // Why start-up failed, for stderr: the settings file, the code found, the remedy.
    const std::string& FatalMessage() const { return fatalMessage_; }

    // The readme and info windows, created hidden at program start (or at
    // their first opening) and kept until the window goes.
    void CreateHelpWindows();
    TFormHelp* HelpWindow() const { return FormHelp; }
    TFormHilfe* HilfeWindow() const { return FormHilfe; }
    TInfoPanel* InfoWindow() const { return InfoPanel; }

    Context& Ctx() { return ctx; }
    bool FlashFileExists() const { return flashFileExists_; }
    bool Running() const { return running_; }
    // StatusBar1 text exactly as the engine set it (the bar shows it on one line).
    const std::string& StatusText() const { return statusText_; }

    // Colour a status panel shows, as stored (see Color); for checks and tests.
    static QColor ToQColor(Color c, const QPalette& palette);

    // Display
    void SetPanelCaption(Panel panel, const std::string& caption) override;
    void SetPanelColor(Panel panel, Color color) override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(int percent) override;
    void SetProgressTextVisible(bool visible) override;
    void SetCancelEnabled(bool enabled) override;
    void SetCancelDefault(bool isDefault) override;
    void SetFlashEnabled(bool enabled) override;
    void SetFlashDefault(bool isDefault) override;
    void SetTimerRunning(bool running) override;
    void ShowPortRecord(const PortRecord& record) override;
    void Pump() override;
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;
    // Shown in a box that does not hold the run (a modal one would stop the
    // engine's pump until it closed, and the target would time out).

    // The open dialog's acceptance check: false keeps the dialog open.
    bool OpenDialog1CanClose(const QString& path);

public slots:
    void FlashButtonClick();
    void CancelClick();
    void RadioGroupClick();
    void Timer4Timer();
    void Open1Click();
    void ExitClick();
    void Comport1Click();
    void Help1Click();
    void HilfeClick();
    void InfoClick();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void BuildLayout();
    void BuildMenu();
    void FormCreate(const SetupLoader& loadSetup);
    void SelectStoredTarget();
    void FormClose();
    void Fatal(int status);
    // Disables (or restores) every action that could pull the flasher or the
    // port from under a running engine.
    void GuardRun(bool running);
    QLabel* PanelLabel(Panel panel) const;

    Context ctx;
    bool flashFileExists_ = false;
    bool running_ = false;
    bool closeRequested_ = false;
    bool settingsSaved_ = false;
    bool flashWanted_ = false;  // FLASH state the engine asked for; held back during a run
    int fatalStatus_ = 0;
    std::string fatalMessage_;
    std::string statusText_;
    QString openDir_;

    QWidget* client_ = nullptr;
    QFrame* Bevel1 = nullptr;
    QFrame* Bevel2 = nullptr;
    QFrame* Bevel3 = nullptr;
    QLabel* BslPanel = nullptr;
    QLabel* ErasePanel = nullptr;
    QLabel* FlashPanel = nullptr;
    QGroupBox* RadioGroup = nullptr;
    QComboBox* ProcessorType = nullptr;
    QCheckBox* SetX2Box = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QLabel* Port = nullptr;
    QLabel* Baudrate = nullptr;
    QLabel* Panel2 = nullptr;
    QLabel* Panel3 = nullptr;
    QPushButton* FlashButton = nullptr;
    QPushButton* Cancel = nullptr;
    QLabel* Label1 = nullptr;
    ElidedLabel* Panel1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    ElidedLabel* statusLabel_ = nullptr;
    QTimer* Timer4 = nullptr;

    QAction* Open1 = nullptr;
    QAction* Exit = nullptr;
    QAction* Comport1 = nullptr;
    QAction* Help1 = nullptr;
    QAction* Hilfe = nullptr;
    QAction* Info = nullptr;

    TFormHelp* FormHelp = nullptr;
    TFormHilfe* FormHilfe = nullptr;
    TInfoPanel* InfoPanel = nullptr;
};

}  // namespace qtx
