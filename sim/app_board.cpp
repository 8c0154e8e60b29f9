#include "sim/app_board.h"

#include "sim/boards.h"

#include <cstdio>
#include <cstdlib>

namespace qtx::sim {

namespace {

constexpr char kAutobaudText[] = "\nDFC\n";
constexpr std::size_t kAutobaudLength = sizeof kAutobaudText - 1;
constexpr std::size_t kMaxData = 200;

uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

uint16_t Sum(const uint8_t* p, std::size_t n) {
    unsigned s = 0;
    for (std::size_t i = 0; i < n; ++i) s += p[i];
    return uint16_t(s);
}

std::string Word(uint16_t w) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%04X", w);
    return buf;
}

const char* AnswerName(AppFirmwareOptions::Answer a) {
    switch (a) {
    case AppFirmwareOptions::Answer::Accept: return "accept";
    case AppFirmwareOptions::Answer::Refuse: return "refuse";
    case AppFirmwareOptions::Answer::NoFlag: return "no-flag";
    case AppFirmwareOptions::Answer::Silent: return "silent";
    }
    return "?";
}

}  // namespace

bool IsAppFlag(const std::string& opt) { return opt == "--app-running"; }

bool ParseAppOption(const std::string& opt, const std::string& value, AppFirmwareOptions& options,
                    std::string& error) {
    error.clear();
    if (opt == "--app-running") {
        options.running = true;
        return true;
    }
    if (opt == "--app-baud") {
        char* end = nullptr;
        const unsigned long n = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || n == 0 || n > 4000000)
            error = "option --app-baud needs a rate from 1 to 4000000, not '" + value + "'";
        else
            options.baud = uint32_t(n);
        return true;
    }
    if (opt == "--app-answer") {
        using A = AppFirmwareOptions::Answer;
        for (A a : {A::Accept, A::Refuse, A::NoFlag, A::Silent}) {
            if (value == AnswerName(a)) {
                options.answer = a;
                return true;
            }
        }
        error = "option --app-answer takes accept, refuse, no-flag or silent, not '" + value + "'";
        return true;
    }
    return false;
}

namespace {

// The boards that can start in their application: "sam3u, sam3s, ...".
std::string AppBoardNames() {
    std::string s;
    for (const BoardKind& k : KnownBoards())
        if (k.appFirmware) s += (s.empty() ? "" : ", ") + k.name;
    return s;
}

}  // namespace

std::string AppUsageText() {
    return "  --app-running      the device runs its application firmware (" + AppBoardNames() + "):\n"
           "                     \"\\nDFC\\n\" at its console rate switches it to\n"
           "                     19200 baud 8N1, where the boot-mode command restarts it\n"
           "                     into the ROM boot loader\n"
           "  --app-baud N       the application's console rate (default 115200)\n"
           "  --app-answer A     its answer to the boot-mode command: accept (default),\n"
           "                     refuse, no-flag (neither flag) or silent\n";
}

std::string CheckAppOptions(const AppFirmwareOptions& options, const std::string& board) {
    if (!options.running) return {};
    const BoardKind* kind = FindBoard(board);
    if (!kind || !kind->appFirmware)
        return "--app-running needs one of the boards " + AppBoardNames() + ", not '" + board + "'";
    return {};
}

BoardFactory WithAppFirmware(BoardFactory rom, const AppFirmwareOptions& options) {
    if (!options.running) return rom;
    return [rom = std::move(rom), options](const BoardConfig& config, BoardIo& io) -> std::unique_ptr<Board> {
        return std::make_unique<AppFirmwareBoard>(rom(config, io), options, io);
    };
}

AppFirmwareBoard::AppFirmwareBoard(std::unique_ptr<Board> rom, const AppFirmwareOptions& options, BoardIo& io)
    : rom_(std::move(rom)), options_(options), io_(io) {
    io_.Log("application running, console at " + std::to_string(options_.baud) + " baud; boot-mode answer: " +
            AnswerName(options_.answer));
}

uint32_t AppFirmwareBoard::ListenBaud() const {
    switch (mode_) {
    case Mode::Application: return options_.baud;
    case Mode::Command: return kCommandBaud;
    case Mode::Rom: break;
    }
    return rom_->ListenBaud();
}

void AppFirmwareBoard::Receive(uint8_t byte, uint32_t hostBaud) {
    if (mode_ == Mode::Rom) {
        rom_->Receive(byte, hostBaud);
        return;
    }
    if (sessionBytes_++ == 0) sessionBaud_ = hostBaud;
    if (mode_ == Mode::Application)
        TextByte(byte);
    else
        FrameByte(byte);
}

