#include "sim/c509_board.h"

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

uint8_t c509::BlockChecksum(const uint8_t* data, std::size_t n) {
    uint8_t x = 0;
    for (std::size_t i = 0; i < n; ++i) x ^= data[i];
    return x;
}

std::unique_ptr<Board> MakeC509Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<C509Board>(config, io);
}

// ---- loaded program ----------------------------------------------------------

void C509Program::Start() { state_ = State::Command; }

void C509Program::Reset() {
    state_ = State::Stopped;
    pending_.clear();
    size_ = 0;
}

std::optional<Clock::time_point> C509Program::NextTimer() const {
    if (state_ == State::Erasing || state_ == State::Starting) return due_;
    return std::nullopt;
}

void C509Program::OnTimer() {
    if (state_ == State::Erasing) {
        flash_.Erase();
        io_.Log("flash erased: answered 0x02");
        state_ = State::Command;
        io_.Send(0x02);
    } else if (state_ == State::Starting) {
        io_.Log("answered 0x03 without echo, " + std::to_string(kLateStart.count()) + " ms after the size");
        BeginData();
    } else {
        return;
    }
    WorkThroughPending();
}

void C509Program::WorkThroughPending() {
    while (!pending_.empty() && state_ != State::Erasing && state_ != State::Starting) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        Receive(b);
    }
}

void C509Program::Receive(uint8_t byte) {
    switch (state_) {
    case State::Stopped:
    case State::Failed:
        return;
    case State::Erasing:
    case State::Starting:
        pending_.push_back(byte);   // the UART keeps it until the program looks again
        return;
    case State::Command:
        Command(byte);
        return;
    case State::SizeLow:
        size_ = byte;
        state_ = State::SizeHigh;
        return;
    case State::SizeHigh:
        size_ |= uint32_t(byte) << 8;
        SizeComplete();
        return;
    case State::Data:
        DataByte(byte);
        return;
    }
}

void C509Program::Command(uint8_t byte) {
    switch (byte) {
    case 0x02:
        io_.Log("erase command: erasing for " + std::to_string(config_.eraseMs) + " ms");
        state_ = State::Erasing;
        due_ = io_.Now() + std::chrono::milliseconds(config_.eraseMs);
        return;
    case 0x04:
        state_ = State::SizeLow;
        crc_.Reset();
        return;
    case ContentCrc::kCommand:
        io_.Log("content check: answered the CRC-32 of the data received");
        crc_.Answer(io_);
        return;
    default:
        io_.Log("unknown command " + Hex(byte) + " ignored");
        return;
    }
}

void C509Program::SizeComplete() {
    const uint8_t low = uint8_t(size_), high = uint8_t(size_ >> 8);
    const std::string size = "program command: size " + std::to_string(size_) + " bytes";
    if (config_.noEcho) {
        io_.Log(size + ", no echo (no-echo fault)");
        state_ = State::Starting;
        due_ = io_.Now() + kLateStart;
        return;
    }
    const uint8_t echo[2] = {uint8_t(config_.badEcho ? low ^ 0x01 : low), high};
    io_.Log(size + ", echoed " + Hex(echo[0]) + " " + Hex(echo[1]) + (config_.badEcho ? " (bad-echo fault)" : "") +
            ", answered 0x03");
    io_.Send(echo, 2);
    BeginData();
}

void C509Program::BeginData() {
    io_.Send(0x03);
    addr_ = 0;
    if (size_ == 0) {
        io_.Log("nothing to program: answered 0x04");
        state_ = State::Command;
        io_.Send(0x04);
        return;
    }
    state_ = State::Data;
}

void C509Program::DataByte(uint8_t byte) {
    crc_.Add(byte);
    const uint32_t addr = addr_++;
    uint8_t reread;
    if (config_.verifyErrorAt.count(addr)) {
        reread = byte ^ 0x01;
        flash_.Force(addr, reread);
    } else {
        reread = flash_.Program(addr, byte);
    }
    if (reread != byte) {
        const uint8_t code = 0x02;
        const uint8_t report[9] = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                                   byte, 0x00, reread, 0x00, code};
        io_.Log("verify error at " + Hex(addr, 5) + ": wrote " + Hex(byte) + ", re-read " + Hex(reread) +
                "; report sent, further data ignored");
        io_.Send(report, sizeof report);
        state_ = State::Failed;
        return;
    }
    if (addr_ < size_) return;
    io_.Log("programmed " + std::to_string(size_) + " bytes from address 0: answered 0x04");
    state_ = State::Command;
    io_.Send(0x04);
}

// ---- ROM loader -------------------------------------------------------------------

C509Board::C509Board(const BoardConfig& config, BoardIo& io)
    : config_(config), io_(io), flash_(c509::kFlashSize), program_(flash_, io_, config_) {}

void C509Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero: {
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("boot loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        if (ignored_ > 1) io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
        ignored_ = 0;
        baud_ = hostBaud;
        const uint8_t id = config_.badId ? uint8_t(c509::kId ^ 0x80) : c509::kId;
        io_.Log("zero byte at " + std::to_string(hostBaud) + " baud: answered " + Hex(id) +
                (config_.badId ? " (bad-id fault)" : ""));
        io_.Send(id);
        rom_ = Rom::Blocks;
        return;
    }
    case Rom::Blocks:
        if (block_.empty()) {
            if (byte == c509::kModeBlock) {
                blockLength_ = c509::kModeBlockLength;
            } else if (byte == c509::kDataBlock || byte == c509::kLastBlock) {
                blockLength_ = c509::kDataBlockLength;
            } else {
                ++blocks_;
                // Without a known type the length is unknown too: the next byte starts a new block.
                Answer(c509::kMalformed, "unknown type " + Hex(byte));
                return;
            }
        }
        block_.push_back(byte);
        if (block_.size() == blockLength_) {
            ++blocks_;
            Block();
            block_.clear();
        }
        return;
    case Rom::Dead:
        return;
    case Rom::Running:
        program_.Receive(byte);
        return;
    }
}

