#include "cli/cli_display.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "engine/context.h"
#include "engine/x_flash.h"

namespace qtx {

namespace {
// The one process-wide record of a signal: every running context's pump reads
// it (lock-free atomics are safe in a handler).
std::atomic<int> gInterrupts{0};
std::atomic<int> gSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

int StatusFor(int sig) { return sig == SIGTERM ? 143 : 130; }

void OnInterrupt(int sig) {
    int none = 0;
    gSignal.compare_exchange_strong(none, sig);
    if (gInterrupts.fetch_add(1) + 1 >= 2) _exit(StatusFor(gSignal));
}
}  // namespace

std::size_t Utf8Length(const std::string& s, std::size_t i) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    uint32_t cp = 0;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        const auto d = static_cast<unsigned char>(s[i + k]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (d & 0x3F);
    }
    // Overlong forms, surrogates, beyond Unicode, and the C1 controls (which
    // terminals act on) are not passed through.
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF || cp < 0xA0) return 0;
    return n;
}

CliDisplay::CliDisplay(FILE* out, bool quiet) : out_(out), tty_(isatty(fileno(out)) != 0), quiet_(quiet) {}

void CliDisplay::InstallSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool CliDisplay::Interrupted() { return gInterrupts > 0; }
int CliDisplay::InterruptSignal() { return gSignal; }
int CliDisplay::InterruptStatus() { return StatusFor(gSignal); }

std::string CliDisplay::Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c >= 0x20 && c < 0x7F) || c == '\n') {
            out += static_cast<char>(c);
            ++i;
        } else if (const std::size_t n = c >= 0x80 ? Utf8Length(text, i) : 0) {
            out.append(text, i, n);
            i += n;
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
            ++i;
        }
    }
    return out;
}

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
    std::fprintf(out_, "%s\n", Printable(text).c_str());
    std::fflush(out_);
    lastPercent_ = -1;
}

void CliDisplay::Say(const std::string& text) {
    ClearBar();
    std::fprintf(out_, "%s\n", Printable(text).c_str());
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
    // Set again after each bootstrap step has cleared the flag at its start:
    // a signal that came early must not be forgotten.
    if (gInterrupts > 0 && ctx_ && ctx_->ActiveFlasher && !ctx_->ActiveFlasher->Abort) {
        ctx_->ActiveFlasher->Abort = 1;
        if (!abortSaid_) Line("interrupted: aborting at the next safe point (Ctrl-C again to quit at once)");
        abortSaid_ = true;
    }
}

void CliDisplay::MessageBox(const std::string& text, const std::string& caption, MessageIcon) {
    std::string msg = caption.empty() ? std::string() : caption + " ";
    msg += OneLine(text);
    ClearBar();
    std::fprintf(out_, "%s\n", Printable(msg).c_str());
    std::fflush(out_);
}


}  // namespace qtx
