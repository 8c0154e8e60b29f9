#include "sim/xe167_board.h"

#include <algorithm>
#include <cstdio>

namespace qtx::sim {

namespace {
std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

// ---- loaded program --------------------------------------------------------

void Xe167Program::Start() {
    state_ = State::Command;
    io_.Send(0x00);
}

void Xe167Program::Reset() {
    state_ = State::Stopped;
    pending_.clear();
    size_ = 0;
}

std::optional<Clock::time_point> Xe167Program::NextTimer() const {
    if (state_ == State::Erasing) return eraseDone_;
    return std::nullopt;
}

void Xe167Program::OnTimer() {
    if (state_ != State::Erasing) return;
    flash_.Erase();
    io_.Log("flash erased");
    state_ = State::Command;
    io_.Send(0x00);
    while (!pending_.empty() && state_ != State::Erasing) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        Receive(b);
    }
}

void Xe167Program::Receive(uint8_t byte) {
    switch (state_) {
    case State::Stopped:
    case State::Failed:
        return;
    case State::Erasing:
        pending_.push_back(byte);
        return;
    case State::Command:
        Command(byte);
        return;
    case State::Size:
        field_ |= uint32_t(byte) << (8 * fieldCount_);
        if (++fieldCount_ < 4) return;
        state_ = State::Command;
        if (field_ <= flash_.Size() && field_ % 2 == 0) {
            size_ = field_;
            io_.Log("size " + std::to_string(field_) + " bytes: answered 0x00");
            io_.Send(0x00);
        } else {
            size_ = 0;
            io_.Log("size " + std::to_string(field_) + " bytes is odd or does not fit the flash (" +
                    std::to_string(flash_.Size()) + " bytes): answered 0x01");
            io_.Send(0x01);
        }
        return;
    case State::Data:
        DataByte(byte);
        return;
    }
}

void Xe167Program::Command(uint8_t byte) {
    switch (byte) {
    case 0x62:
        io_.Log("erase command: erasing for " + std::to_string(config_.eraseMs) + " ms");
        state_ = State::Erasing;
        eraseDone_ = io_.Now() + std::chrono::milliseconds(config_.eraseMs);
        return;
    case 0x22:
        state_ = State::Size;
        field_ = 0;
        fieldCount_ = 0;
        return;
    case 0x42:
        io_.Log("data command: expecting " + std::to_string(size_) + " bytes");
        received_ = 0;
        blockAcks_ = 0;
        wordFill_ = 0;
        if (size_ == 0) {
            // Nothing to write: the last-block and the whole-file answers at once.
            const uint8_t done[2] = {0x00, 0x00};
            io_.Send(done, sizeof done);
            return;
        }
        state_ = State::Data;
        return;
    case 0x01:
        io_.Log("end of programming (0x01)");
        return;
    default:
        io_.Log("unknown command " + Hex(byte) + " ignored");
        return;
    }
}

void Xe167Program::DataByte(uint8_t byte) {
    word_[wordFill_++] = byte;
    ++received_;
    if (wordFill_ == 2) {
        ProgramWord();
        wordFill_ = 0;
        if (state_ != State::Data) return;
    }
    if (received_ == size_) {
        io_.Log("programmed " + std::to_string(size_) + " bytes from address 0 with " + std::to_string(blockAcks_) +
                " block acknowledgements: answered 0x00 (last block) and 0x00 (all in flash)");
        const uint8_t done[2] = {0x00, 0x00};
        io_.Send(done, sizeof done);
        state_ = State::Command;
        return;
    }
    if (received_ % kBlockSize == 0) {
        ++blockAcks_;
        io_.Send(0x00);
    }
}

void Xe167Program::ProgramWord() {
    const uint32_t base = received_ - 2;
    const uint16_t expected = uint16_t(word_[0] | word_[1] << 8);
    if (config_.verifyErrorAt.count(base) || config_.verifyErrorAt.count(base + 1)) {
        const uint16_t reread = expected ^ 0x0001;
        flash_.Force(base, uint8_t(reread));
        flash_.Force(base + 1, uint8_t(reread >> 8));
        Report(base, expected, reread);
        return;
    }
    const uint16_t reread = uint16_t(flash_.Program(base, word_[0]) | flash_.Program(base + 1, word_[1]) << 8);
    if (reread != expected) Report(base, expected, reread);
}

void Xe167Program::Report(uint32_t addr, uint16_t expected, uint16_t reread) {
    const uint8_t code = 0x02;
    const uint8_t report[9] = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                               uint8_t(expected), uint8_t(expected >> 8),
                               uint8_t(reread), uint8_t(reread >> 8), code};
    io_.Log("verify error at " + Hex(addr, 5) + ": wrote " + Hex(expected, 4) + ", re-read " + Hex(reread, 4) +
            "; report sent, further data ignored");
    io_.Send(report, sizeof report);
    state_ = State::Failed;
}

