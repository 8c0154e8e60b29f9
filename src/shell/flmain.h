// The main window: target selector, port and file display, the three status
// panels, the gauge and the status line, and the FLASH run driver around the
// engine. It is the engine's Display for the window face.
#pragma once

#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "engine/context.h"
#include "engine/display.h"
#include "engine/run.h"

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
class TRunLog;
class TBSL;

// The engine's view of the window. A run goes on a thread of its own: its
// display calls reach the window queued, in the order made, so the window's
// thread never waits on the serial line. Calls made on the window's thread go
// straight through.
class WindowDisplay : public Display {
public:
    explicit WindowDisplay(TBSL& window) : w_(window) {}
    // Forgets what the previous run showed (the gauge is only passed on when it changes).
    void NewRun() { lastProgress_ = -1; }

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
    // On the run's thread: hands a pending Abort or close to the flasher.
    void Pump() override;
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;

private:
    bool OnWindowThread() const;
    template <class F>
    void Forward(F&& call);

    TBSL& w_;
    int lastProgress_ = -1;  // run thread only
};

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
    // Lets the window's events run until the current run has ended and its
    // result is shown, at most timeoutMs; true when no run is going on.
    bool WaitForRun(int timeoutMs);
    // The one line that tells the last run's result until the next run starts,
    // and its hint (empty after a success).
    QString VerdictText() const;
    TRunLog* RunLogWindow() const { return RunLog; }
    const std::string& RunLogFile() const { return runLogPath_; }
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
    void RunLogClick();

signals:
    // A run has ended and its verdict is shown.
    void RunFinished(int outcome);

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    friend class WindowDisplay;
    // On the run's thread: one run, then the result is handed to RunEnded.
    void RunOnWorker();
    void RunEnded(RunOutcome outcome, const std::string& crash);
    void ShowVerdict(const QString& line, const QString& hint, const QString& tone);
    // The format, range and CRC-32 of the chosen file for the selected target; empty when it cannot be read.
    QString FileSummary() const;
    // The gauge and the status text are painted at most once per 40 ms during
    // a run; a panel change first paints what is pending, so the two agree.
    void RequestPaint();
    void PaintPending();
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

    WindowDisplay display_{*this};
    Context ctx;
    std::thread worker_;
    // Set by Abort and by a close that was answered with yes; the run's thread
    // passes it on to the flasher at its next pump.
    std::atomic<bool> abortWanted_{false};
    int64_t runStartMs_ = 0;
    int64_t runStartUnixMs_ = 0;
    std::string runLogPath_;
    bool waitingToClose_ = false;
    bool askingToClose_ = false;
    int progressValue_ = 0;
    bool statusPending_ = false;
    bool progressPending_ = false;
    QElapsedTimer paintClock_;
    QTimer* paintTimer_ = nullptr;
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
    QLabel* DataRate = nullptr;  // the rate the last run's data went at
    QLabel* Verdict = nullptr;
    QTimer* Timer4 = nullptr;

    QAction* Open1 = nullptr;
    QAction* Exit = nullptr;
    QAction* Comport1 = nullptr;
    QAction* Help1 = nullptr;
    QAction* Hilfe = nullptr;
    QAction* Info = nullptr;
    QAction* RunLog1 = nullptr;

    TRunLog* RunLog = nullptr;
    TFormHelp* FormHelp = nullptr;
    TFormHilfe* FormHilfe = nullptr;
    TInfoPanel* InfoPanel = nullptr;
};

}  // namespace qtx