std::optional<Clock::time_point> AppFirmwareBoard::NextTimer() const {
    return mode_ == Mode::Rom ? rom_->NextTimer() : std::nullopt;
}

void AppFirmwareBoard::OnTimer() {
    if (mode_ == Mode::Rom) rom_->OnTimer();
}

void AppFirmwareBoard::Reset() {
    if (mode_ == Mode::Rom) {
        rom_->Reset();
        return;
    }
    EndSession();
}

// Every host session is recorded with the rate its first byte came at, so
// that a test can follow the broadcast through all its rates.
void AppFirmwareBoard::EndSession() {
    if (sessionBytes_ > 0)
        io_.Log("application: host session of " + std::to_string(sessionBytes_) + " bytes at " +
                std::to_string(sessionBaud_) + " baud");
    sessionBytes_ = 0;
    recent_.clear();
    inFrame_ = false;  // a frame cut by the close is never completed
}

void AppFirmwareBoard::TextByte(uint8_t byte) {
    recent_.push_back(char(byte));
    if (recent_.size() > kAutobaudLength) recent_.erase(0, recent_.size() - kAutobaudLength);
    if (recent_ != kAutobaudText) return;
    io_.Log("application: autobaud text at " + std::to_string(sessionBaud_) +
            " baud: command interface at 19200 baud 8N1");
    recent_.clear();
    mode_ = Mode::Command;
    inFrame_ = false;
}

void AppFirmwareBoard::FrameByte(uint8_t byte) {
    if (!inFrame_) {
        if (byte == 0x01) {
            inFrame_ = true;
            frame_.clear();
        }
        return;
    }
    frame_.push_back(byte);
    if (frame_.size() == 8) {
        if (Sum(frame_.data(), 6) != Get16(frame_.data() + 6)) {
            io_.Log("application: frame header with a wrong checksum dropped");
            inFrame_ = false;
            return;
        }
        if (Get16(frame_.data() + 2) > kMaxData) {
            io_.Log("application: frame announcing " + std::to_string(Get16(frame_.data() + 2)) +
                    " data bytes dropped");
            inFrame_ = false;
            return;
        }
    }
    if (frame_.size() < 8 || frame_.size() < 8u + Get16(frame_.data() + 2)) return;
    inFrame_ = false;
    const std::vector<uint8_t> data(frame_.begin() + 8, frame_.end());
    if (Sum(data.data(), data.size()) != Get16(frame_.data() + 4)) {
        io_.Log("application: frame with a wrong data checksum dropped");
        return;
    }
    Frame(Get16(frame_.data()), data);
}

void AppFirmwareBoard::Frame(uint16_t word, const std::vector<uint8_t>& data) {
    if (word != kBootModeWord) {
        io_.Log("application: command word " + Word(word) + " ignored");
        return;
    }
    if (data.size() != 8 || Get16(data.data()) != kBootModeKey || Get16(data.data() + 2) != 0) {
        io_.Log("application: boot-mode command with wrong data: refused");
        Answer(0x2000 | (word & 0x0FFF));
        return;
    }
    const uint32_t rate = data[4] | data[5] << 8 | data[6] << 16 | uint32_t(data[7]) << 24;
    const std::string what = "application: boot-mode command (rate field " + std::to_string(rate) + ")";
    switch (options_.answer) {
    case AppFirmwareOptions::Answer::Accept:
        io_.Log(what + ": accepted, restarting into the ROM boot loader");
        Answer(0x440D);  // sent at the command rate, before the restart
        mode_ = Mode::Rom;
        rom_->Reset();
        return;
    case AppFirmwareOptions::Answer::Refuse:
        io_.Log(what + ": refused (app-answer fault)");
        Answer(0x240D);
        return;
    case AppFirmwareOptions::Answer::NoFlag:
        io_.Log(what + ": answered without a flag (app-answer fault)");
        Answer(0x040D);
        return;
    case AppFirmwareOptions::Answer::Silent:
        io_.Log(what + ": not answered (app-answer fault)");
        return;
    }
}

void AppFirmwareBoard::Answer(uint16_t word) {
    uint8_t f[9] = {0x01, uint8_t(word), uint8_t(word >> 8), 0, 0, 0, 0, 0, 0};
    const uint16_t hs = Sum(f + 1, 6);
    f[7] = uint8_t(hs);
    f[8] = uint8_t(hs >> 8);
    io_.Send(f, sizeof f);
}

}  // namespace qtx::sim
