#include "sim/ac2_board.h"

#include "sim/boards.h"

#include <cstdio>

namespace qtx::sim {

namespace {

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

// Upper-case hex digits only: the protocol's digits are upper case.
int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int HexByte(const std::string& s, std::size_t at) {
    const int hi = Digit(s[at]), lo = Digit(s[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

}  // namespace

Ac2Board::Ac2Board(const BoardConfig& config, BoardIo& io) : config_(config), io_(io), flash_(kFlashSize) {
    // An earlier image: cells at 0 that only an erase brings back to 1.
    if (config_.preloaded)
        for (std::size_t i = 0; i < flash_.Size(); ++i) flash_.Force(i, uint8_t(i * 131 + 0x5A));
}

void Ac2Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (state_) {
    case State::Autobaud:
        if (byte != 'U') {
            if (ignored_++ == 0) io_.Log("boot loader waits for \"U\": ignored " + Hex(byte));
            return;
        }
        baud_ = hostBaud;
        ignored_ = 0;
        {
            const uint8_t echo = config_.badId ? uint8_t('U' ^ 0x80) : uint8_t('U');
            io_.Log("autobaud \"U\" at " + std::to_string(hostBaud) + " baud: echoed " + Hex(echo) +
                    (config_.badId ? " (bad-id fault)" : ""));
            io_.Send(echo);
        }
        state_ = State::Records;
        return;
    case State::Records:
        RecordChar(byte);
        return;
    case State::Erasing:
        pending_.push_back(byte);
        return;
    case State::Application:
        if (ignored_++ == 0) io_.Log("the application runs: the boot loader no longer listens");
        return;
    }
}

void Ac2Board::RecordChar(uint8_t c) {
    if (record_.empty()) {
        if (c != ':') {
            // Line ends between records are harmless; anything else is noted once.
            if (c != '\r' && c != '\n' && ignored_++ == 0) io_.Log("outside a record: ignored " + Hex(c));
            return;
        }
        ignored_ = 0;
        recordLength_ = 0;
    }
    io_.Send(c);  // every character of a record is echoed as it arrives
    record_ += char(c);
    if (record_.size() == 3) {
        const int count = HexByte(record_, 1);
        if (count < 0) {
            io_.Log("record " + record_ + ": byte count is no upper-case hex number: answered \"X\"");
            record_.clear();
            Answer('X');
            return;
        }
        recordLength_ = 11 + 2 * std::size_t(count);
    }
    if (recordLength_ != 0 && record_.size() == recordLength_) {
        Execute();
        record_.clear();
    }
}

void Ac2Board::Execute() {
    std::vector<uint8_t> bytes;
    for (std::size_t at = 1; at + 1 < record_.size(); at += 2) {
        const int b = HexByte(record_, at);
        if (b < 0) {
            io_.Log("record " + record_ + ": \"" + record_.substr(at, 2) +
                    "\" is no upper-case hex byte: answered \"X\"");
            Answer('X');
            return;
        }
        bytes.push_back(uint8_t(b));
    }
    uint8_t sum = 0;
    for (uint8_t b : bytes) sum = uint8_t(sum + b);
    if (sum != 0) {
        io_.Log("record " + record_ + ": checksum error (sum " + Hex(sum) + "): answered \"X\"");
        Answer('X');
        return;
    }
    const std::size_t n = bytes[0];
    const uint16_t address = uint16_t(bytes[1] << 8 | bytes[2]);
    const uint8_t type = bytes[3];
    const std::vector<uint8_t> data(bytes.begin() + 4, bytes.begin() + 4 + std::ptrdiff_t(n));
    switch (type) {
    case 0x00:
        ExecuteData(address, data);
        return;
    case 0x01:
        io_.Log("end-of-file record");
        Answer('.');
        return;
    case 0x03:
        ExecuteCommand(data);
        return;
    case 0x04:
        ExecuteRead(data);
        return;
    default:
        io_.Log("record type " + Hex(type) + " is not modelled: answered \"X\"");
        Answer('X');
        return;
    }
}

void Ac2Board::ExecuteData(uint16_t address, const std::vector<uint8_t>& data) {
    const std::size_t end = std::size_t(address) + data.size();
    if (end > flash_.Size()) {
        io_.Log("data record at " + Hex(address, 4) + " runs past the flash: answered \"P\"");
        Answer('P');
        return;
    }
    for (uint32_t bad : config_.verifyErrorAt) {
        if (bad >= address && bad < end) {
            io_.Log("data record at " + Hex(address, 4) + " touches " + Hex(bad, 4) +
                    " (verify-error fault): write refused, answered \"P\"");
            Answer('P');
            return;
        }
    }
    std::size_t unerased = 0;
    for (std::size_t i = 0; i < data.size(); ++i)
        if (flash_.Program(address + i, data[i]) != data[i]) ++unerased;
    if (unerased) io_.Log(std::to_string(unerased) + " cells of the record at " + Hex(address, 4) +
                          " were not erased and read back otherwise");
    ++records_;
    Answer('.');
}

void Ac2Board::ExecuteCommand(const std::vector<uint8_t>& data) {
    if (data.size() == 1 && data[0] == 0x07) {
        io_.Log("full chip erase: erasing for " + std::to_string(config_.eraseMs) + " ms");
        state_ = State::Erasing;
        eraseDone_ = io_.Now() + std::chrono::milliseconds(config_.eraseMs);
        return;
    }
    if (data.size() == 3 && data[0] == 0x0A && (data[1] == 0x08 || data[1] == 0x04)) {
        int& fuse = data[1] == 0x08 ? x2_ : bljb_;
        fuse = data[2];
        io_.Log(std::string(data[1] == 0x08 ? "X2" : "BLJB") + " fuse := " + Hex(data[2]));
        Answer('.');
        return;
    }
    if (data.size() == 2 && data[0] == 0x03 && data[1] == 0x00) {
        io_.Log("reset record after " + std::to_string(records_) +
                " data records: the application starts");
        state_ = State::Application;
        ignored_ = 0;
        return;
    }
    std::string text;
    for (uint8_t b : data) text += " " + Hex(b);
    io_.Log("command" + text + " is not modelled: answered \".\"");
    Answer('.');
}

void Ac2Board::ExecuteRead(const std::vector<uint8_t>& data) {
    if (data.size() != 5 || data[4] != 0x00) {
        io_.Log("display command of " + std::to_string(data.size()) + " bytes" +
                (data.size() == 5 ? ", option " + Hex(data[4]) : std::string()) + " is not modelled: answered \"X\"");
        Answer('X');
        return;
    }
    const std::size_t first = std::size_t(data[0] << 8 | data[1]), last = std::size_t(data[2] << 8 | data[3]);
    if (config_.readLocked) {
        io_.Log("Read Flash " + Hex(unsigned(first), 4) + ".." + Hex(unsigned(last), 4) +
                ": reading is forbidden (read-locked fault): answered \"L\"");
        Answer('L');
        return;
    }
    if (last < first || last - first + 1 > 0x400) {
        io_.Log("Read Flash " + Hex(unsigned(first), 4) + ".." + Hex(unsigned(last), 4) +
                ": not 1 to 400h bytes: answered \"X\"");
        Answer('X');
        return;
    }
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t at = first; at <= last; at += 16) {
        char head[8];
        std::snprintf(head, sizeof head, "%04X=", unsigned(at));
        text += head;
        for (std::size_t a = at; a <= last && a < at + 16; ++a) {
            const uint8_t b = flash_.Read(a);
            text += kDigits[b >> 4];
            text += kDigits[b & 0x0F];
        }
        text += "\r\n";
    }
    io_.Log("Read Flash " + Hex(unsigned(first), 4) + ".." + Hex(unsigned(last), 4));
    io_.Send(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void Ac2Board::Answer(char status) {
    const uint8_t line[3] = {uint8_t(status), '\r', '\n'};
    io_.Send(line, sizeof line);
}

std::optional<Clock::time_point> Ac2Board::NextTimer() const {
    if (state_ == State::Erasing) return eraseDone_;
    return std::nullopt;
}

void Ac2Board::OnTimer() {
    if (state_ != State::Erasing) return;
    if (config_.eraseFails) {
        io_.Log("erase-fail fault: the erase is confirmed, but no cell is erased");
    } else {
        flash_.Erase();
        io_.Log("flash erased");
    }
    records_ = 0;
    state_ = State::Records;
    Answer('.');
    // The UART kept what came during the erase.
    while (!pending_.empty() && state_ == State::Records) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        RecordChar(b);
    }
}

void Ac2Board::Reset() {
    if (!record_.empty()) io_.Log("reset in the middle of record " + record_);
    state_ = State::Autobaud;
    baud_ = 0;
    record_.clear();
    recordLength_ = 0;
    ignored_ = 0;
    pending_.clear();
}

std::unique_ptr<Board> MakeAc2Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Ac2Board>(config, io);
}

namespace {

const BoardRegistration kRegistered{{"t89c5xacx", "T89C5xACx ISP boot loader (autobaud \"U\", Intel-HEX records with echo), 64 KiB flash", MakeAc2Board, 60}};

}  // namespace

}  // namespace qtx::sim
