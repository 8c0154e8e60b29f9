#include "sim/c16x_board.h"

#include <algorithm>
#include <cstdio>

#include "sim/c166_board.h"
#include "sim/xc164_board.h"

namespace qtx::sim {

namespace {
std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

// ---- loaded program --------------------------------------------------------

void C166Program::Start() {
    state_ = State::Command;
    io_.Send(0x00);
}

void C166Program::Reset() {
    state_ = State::Stopped;
    pending_.clear();
    size_ = 0;
}

std::optional<Clock::time_point> C166Program::NextTimer() const {
    if (state_ == State::Erasing) return eraseDone_;
    return std::nullopt;
}

void C166Program::OnTimer() {
    if (state_ != State::Erasing) return;
    flash_.Erase();
    io_.Log("flash erased");
    state_ = State::Command;
    io_.Send(0x00);
    // The UART kept what came during the erase; work through it now.
    while (!pending_.empty() && state_ != State::Erasing) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        Receive(b);
    }
}

void C166Program::Receive(uint8_t byte) {
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
        if (field_ <= flash_.Size()) {
            size_ = field_;
            io_.Log("size " + std::to_string(field_) + " bytes: answered 0x00");
            io_.Send(0x00);
        } else {
            size_ = 0;
            io_.Log("size " + std::to_string(field_) + " bytes does not fit the flash (" +
                    std::to_string(flash_.Size()) + " bytes): answered 0x01");
            io_.Send(0x01);
        }
        return;
    case State::Name:
        name_ += byte ? char(byte) : '\0';
        if (++fieldCount_ < 8) return;
        state_ = State::Command;
        io_.Log("name '" + std::string(name_.c_str()) + "': answered 0x00");
        io_.Send(0x00);
        return;
    case State::Data:
        DataByte(byte);
        return;
    }
}

void C166Program::Command(uint8_t byte) {
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
        crc_.Reset();
        if (size_ == 0) {
            // Nothing to write: with block acknowledges the last-block answer
            // comes too, as the host waits for both.
            const uint8_t done[2] = {0x00, 0x00};
            io_.Send(done, blockAcks_ ? 2 : 1);
            return;
        }
        state_ = State::Data;
        addr_ = 0;
        remaining_ = size_;
        wordFill_ = 0;
        return;
    case 0x01:
        io_.Log("finish command");
        return;
    case ContentCrc::kCommand:
        io_.Log("content check: answered the CRC-32 of the data received");
        crc_.Answer(io_);
        return;
    case 0x06:
        state_ = State::Name;
        name_.clear();
        fieldCount_ = 0;
        return;
    case 0x14:
    case 0x04:
        io_.Log("control byte " + Hex(byte));
        return;
    default:
        io_.Log("unknown command " + Hex(byte) + " ignored");
        return;
    }
}

void C166Program::DataByte(uint8_t byte) {
    crc_.Add(byte);
    word_[wordFill_++] = byte;
    ++addr_;
    --remaining_;
    if (wordFill_ == 2 || remaining_ == 0) {
        ProgramWord();
        wordFill_ = 0;
    }
    if (state_ != State::Data) return;
    // Every block is acknowledged once it is written, the last one too,
    // complete or not; the whole file once more below.
    if (blockAcks_ && (remaining_ == 0 || addr_ % kBlockSize == 0)) io_.Send(0x00);
    if (remaining_ == 0) {
        const std::string blocks =
            blockAcks_ ? " in " + std::to_string((size_ + kBlockSize - 1) / kBlockSize) + " acknowledged blocks" : "";
        io_.Log("programmed " + std::to_string(size_) + " bytes from address 0" + blocks + ": answered 0x00");
        state_ = State::Command;
        io_.Send(0x00);
    }
}

void C166Program::ProgramWord() {
    const uint32_t base = addr_ - uint32_t(wordFill_);
    // A word cut short by an odd size leaves its upper cell untouched.
    const uint8_t upper = base + 1 < flash_.Size() ? flash_.Read(base + 1) : 0xFF;
    const uint16_t expected = uint16_t(word_[0] | (wordFill_ > 1 ? word_[1] : upper) << 8);
    const bool faulty = config_.verifyErrorAt.count(base) || config_.verifyErrorAt.count(base + 1);
    if (faulty) {
        const uint16_t reread = expected ^ 0x0001;
        flash_.Force(base, uint8_t(reread));
        if (wordFill_ > 1) flash_.Force(base + 1, uint8_t(reread >> 8));
        Report(base, expected, reread);
        return;
    }
    uint16_t reread = flash_.Program(base, word_[0]);
    reread |= uint16_t((wordFill_ > 1 ? flash_.Program(base + 1, word_[1]) : upper) << 8);
    if (reread != expected) Report(base, expected, reread);
}

