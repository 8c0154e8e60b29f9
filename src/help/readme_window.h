// A readme window: one read-only rich-text box filling the window, showing an
// RTF file from the working directory (or, when it is not there, the copy
// beside the program or installed with it), read afresh at every opening so that a file
// changed or created meanwhile is shown.
#pragma once

#include <QDialog>
#include <QFont>
#include <QSize>
#include <QString>

class QTextEdit;

namespace qtx {

struct ReadmeTexts {
    QString objectName;      // "FormHelp"
    QString caption;         // window title
    QSize client;            // client area
    QFont font;              // window font (text without a font of its own)
    QString fileName;        // relative: looked up in the working directory
    QString missingText;     // message box text when the file is missing
    QString missingTitle;    // its title
    QString unreadableText;  // shown in the box when the file exists but cannot be read; %1 = why
    QString fallbackDir;     // looked in after the working directory; empty: the program's
                             // directory, then ../share/qtxflash from it (installed)
};

// Files larger than this are read only up to it: a readme never comes close,
// and the window must not swallow an arbitrary file whole.
inline constexpr qint64 kMaxReadmeBytes = 64 * 1024 * 1024;

class ReadmeWindow : public QDialog {
    Q_OBJECT

public:
    ReadmeWindow(const ReadmeTexts& texts, QWidget* parent = nullptr);

    // Loads the file into the box (replacing what it held) and returns true; a
    // missing file is reported with a message box, the box keeps its content
    // and the result is false.
    bool FormActivate();

    QTextEdit* Redit() const { return redit; }
    // The file an opening would show: in the working directory, else in the
    // fallback directory; empty when neither holds a regular file of that name.
    QString FilePath() const;
    // How often FormActivate has completed (the window is activated once per opening).
    int Activations() const { return activations_; }
    const ReadmeTexts& Texts() const { return texts_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    bool Load();

    ReadmeTexts texts_;
    QTextEdit* redit = nullptr;
    int activations_ = 0;
};

// Places a top-level window in the middle of the primary screen.
void CentreOnScreen(QWidget* window);

}  // namespace qtx