// ---- ROM bootstrap ----------------------------------------------------------

Xe167Board::Xe167Board(const BoardConfig& config, BoardIo& io)
    : config_(config), io_(io), flash_(kFlashSize), program_(flash_, io_, config_) {}

void Xe167Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero:
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("bootstrap loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        ignored_ = 0;
        baud_ = hostBaud;
        {
            const uint8_t id = config_.badId ? uint8_t(kIdByte ^ 0x80) : kIdByte;
            io_.Log("zero byte at " + std::to_string(hostBaud) + " baud: answered " + Hex(id) +
                    (config_.badId ? " (bad-id fault)" : ""));
            io_.Send(id);
        }
        rom_ = Rom::Image;
        received_ = 0;
        imageLength_ = 0;
        return;
    case Rom::Image:
        ImageByte(byte);
        return;
    case Rom::Dead:
        return;
    case Rom::Running:
        program_.Receive(byte);
        return;
    }
}

void Xe167Board::ImageByte(uint8_t byte) {
    const LoaderImage& expected = kLoaderXE167;
    const std::size_t off = received_++;
    if (off == 2) lengthLow_ = byte;
    if (off == 3) imageLength_ = std::max<std::size_t>(kFirstStage, lengthLow_ | std::size_t(byte) << 8);
    if (off >= expected.size || byte != expected.data[off]) {
        io_.Log("loader image differs at offset " + std::to_string(off) + ": received " + Hex(byte) +
                (off < expected.size ? ", expected " + Hex(expected.data[off]) : ", beyond the image") +
                "; the board stays silent");
        rom_ = Rom::Dead;
        return;
    }
    if (imageLength_ == 0 || received_ < imageLength_) return;
    if (imageLength_ != expected.size) {
        io_.Log("loader image of " + std::to_string(imageLength_) + " bytes, expected " +
                std::to_string(expected.size) + "; the board stays silent");
        rom_ = Rom::Dead;
        return;
    }
    io_.Log("loader image received (" + std::to_string(imageLength_) + " bytes): the loaded program runs and "
            "switches to " + std::to_string(kProgramBaud) + " baud");
    rom_ = Rom::Running;
    program_.Start();          // its first answer still goes out at the bootstrap rate
    baud_ = kProgramBaud;
}

std::optional<Clock::time_point> Xe167Board::NextTimer() const {
    return rom_ == Rom::Running ? program_.NextTimer() : std::nullopt;
}

void Xe167Board::OnTimer() {
    if (rom_ == Rom::Running) program_.OnTimer();
}

void Xe167Board::Reset() {
    if (rom_ == Rom::Image)
        io_.Log("reset during the loader image: " + std::to_string(received_) + " of " +
                std::to_string(kLoaderXE167.size) + " bytes received");
    program_.Reset();
    rom_ = Rom::WaitZero;
    baud_ = 0;
    received_ = 0;
    imageLength_ = 0;
    ignored_ = 0;
}

std::unique_ptr<Board> MakeXe167Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Xe167Board>(config, io);
}

}  // namespace qtx::sim
