#include "cli/cli_display.h"

#include <unistd.h>

#include "engine/context.h"
#include "engine/x_flash.h"

namespace qtx {

namespace {
volatile std::sig_atomic_t gInterrupts = 0;

void OnInterrupt(int) {
    gInterrupts = gInterrupts + 1;
    if (gInterrupts >= 2) _exit(130);
}
}  // namespace

CliDisplay::CliDisplay(FILE* out, bool quiet) : out_(out), tty_(isatty(fileno(out)) != 0), quiet_(quiet) {}

void CliDisplay::InstallInterruptHandler() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool CliDisplay::Interrupted() { return gInterrupts > 0; }

std::string CliDisplay::OneLine(const std::string& text) {
    std::string out, line;
    auto flush = [&] {
        const auto b = line.find_first_not_of(' ');
        if (b != std::string::npos) {
            const auto e = line.find_last_not_of(' ');
            if (!out.empty()) out += "; ";
            out += line.substr(b, e - b + 1);
        }
        line.clear();
    };
    for (char c : text) {
        if (c == '\n' || c == '\r') flush();
        else line += c;
    }
    flush();
    return out;
}

void CliDisplay::ClearBar() {
    if (barShown_) {
        std::fputs("\r\033[K", out_);
        barShown_ = false;
    }
}

void CliDisplay::Line(const std::string& text) {
    if (quiet_) return;
    ClearBar();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    lastPercent_ = -1;
}

void CliDisplay::Say(const std::string& text) {
    ClearBar();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    lastPercent_ = -1;
}

void CliDisplay::SetPanelCaption(Panel panel, const std::string& caption) {
    if (caption != PanelIdleCaption(panel)) Line(std::string(PanelIdleCaption(panel)) + ": " + caption);
}

void CliDisplay::SetPanelColor(Panel panel, Color color) {
    if (color == Color::Lime) Line(std::string(PanelIdleCaption(panel)) + ": running");
}

void CliDisplay::SetStatusText(const std::string& text) {
    const std::string line = OneLine(text);
    if (line.empty() || line == lastStatus_) return;
    lastStatus_ = line;
    Line(line);
}

void CliDisplay::SetProgress(int percent) {
    if (!tty_ || quiet_) return;
    if (percent > 100) percent = 100;
    if (percent < 0) percent = 0;
    if (percent == lastPercent_) return;
    lastPercent_ = percent;
    const int width = 40, filled = percent * width / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    std::fprintf(out_, "\r[%s] %3d%%", bar.c_str(), percent);
    std::fflush(out_);
    barShown_ = true;
}

void CliDisplay::ShowPortRecord(const PortRecord& record) {
    (void)record;  // shown once by the tool itself before the run
}

void CliDisplay::Pump() {
    if (gInterrupts > 0 && ctx_ && ctx_->ActiveFlasher && !ctx_->ActiveFlasher->Abort) {
        ctx_->ActiveFlasher->Abort = 1;
        Line("interrupted: aborting at the next safe point (Ctrl-C again to quit at once)");
    }
}

void CliDisplay::MessageBox(const std::string& text, const std::string& caption, MessageIcon) {
    std::string msg = caption.empty() ? std::string() : caption + " ";
    msg += OneLine(text);
    ClearBar();
    std::fprintf(out_, "%s\n", msg.c_str());
    std::fflush(out_);
}

void CliDisplay::Notice(const std::string& text) { Line(text); }

}  // namespace qtx