std::string C509Board::BlockName() const {
    static const char* const kNames[] = {"mode", "data", "last"};
    const uint8_t type = block_.empty() ? 0xFF : block_[0];
    return "block " + std::to_string(blocks_) + (type < 3 ? std::string(" (") + kNames[type] + ")" : std::string());
}

void C509Board::Answer(uint8_t answer, const std::string& what) {
    io_.Log(BlockName() + ": " + what + ": answered " + Hex(answer));
    io_.Send(answer);
}

void C509Board::Block() {
    const std::size_t n = block_.size();
    const uint8_t computed = c509::BlockChecksum(block_.data(), n - 1);
    if (computed != block_[n - 1]) {
        Answer(c509::kChecksumError, "checksum " + Hex(block_[n - 1]) + ", computed " + Hex(computed));
        return;
    }
    switch (block_[0]) {
    case c509::kModeBlock:
        ModeBlock();
        return;
    case c509::kDataBlock:
        StoreData(&block_[1], 13, false);
        return;
    case c509::kLastBlock: {
        const uint8_t r = block_[1];
        if (r > 12) {
            Answer(c509::kMalformed, "count " + std::to_string(r) + " beyond the 12 places");
            return;
        }
        if (std::any_of(block_.begin() + 2 + r, block_.end() - 1, [](uint8_t b) { return b != 0; })) {
            Answer(c509::kMalformed, "fill bytes after the " + std::to_string(r) + " data bytes are not zero");
            return;
        }
        StoreData(&block_[2], r, true);
        return;
    }
    }
}

void C509Board::ModeBlock() {
    const uint8_t mode = block_[1];
    const uint16_t address = uint16_t(block_[2] << 8 | block_[3]);
    if (mode > 1) {
        Answer(c509::kMalformed, "mode " + std::to_string(mode) + " unknown");
        return;
    }
    if (mode == 0) {
        loadAddress_ = address;
        loaded_.clear();
        lastBlockSeen_ = false;
        Answer(c509::kAck, "mode 0, loading from " + Hex(address, 4));
        return;
    }
    // Mode 1 jumps to the address. The loaded program runs only if it is the
    // loader image, complete, at its place, entered just behind its header.
    const LoaderImage& image = kLoaderC509;
    std::string why;
    if (!loadAddress_ || loaded_.empty()) {
        why = "nothing was loaded";
    } else if (*loadAddress_ != image.loadAddress) {
        why = "the code was loaded at " + Hex(*loadAddress_, 4) + ", not at " + Hex(image.loadAddress, 4);
    } else if (address != image.loadAddress + c509::kCodeOffset) {
        why = "the start address is not " + Hex(image.loadAddress + c509::kCodeOffset, 4);
    } else if (!lastBlockSeen_) {
        why = "no last block closed the load";
    } else if (loaded_.size() != image.size) {
        why = std::to_string(loaded_.size()) + " bytes were loaded, the loader has " + std::to_string(image.size);
    } else if (const auto diff = std::mismatch(loaded_.begin(), loaded_.end(), image.data).first; diff != loaded_.end()) {
        why = "the loaded code differs from the loader at offset " + std::to_string(diff - loaded_.begin());
    }
    Answer(c509::kAck, "mode 1, starting at " + Hex(address, 4));
    if (!why.empty()) {
        io_.Log("jump into code that is not the loader (" + why + "); the board stays silent");
        rom_ = Rom::Dead;
        return;
    }
    io_.Log("loader received (" + std::to_string(loaded_.size()) + " bytes at " + Hex(image.loadAddress, 4) +
            "): the loaded program runs");
    rom_ = Rom::Running;
    program_.Start();
}

void C509Board::StoreData(const uint8_t* data, std::size_t n, bool last) {
    if (!loadAddress_) {
        Answer(c509::kMalformed, "data before any mode-0 block gave an address");
        return;
    }
    if (lastBlockSeen_) {
        Answer(c509::kMalformed, "data after the last block");
        return;
    }
    if (*loadAddress_ + loaded_.size() + n > 0x10000) {
        Answer(c509::kMalformed, "data beyond address 0xFFFF");
        return;
    }
    loaded_.insert(loaded_.end(), data, data + n);
    if (!last) {
        io_.Send(c509::kAck);   // the many data blocks are not logged one by one
        return;
    }
    lastBlockSeen_ = true;
    Answer(c509::kAck, std::to_string(n) + " bytes, " + std::to_string(loaded_.size()) + " bytes loaded from " +
                           Hex(*loadAddress_, 4));
}

std::optional<Clock::time_point> C509Board::NextTimer() const {
    return rom_ == Rom::Running ? program_.NextTimer() : std::nullopt;
}

void C509Board::OnTimer() {
    if (rom_ == Rom::Running) program_.OnTimer();
}

void C509Board::Reset() {
    if (rom_ == Rom::Blocks)
        io_.Log("reset during the block transfer: " + std::to_string(blocks_) + " blocks, " +
                std::to_string(loaded_.size()) + " bytes loaded");
    if (rom_ == Rom::WaitZero && ignored_ > 1)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
    program_.Reset();
    rom_ = Rom::WaitZero;
    baud_ = 0;
    ignored_ = 0;
    block_.clear();
    blocks_ = 0;
    loadAddress_.reset();
    loaded_.clear();
    lastBlockSeen_ = false;
}

}  // namespace qtx::sim
