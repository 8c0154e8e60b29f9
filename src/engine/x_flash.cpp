#include "engine/x_flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>
#include <sys/stat.h>

#include "engine/target_table.h"
#include "engine/firmware_file.h"
#include "engine/firmware_load.h"
#include "loaders/loader_image.h"
#include "serial/deadline.h"

namespace qtx {

namespace {

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

// Longest a single poll() sleeps before the face gets pumped again.
constexpr int kPollSliceMs = 5;

}  // namespace

X_Flash::X_Flash(Context& ctx, const TargetRow& target) : ctx(ctx), target_(&target) {
    EraseCommand = target.eraseCommand;
    EraseAck = target.eraseAck;
    IdByte = target.idByte;
}

Comport& X_Flash::Port() { return *ctx.ActivePort; }

uint64_t X_Flash::MaxImageSize() const {
    const TargetRow* row = target_ ? target_ : FindTargetByCode(ctx.setup.DeviceCode());
    return row ? row->maxImageSize : 0;
}

const LoaderImage& X_Flash::Loader() {
    if (!target_ || !target_->loader) {
        Ui().SetStatusText(std::string(ClassName()) + ": this target has no loader to send");
        throw ProgramException{"sending the loader"};
    }
    return *target_->loader;
}

const std::vector<uint8_t>& X_Flash::Image(const std::string& path) {
    // The run read it already; a flasher driven on its own reads it afresh.
    if (!path.empty() && ctx.FirmwareImagePath == path) return ctx.FirmwareImage;
    std::string why;
    const TargetRow* row = target_ ? target_ : FindTargetByCode(ctx.setup.DeviceCode());
    if (!LoadImage(path, row, ctx.FirmwareImage, why)) {
        Ui().SetStatusText(why);
        throw ProgramException{};
    }
    return ctx.FirmwareImage;
}

std::vector<uint8_t> X_Flash::Padded(const std::vector<uint8_t>& image, std::size_t unit) {
    std::vector<uint8_t> data(image);
    while (unit > 1 && data.size() % unit != 0) data.push_back(0x00);
    return data;
}

void X_Flash::WriteByte(uint8_t value) { WriteBytes(&value, 1); }

void X_Flash::WriteBytes(const uint8_t* data, std::size_t n) {
    Comport& port = Port();
    // A full queue that drains at the line's pace can hold a write for seconds;
    // an abort is looked for while it waits.
    port.StopWaiting = [this] {
        Ui().Pump();
        return Abort != 0;
    };
    const int sent = port.Write(data, static_cast<int>(n));
    port.StopWaiting = nullptr;
    ctx.BytesSent += static_cast<uint64_t>(sent > 0 ? sent : 0);
    if (sent == static_cast<int>(n)) return;
    if (Abort) throw BreakException{};
    ThrowIfGone();
    // The board has an unknown part of these bytes: nothing that follows can
    // be trusted, so the run ends here.
    const PortRecord* record = ctx.SelectedPortRecord();
    Ui().SetStatusText(Format("Port %s (%s) took only %d of %zu bytes: the line stalled for %d ms",
                              record ? record->Name().c_str() : "?", port.DeviceName.c_str(), sent, n,
                              port.WriteStallTimeoutMs));
    throw PortException{"write"};
}

void X_Flash::BeforeFlashIsTouched() {
    PumpAndCheckAbort();
    ctx.FlashTouched = true;
}

void X_Flash::WriteLoaderImage(const LoaderImage& image) {
    WriteBytes(image.data, image.size);
}

void X_Flash::PumpAndCheckAbort() {
    Ui().Pump();
    if (Abort) throw BreakException{};
    ThrowIfGone();
}

void X_Flash::ThrowIfGone() {
    Comport& port = Port();
    if (!port.Gone()) return;
    // An adapter pulled mid-run: fail now instead of writing into the void or
    // waiting out a long timeout.
    const PortRecord* record = ctx.SelectedPortRecord();
    Ui().SetStatusText("Port " + (record ? record->Name() : std::string("?")) + " (" + port.DeviceName +
                       ") is gone: the adapter was unplugged or the device closed");
    throw TimeoutException{kPortGoneStep};
}

uint8_t X_Flash::SendByte(uint8_t value) {
    WriteByte(value);
    Checksum ^= value;
    return value;
}

namespace {

std::string LineErrorText(uint32_t flags) {
    std::string text;
    const std::pair<uint32_t, const char*> names[] = {{CE_FRAME, "framing error"}, {CE_OVERRUN, "overrun"},
                                                      {CE_RXOVER, "receive buffer overrun"},
                                                      {CE_RXPARITY, "parity error"}, {CE_BREAK, "break"}};
    for (const auto& [flag, name] : names) {
        if (!(flags & flag)) continue;
        if (!text.empty()) text += ", ";
        text += name;
    }
    return text;
}

}  // namespace

void X_Flash::ThrowOnLineError(const char* what) {
    Comport& port = Port();
    const uint32_t errors = port.ClearErrors();
    if (errors == 0) return;
    // A damaged character is a wrong answer now, not a timeout later.
    const PortRecord* record = ctx.SelectedPortRecord();
    const std::string step = what ? what : "waiting for the board's answer";
    Ui().SetStatusText(Format("\nError %s\nLine error on %s (%s): %s\n", step.c_str(),
                              record ? record->Name().c_str() : "?", port.DeviceName.c_str(),
                              LineErrorText(errors).c_str()));
    throw CharErrorException{step, -1, -1};
}

bool X_Flash::ReceiveByteTimed(uint8_t& out, const char* what) {
    Comport& port = Port();
    // The timeout counts from when the bytes written so far can have left the line.
    const int64_t deadline = NowMs() + ScaledDeadlineMs(ctx.ByteTimeoutMs) + port.OwedMs();
    for (;;) {
        ThrowOnLineError(what);
        const int n = port.Read(&out, 1);
        Ui().Pump();
        if (n == 1) return true;
        if (Abort) throw BreakException{};
        ThrowIfGone();
        const int64_t left = deadline - NowMs();
        if (left < 0) return false;
        port.WaitReadable(static_cast<int>(left < kPollSliceMs ? left + 1 : kPollSliceMs));
    }
}

uint8_t X_Flash::ReceiveByte() {
    uint8_t b = 0;
    return ReceiveByteTimed(b) ? b : 0xFF;
}

int X_Flash::Expect(uint8_t expected, const std::string& what, bool tolerateTimeout) {
    uint8_t b = 0;
    if (!ReceiveByteTimed(b, what.c_str())) b = 0xFF;
    if (b == 0xFF) {
        if (tolerateTimeout) return -1;
        Ui().SetStatusText(Format("Timeout %s", what.c_str()));
        throw TimeoutException{what};
    }
    if (expected != 0xFF && b != expected) {
        Ui().SetStatusText(Format("\nError %s\nReceived byte: %02Xh Expected: %02Xh\n", what.c_str(), b, expected));
        throw CharErrorException{what, b, expected};
    }
    return b;
}

void X_Flash::CheckVerifyReport() {
    uint8_t report[9];
    ThrowOnLineError("while the data were sent");
    if (Port().Read(&report[0], 1) != 1) return;
    // Report bytes are data: 0xFF is a real value here, only silence is a timeout.
    for (int i = 1; i < 9; ++i) {
        if (!ReceiveByteTimed(report[i])) {
            Ui().SetStatusText("Timeout reading verify result.");
            throw TimeoutException{};
        }
    }
    Ui().SetStatusText(VerifyReportText(report));
    throw ProgramException{};
}

std::string X_Flash::VerifyReportText(const uint8_t r[9]) {
    const unsigned long addr = static_cast<unsigned long>(r[0]) | static_cast<unsigned long>(r[1]) << 8 |
                               static_cast<unsigned long>(r[2]) << 16 | static_cast<unsigned long>(r[3]) << 24;
    return Format("\n\nFatal: Error %04X at addr %05lXh: re-read %04Xh, expected %04Xh\n", r[8], addr,
                  static_cast<unsigned>(r[6] | r[7] << 8), static_cast<unsigned>(r[4] | r[5] << 8));
}

void X_Flash::ExpectAnswerOrReport(uint8_t expected, const char* what) {
    uint8_t report[9];
    // A received 0xFF is a byte here, not the silence that ReceiveByte reports as 0xFF.
    if (!ReceiveByteTimed(report[0], what)) {
        Ui().SetStatusText(Format("Timeout %s", what));
        throw TimeoutException{what};
    }
    if (report[0] == expected) return;
    // While the host's data were still on their way, the loader found a verify
    // error: its report comes where the answer was due. Eight more bytes make
    // it one; without them the byte was a wrong answer. A report comes as one
    // burst, so its bytes get the usual second each, not the final wait.
    ctx.ByteTimeoutMs = std::min(ctx.ByteTimeoutMs, 1000);
    for (int i = 1; i < 9; ++i) {
        if (!ReceiveByteTimed(report[i], what)) {
            Ui().SetStatusText(Format("\nError %s\nReceived byte: %02Xh Expected: %02Xh\n", what, report[0], expected));
            throw CharErrorException{what, report[0], expected};
        }
    }
    Ui().SetStatusText(VerifyReportText(report));
    throw ProgramException{};
}

int X_Flash::Identify() {
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    uint8_t b;
    while (port.Read(&b, 1) == 1) {
    }
    WriteByte(0x00);
    Expect(static_cast<uint8_t>(IdByte & 0xFF), "waiting for controller ID", false);
    return 0;
}

int X_Flash::Erase() {
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    BeforeFlashIsTouched();
    WriteByte(EraseCommand);
    ctx.ByteTimeoutMs = 1000;
    for (int n = 1; n <= 20; ++n) {
        PumpAndCheckAbort();
        Ui().SetProgress(10 * n);
        const int r = Expect(EraseAck, "waiting after Flash being erased", n < 20);
        if (r != -1) {
            Ui().SetProgress(100);
            PumpingSleep(ctx, 300);
            break;
        }
    }
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    return 0;
}

int X_Flash::Finish() {
    SendByte(0x01);
    return 0;
}

int X_Flash::SendEpldName() {
    SendByte(0x06);
    const char* name = ctx.setup.EpldName;
    for (int i = 0; i < 8; ++i) {
        if (name[i] == '.') {
            for (int j = i; j < 8; ++j) SendByte(0x00);
            break;
        }
        WriteByte(static_cast<uint8_t>(name[i]));
    }
    return Expect(0x00, "after EPLD name has been sent", false);
}

int X_Flash::SendLoader() { return 0; }

void X_Flash::SendSizeAndData(const std::string& path, const TransferPlan& plan) {
    const std::vector<uint8_t> data = Padded(Image(path), 2);
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    WriteByte(0x22);
    const uint64_t size = data.size();
    for (int i = 0; i < 4; ++i) WriteByte(static_cast<uint8_t>(size >> (8 * i)));
    Expect(0x00, "waiting after size has been sent.", false);
    WriteByte(0x42);
    Transfer(data, plan);
}

int X_Flash::Program(const std::string& path) {
    SendSizeAndData(path, TransferPlan{});
    Finish();
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    return 0;
}

void X_Flash::Transfer(const std::vector<uint8_t>& data, const TransferPlan& plan) {
    const uint32_t charTime = Port().CharTime;
    const uint64_t size = data.size();
    const std::size_t unit = plan.unit;
    auto mark = plan.marks.begin();
    for (uint64_t i = 0; i < size; i += unit) {
        if (mark != plan.marks.end() && mark->first == i) {
            Ui().SetStatusText(mark->second);
            ++mark;
        }
        WriteBytes(data.data() + i, unit);
        Ui().SetProgress(static_cast<int>(i * 100 / size));
        PumpAndCheckAbort();
        const uint64_t j = i + unit;
        if (plan.blockSize != 0 && j % plan.blockSize == 0) {
            if (j == size) break;
            AwaitBlockAck();
        } else if (j < size) {
            CheckVerifyReport();
        }
    }
    if (plan.lastBlockWhat) ExpectAnswerOrReport(0x00, plan.lastBlockWhat);
    if (plan.pauseAfterLastBlockMs > 0) PumpingSleep(ctx, plan.pauseAfterLastBlockMs);
    ctx.ByteTimeoutMs = ByteTimeoutFor(charTime, size);
    ExpectAnswerOrReport(plan.finalAnswer, "waiting after flash file has been sent.");
    // Either answer may have been the start of a report on the last unit. No
    // quiet wait for its other bytes: they would come where the content check's
    // answer is due, and the check recognises them there.
    ContentCheck(ContentCrc(data), plan.lastBlockWhat ? std::vector<uint8_t>{0x00, plan.finalAnswer}
                                                      : std::vector<uint8_t>{plan.finalAnswer});
}

uint32_t X_Flash::ContentCrc(const std::vector<uint8_t>& data) const { return Crc32(data.data(), data.size()); }

void X_Flash::AwaitBlockAck() { ExpectAnswerOrReport(0x00, "waiting after flash block has been sent."); }

namespace {
constexpr uint8_t kRateCommand = 0x53, kRateRefused = 0x01, kRateSync = 0x55, kPing = 0x43;
// The loader waits this long for the sync before it goes back (fast.c's
// SYNC_MS); the host waits longer before it pings at the old rate.
constexpr int kLoaderSyncMs = 500;
constexpr int kEchoWaitMs = 300;
}  // namespace

void X_Flash::SwitchDataRate(const PortRecord* line) {
    const PortRecord* record = line ? line : ctx.SelectedPortRecord();
    const uint32_t current = record ? static_cast<uint32_t>(record->BaudRate()) : 0;
    ctx.DataBaud = current;
    const uint32_t fast = ctx.FastBaud;
    if (fast == 0 || fast == current || !record) return;
    Comport& port = Port();
    const int savedTimeout = ctx.ByteTimeoutMs;
    // One byte within ms; a line error (likely while the rates differ) counts as none.
    auto receive = [&](uint8_t& b, int ms) {
        ctx.ByteTimeoutMs = ms;
        try {
            const bool got = ReceiveByteTimed(b, "switching the data rate");
            ctx.ByteTimeoutMs = savedTimeout;
            return got;
        } catch (const CharErrorException&) {
            ctx.ByteTimeoutMs = savedTimeout;
            port.ClearErrors();
            return false;
        }
    };
    // The record's framing at another rate: the line keeps its format (a
    // pseudo-terminal, which drops parity, would otherwise lose a bit of
    // every character's time).
    auto setRate = [&](uint32_t baud) {
        PortRecord at = *record;
        at.SetBaudRate(static_cast<int32_t>(baud));
        try {
            port.Configure(at);
        } catch (const Comport::InitException& e) {
            Ui().SetStatusText(e.reason);
            throw PortException{"switching the data rate"};
        }
        ThrowIfGone();
    };
    // Whether the loader answers a content-check request at the rate the port is at now.
    auto ping = [&] {
        port.PurgeReceive();
        WriteByte(kPing);
        uint8_t b = 0;
        if (!receive(b, 1000) || b != kPing) return false;
        for (int i = 0; i < 4; ++i)
            if (!receive(b, 1000)) return false;
        return true;
    };

    Ui().SetStatusText(Format(" Asking the loader for %u baud...", fast));
    uint8_t command[9] = {kRateCommand};
    for (int i = 0; i < 4; ++i) {
        command[1 + i] = static_cast<uint8_t>(fast >> (8 * i));
        command[5 + i] = static_cast<uint8_t>(current >> (8 * i));
    }
    WriteBytes(command, sizeof command);
    uint8_t answer = 0;
    const bool answered = receive(answer, 1000);
    if (answered && answer == kRateRefused) {
        Ui().SetStatusText(Format(" The loader cannot make %u baud: data at %u baud", fast, current));
        return;
    }
    std::string why;
    if (answered && answer == kRateCommand) {
        setRate(fast);
        const int64_t syncSent = NowMs();
        WriteByte(kRateSync);
        uint8_t echo = 0;
        if (receive(echo, kEchoWaitMs) && echo == kRateSync) {
            ctx.DataBaud = fast;
            Ui().SetStatusText(Format(" Data at %u baud", fast));
            return;
        }
        why = Format("no sync echo at %u baud", fast);
        setRate(current);
        // The loader goes back on a damaged sync at once, on none after its wait.
        const int64_t left = kLoaderSyncMs + 100 - (NowMs() - syncSent);
        if (left > 0) PumpingWait(ctx, static_cast<int>(left));
    } else {
        why = answered ? Format("answer %02Xh to the rate change, expected 53h", answer) : "no answer to the rate change";
    }
    if (ping()) {
        Ui().SetStatusText(Format(" Fast data failed (%s): data at %u baud", why.c_str(), current));
        return;
    }
    // The echo may have been lost on its way back with the loader at the new rate.
    setRate(fast);
    if (ping()) {
        ctx.DataBaud = fast;
        Ui().SetStatusText(Format(" Data at %u baud", fast));
        return;
    }
    setRate(current);
    Ui().SetStatusText(Format("\n\nFatal: the loader answers at neither %u nor %u baud after the rate change (%s)\n",
                              current, fast, why.c_str()));
    throw TimeoutException{"switching the data rate"};
}

void X_Flash::ContentCheck(uint32_t crcSent, const std::vector<uint8_t>& mayBeReport) {
    constexpr uint8_t kCommand = 0x43;
    uint8_t early;
    if (!mayBeReport.empty() && Port().Read(&early, 1) == 1) {
        // Something came after the last answer before the check was asked for.
        const std::size_t n = RefuseLateReport(mayBeReport, early);
        Ui().SetStatusText(Format("\n\nFatal: %u unexpected bytes after the loader's last answer (first %02Xh): "
                                  "the flash may not hold the file\n",
                                  static_cast<unsigned>(n), early));
        throw ProgramException{};
    }
    WriteByte(kCommand);
    ctx.ByteTimeoutMs = 1000;
    uint8_t answer[5];
    for (int i = 0; i < 5; ++i) {
        if (ReceiveByteTimed(answer[i])) {
            if (i == 0 && answer[0] != kCommand) {
                if (!mayBeReport.empty()) RefuseLateReport(mayBeReport, answer[0]);
                Ui().SetStatusText(Format("\n\nFatal: content check: the loader answered %02Xh, expected 43h; "
                                          "the CRC-32 of the data sent is %08Xh\n",
                                          answer[0], crcSent));
                throw ProgramException{};
            }
            continue;
        }
        Ui().SetStatusText(Format("\n\nFatal: content check: no answer from the loader after %d of 5 bytes; "
                                  "the CRC-32 of the data sent is %08Xh\n",
                                  i, crcSent));
        throw ProgramException{};
    }
    const uint32_t received = static_cast<uint32_t>(answer[1]) | static_cast<uint32_t>(answer[2]) << 8 |
                              static_cast<uint32_t>(answer[3]) << 16 | static_cast<uint32_t>(answer[4]) << 24;
    if (received == crcSent) return;
    Ui().SetStatusText(Format("\n\nFatal: content check failed: the loader received data with CRC-32 %08Xh, "
                              "the host sent %08Xh\n",
                              received, crcSent));
    throw ProgramException{};
}

void X_Flash::AwaitQuietLine(int quietMs, int atLeastMs) {
    Comport& port = Port();
    const int64_t start = NowMs();
    // Bounded: a peer that never stops talking must not hold the run for ever.
    const int64_t limit = start + std::max(port.OwedMs() + quietMs, atLeastMs) + 5000;
    int64_t quietSince = start;
    for (;;) {
        PumpAndCheckAbort();
        const int owed = port.OwedMs();
        uint8_t b;
        while (port.Read(&b, 1) == 1) quietSince = NowMs();
        const int64_t now = NowMs();
        // The quiet counts from when the last byte written left the line.
        if (owed > 0) quietSince = now;
        if (owed == 0 && now - quietSince >= quietMs && now - start >= atLeastMs) return;
        if (now >= limit) return;
        port.WaitReadable(kPollSliceMs);
    }
}

namespace {
constexpr int kReportSize = 9;
}  // namespace

std::size_t X_Flash::RefuseLateReport(const std::vector<uint8_t>& answers, uint8_t first) {
    // A report comes as one burst: each further byte gets the usual second.
    Comport& port = Port();
    std::vector<uint8_t> tail{first};
    while (static_cast<int>(tail.size()) < kReportSize - 1) {
        const int64_t deadline = NowMs() + ScaledDeadlineMs(1000);
        bool got = false;
        uint8_t b;
        while (!got && NowMs() <= deadline && !port.Gone()) {
            PumpAndCheckAbort();
            got = port.Read(&b, 1) == 1;
            if (!got) port.WaitReadable(5);
        }
        if (!got) break;
        tail.push_back(b);
    }
    // The report's first bytes are the answers that were taken for good ones.
    const std::size_t taken = static_cast<std::size_t>(kReportSize) - tail.size();
    if (taken < 1 || taken > answers.size()) return tail.size();
    std::vector<uint8_t> r(answers.end() - static_cast<std::ptrdiff_t>(taken), answers.end());
    r.insert(r.end(), tail.begin(), tail.end());
    ctx.display.SetStatusText(VerifyReportText(r.data()));
    throw ProgramException{};
}

int X_Flash::ProgramFile(const std::string&, int) { return -1; }

int X_Flash::SetControl(uint8_t value) {
    SendByte(static_cast<uint8_t>(value | 0x04));
    return 0;
}

bool X_Flash::RunStep(Panel panel, const std::function<void()>& step) {
    try {
        step();
        return true;
    } catch (const BreakException&) {
        ctx.lastFailure = {panel, Failure::Aborted, {}};
        if (ctx.FlashTouched)
            Ui().SetStatusText("Aborted after the flash was erased: the board now holds a partial image");
        ShowPanelError(ctx, panel, "ABORT", 5);
    } catch (const TimeoutException& e) {
        ctx.lastFailure = {panel, Failure::Timeout, e.step};
        ShowPanelError(ctx, panel, "TIMEOUT", 0);
    } catch (const CharErrorException& e) {
        ctx.lastFailure = {panel, Failure::CharError, e.step};
        ShowPanelError(ctx, panel, "CHAR ERR", 0);
    } catch (const ProgramException& e) {
        ctx.lastFailure = {panel, Failure::Program, e.step};
        ShowPanelError(ctx, panel, "PROG ERR", 0);
    } catch (const PortException& e) {
        ctx.lastFailure = {panel, Failure::Port, e.step};
        ShowPanelError(ctx, panel, "CHAR ERR", 0);
    } catch (const Comport::InitException& e) {
        // The driver refused a line setting the run switches to: no character
        // can go at the rate the loader now speaks.
        ctx.lastFailure = {panel, Failure::Port, "line setting"};
        Ui().SetStatusText(e.reason);
        ShowPanelError(ctx, panel, "CHAR ERR", 0);
    }
    return false;
}

void X_Flash::ShowProgrammingOk() {
    Display& d = Ui();
    d.SetStatusText(" Programming ok.");
    d.SetProgress(100);
    d.SetPanelColor(Panel::Flash, Color::InactiveBorder);
    ctx.ResetCountdown = 18;
    d.SetTimerRunning(true);
}

int X_Flash::SendBootstrap() {
    Display& d = Ui();
    ctx.ByteTimeoutMs = 1000;
    Abort = 0;
    d.SetCancelEnabled(true);
    d.SetCancelDefault(true);
    d.SetFlashEnabled(false);
    d.SetPanelColor(Panel::Bsl, Color::Lime);
    d.SetPanelCaption(Panel::Bsl, "BSL");
    // Loader steps that poll Abort, or refuse the file up front, end the run
    // like the later stages do.
    const bool ok = RunStep(Panel::Bsl, [&] {
        Identify();
        d.SetStatusText("Sending Bootstrap Loader");
        SendLoader();
    });
    if (!ok) return -1;
    d.SetPanelColor(Panel::Bsl, Color::InactiveBorder);
    return 0;
}

int X_Flash::EraseAndProgram() {
    Display& d = Ui();
    SetControl(0x10);
    PumpingSleep(ctx, 500);
    const TargetRow* row = target_ ? target_ : FindTargetByCode(ctx.setup.DeviceCode());
    if (!row || row->hasEraseStage) {
        d.SetPanelColor(Panel::Erase, Color::Lime);
        d.SetStatusText("Waiting while flash ROM being erased ");
        if (!RunStep(Panel::Erase, [&] { Erase(); })) return -1;
    }
    ctx.ByteTimeoutMs = 1000;
    d.SetStatusText(Format("Sending FLASH file \"%s\"", ctx.FlashFilePath.c_str()));
    d.SetPanelColor(Panel::Erase, Color::InactiveBorder);
    d.SetPanelColor(Panel::Flash, Color::Lime);
    // A wrong answer while programming is a failed run like any other.
    if (!RunStep(Panel::Flash, [&] { Program(ctx.FlashFilePath); })) return -1;
    SetControl(0x00);
    PumpingSleep(ctx, 500);
    ShowProgrammingOk();
    return 0;
}

int X_Flash::AwaitReply() { return 0; }

}  // namespace qtx
