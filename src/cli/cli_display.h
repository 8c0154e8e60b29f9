// The command-line face: one line per status text and panel word on stderr,
// and a progress bar when stderr is a terminal.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "engine/display.h"

namespace qtx {

struct Context;

// Length of the UTF-8 sequence at s[i], or 0 when it is not a valid one or is
// a C1 control (which terminals act on).
std::size_t Utf8Length(const std::string& s, std::size_t i);

class CliDisplay : public Display {
public:
    explicit CliDisplay(FILE* out, bool quiet = false);
    void Attach(Context* ctx) { ctx_ = ctx; }

    void SetPanelCaption(Panel panel, const std::string& caption) override;
    void SetPanelColor(Panel panel, Color color) override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(int percent) override;
    void SetProgressTextVisible(bool) override {}
    void SetCancelEnabled(bool) override {}
    void SetCancelDefault(bool) override {}
    void SetFlashEnabled(bool) override {}
    void SetFlashDefault(bool) override {}
    void SetTimerRunning(bool) override {}
    void ShowPortRecord(const PortRecord& record) override;
    void Pump() override;
    void MessageBox(const std::string& text, const std::string& caption, MessageIcon icon) override;

    // A line of the tool's own; always shown, after the progress bar is cleared.
    void Say(const std::string& text);

    // Ctrl-C, SIGHUP and SIGTERM request an abort through the flasher's flag;
    // a second one quits at once. SIGPIPE is ignored: a reader that went away
    // must never end a run half way.
    static void InstallSignalHandlers();
    static bool Interrupted();
    // The first signal that asked for the abort, or 0.
    static int InterruptSignal();
    // Exit status of an interrupted run: 143 for SIGTERM, 130 otherwise.
    static int InterruptStatus();

    // Text for a terminal: control bytes and bytes that are no UTF-8 (from a
    // corrupted settings file, say) are written as \xNN; line feeds stay.
    static std::string Printable(const std::string& text);

    // Status text flattened to one line ("\nError x\nReceived ..." -> "Error x; Received ...").
    static std::string OneLine(const std::string& text);

private:
    void Line(const std::string& text);
    void ClearBar();

    FILE* out_;
    bool tty_;
    bool quiet_;
    bool barShown_ = false;
    int lastPercent_ = -1;
    std::string lastStatus_;
    Context* ctx_ = nullptr;
    bool abortSaid_ = false;
};

}  // namespace qtx