void C166Program::Report(uint32_t addr, uint16_t expected, uint16_t reread) {
    const uint8_t code = 0x02;
    const uint8_t report[9] = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                               uint8_t(expected), uint8_t(expected >> 8),
                               uint8_t(reread), uint8_t(reread >> 8), code};
    io_.Log("verify error at " + Hex(addr, 5) + ": wrote " + Hex(expected, 4) + ", re-read " +
            Hex(reread, 4) + "; report sent, further data ignored");
    io_.Send(report, sizeof report);
    state_ = State::Failed;
}

// ---- ROM bootstrap ----------------------------------------------------------

const C16xTraits kXE167Board{"xe167", 0xD5, &kLoaderXE167, 768 * 1024, 0, 57600, false, true};

// C166/167, C163 and XC164/167 run the real loader on the emulated core
// (sim/c166_board.h, sim/xc164_board.h).
std::unique_ptr<Board> MakeC167Board(const BoardConfig& config, BoardIo& io) {
    return MakeC166EmuBoard(kC167EmuBoard, config, io);
}

std::unique_ptr<Board> MakeC163Board(const BoardConfig& config, BoardIo& io) {
    return MakeC166EmuBoard(kC163EmuBoard, config, io);
}

std::unique_ptr<Board> MakeXC164Board(const BoardConfig& config, BoardIo& io) {
    return MakeXc164EmuBoard(config, io);
}

std::unique_ptr<Board> MakeXE167Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<C16xBoard>(kXE167Board, config, io);
}

C16xBoard::C16xBoard(const C16xTraits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits), config_(config), io_(io), flash_(traits.flashSize),
      program_(flash_, io_, config_, traits.blockAcks), baud_(traits.romBaud) {}

void C16xBoard::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero:
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("boot loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        if (ignored_ > 1) io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
        ignored_ = 0;
        if (!traits_.romBaud) baud_ = hostBaud;
        {
            const uint8_t id = config_.badId ? uint8_t(traits_.idByte ^ 0x80) : traits_.idByte;
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

void C16xBoard::ImageByte(uint8_t byte) {
    const LoaderImage& expected = *traits_.loader;
    const std::size_t off = received_++;
    // The first stage finds the image length in bytes 2 and 3.
    if (off == 2) lengthLow_ = byte;
    if (off == 3) imageLength_ = ImageLength(lengthLow_ | std::size_t(byte) << 8);
    if (off >= expected.size || byte != expected.data[off]) {
        io_.Log("loader image differs at offset " + std::to_string(off) + ": received " + Hex(byte) +
                (off < expected.size ? ", expected " + Hex(expected.data[off]) : ", beyond the image") +
                "; the board stays silent");
        rom_ = Rom::Dead;
        return;
    }
    if (imageLength_ != 0 && received_ == imageLength_) {
        if (imageLength_ != expected.size) {
            io_.Log("loader image of " + std::to_string(imageLength_) + " bytes, expected " +
                    std::to_string(expected.size) + "; the board stays silent");
            rom_ = Rom::Dead;
            return;
        }
        io_.Log("loader image received (" + std::to_string(imageLength_) + " bytes): the loaded program runs");
        rom_ = Rom::Running;
        program_.Start();   // announces itself at the ROM's rate
        if (traits_.programBaud) {
            baud_ = traits_.programBaud;
            io_.Log("the loaded program talks at " + std::to_string(baud_) + " baud from now on");
        }
    }
}

std::size_t C16xBoard::ImageLength(std::size_t word) const {
    std::size_t length = word;
    if (traits_.lengthIsPageOffset) {
        // The first stage runs from the start address; the word marks the last
        // byte's place in the same page.
        const std::size_t start = traits_.loader->loadAddress & 0xFFFF;
        length = word >= start ? word - start + 1 : 0;
    }
    return std::max(kFirstStage, length);
}

std::optional<Clock::time_point> C16xBoard::NextTimer() const {
    return rom_ == Rom::Running ? program_.NextTimer() : std::nullopt;
}

void C16xBoard::OnTimer() {
    if (rom_ == Rom::Running) program_.OnTimer();
}

void C16xBoard::Reset() {
    if (rom_ == Rom::Image)
        io_.Log("reset during the loader image: " + std::to_string(received_) + " of " +
                std::to_string(traits_.loader->size) + " bytes received");
    if (rom_ == Rom::WaitZero && ignored_ > 1)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
    program_.Reset();
    rom_ = Rom::WaitZero;
    baud_ = traits_.romBaud;
    received_ = 0;
    imageLength_ = 0;
    ignored_ = 0;
}

}  // namespace qtx::sim
