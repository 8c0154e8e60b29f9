#include "sim/c509_board.h"

#include "sim/boards.h"

#include "serial/deadline.h"

#include <algorithm>
#include <cstdio>

namespace qtx::sim {

namespace {

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

constexpr uint8_t kS0CON = 0x98, kS0BUF = 0x99, kP1 = 0x90;   // C509-L User's Manual 6.5.1
constexpr uint8_t kRI0 = 0x01, kTI0 = 0x02;                    // S0CON bits
// Board wiring (firmware/mcs51/c509_board.inc): the flash answers MOVX cycles
// at 0000h-7FFFh with its A15 from P1.0.
constexpr uint16_t kFlashWindowEnd = 0x8000;
// A program that reads a status this often in a row without anything
// changing waits for the next event; emulated time jumps there.
constexpr int kIdlePolls = 4;
// A program that runs this long without waiting for anything has lost its way.
constexpr uint64_t kRunawayInstructions = 50'000'000;
// How often a paced board looks whether its core ran ahead of the wall.
constexpr uint64_t kWallCheckInstructions = 4096;

uint64_t ClocksOf(uint64_t ns) {   // the last whole clock at or before ns
    return ns / 1'000'000'000 * c509::kClockHz + ns % 1'000'000'000 * c509::kClockHz / 1'000'000'000;
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

// ---- the chip running the loaded program ---------------------------------------------

C509Chip::C509Chip(const BoardConfig& config, BoardIo& io, std::array<uint8_t, 0x10000 - c509::kXramBase>& xram)
    : config_(config), io_(io), xram_(xram), cpu_(*this), flash_(c509::kFlashSize, config.verifyErrorAt),
      tie_(config.paced) {}

void C509Chip::Start(uint16_t pc, uint32_t baud) {
    // The ROM hands over with its serial set-up in place and the core as it
    // left it; the loaded program sets up what else it needs.
    cpu_.Reset();
    cpu_.sfr[kS0CON - 0x80] = 0x10;   // REN0: the ROM was receiving
    cpu_.pc = pc;
    clocks_ = 0;
    lastLanding_ = 0;
    rx_.clear();
    txDoneAt_.reset();
    horizon_.reset();
    resumeAt_.reset();
    idlePolls_ = 0;
    misuses_.clear();
    lost_ = 0;
    charClocks_ = c509::kBitsPerChar * c509::kClockHz / std::max<uint32_t>(baud, 1);
    running_ = true;
    steps_ = 0;
    hostTime_ = {};
    tie_.Anchor(0, io_.Now());
    Run();
}

void C509Chip::Receive(uint8_t byte) {
    if (!running_) return;
    // A character needs its full frame time on the line after the previous one.
    const uint64_t landing =
        std::max({clocks_, ClocksOf(tie_.CatchUp(Ns(), io_.Now())), lastLanding_ + charClocks_});
    lastLanding_ = landing;
    rx_.emplace_back(landing, byte);
    horizon_ = landing + charClocks_;
    steps_ = 0;
    if (!tie_.HeldComputing()) Run();
}

std::optional<Clock::time_point> C509Chip::ResumeAt() const {
    const auto held = tie_.Held();
    if (held && resumeAt_) return std::min(*held, *resumeAt_);
    return held ? held : resumeAt_;
}

void C509Chip::Resume() {
    // Only the hold that is due ends: a wall hold leaves the horizon standing.
    if (resumeAt_ && *resumeAt_ <= io_.Now()) {
        horizon_.reset();
        resumeAt_.reset();
        steps_ = 0;
    }
    Run();
}

void C509Chip::Stop() {
    if (!running_) return;
    running_ = false;
    horizon_.reset();
    resumeAt_.reset();
    tie_.Release();
    const uint64_t us = clocks_ / (c509::kClockHz / 1'000'000);
    std::string line = "loaded program stopped: " + std::to_string(cpu_.Instructions()) + " instructions, " +
                       std::to_string(us / 1000) + "." + std::to_string(us % 1000 / 100) + " ms emulated, " +
                       std::to_string(flash_.SectorsErased()) + " sectors erased, " +
                       std::to_string(flash_.Programmed()) + " bytes programmed";
    std::vector<std::string> all = misuses_;
    all.insert(all.end(), flash_.Misuses().begin(), flash_.Misuses().end());
    if (lost_) all.push_back(std::to_string(lost_) + " received bytes lost in all");
    line += all.empty() ? "; no misuse" : "; misuses: " + std::to_string(all.size());
    io_.Log(line);
    io_.Log(hostTime_.Line(cpu_.Instructions()));
    for (const auto& m : all) io_.Log("misuse: " + m);
}

Am29F010::Ns C509Chip::Ns() const {
    return clocks_ / c509::kClockHz * 1'000'000'000 + clocks_ % c509::kClockHz * 1'000'000'000 / c509::kClockHz;
}

void C509Chip::Misuse(const std::string& what) {
    if (misuses_.size() < 20) misuses_.push_back(what);
}

void C509Chip::Halt(const std::string& why) {
    Misuse(why + "; the core stops");
    io_.Log("loaded program halted: " + why);
    Stop();
}

// Bytes landing and transmissions ending up to the current clock.
void C509Chip::Events() {
    uint8_t& scon = cpu_.sfr[kS0CON - 0x80];
    while (!rx_.empty() && rx_.front().first <= clocks_) {
        const uint8_t byte = rx_.front().second;
        rx_.pop_front();
        idlePolls_ = 0;
        if (scon & kRI0) {
            // 6.5: a byte complete while the previous one is still unread is lost.
            if (lost_++ < 5)
                Misuse("receive overrun: " + Hex(byte) + " lost at " + std::to_string(Ns() / 1000) +
                       " us (RI0 still set)");
            continue;
        }
        rxBuffer_ = byte;
        scon |= kRI0;
    }
    if (txDoneAt_ && *txDoneAt_ <= clocks_) {
        txDoneAt_.reset();
        scon |= kTI0;
        idlePolls_ = 0;
    }
}

// The program looked at a status that only an event changes. The same
// instruction finding the same value a few times in a row is a program
// waiting for that event: time jumps to the next one, if there is one.
void C509Chip::Poll(uint8_t value) {
    if (cpu_.pc != pollPc_ || value != pollValue_) {
        pollPc_ = cpu_.pc;
        pollValue_ = value;
        idlePolls_ = 0;
    }
    if (++idlePolls_ < kIdlePolls) return;
    std::optional<uint64_t> next;
    auto consider = [&](uint64_t t) { next = next ? std::min(*next, t) : t; };
    if (!rx_.empty()) consider(rx_.front().first);
    if (txDoneAt_) consider(*txDoneAt_);
    if (flash_.Busy(Ns())) {
        const Am29F010::Ns ns = flash_.DoneAt();
        consider(ns / 1'000'000'000 * c509::kClockHz + (ns % 1'000'000'000 * c509::kClockHz + 999'999'999) / 1'000'000'000);
    }
    if (!next) return;   // only the host can end this wait
    if (horizon_) consider(*horizon_);
    // On a paced line the clock stops at the wall, and the core is held until the wall reaches the event.
    const uint64_t nextNs = *next / c509::kClockHz * 1'000'000'000 +
                            (*next % c509::kClockHz * 1'000'000'000 + c509::kClockHz - 1) / c509::kClockHz;
    const uint64_t to = tie_.SkipTarget(nextNs, io_.Now());
    clocks_ = std::max(clocks_, to < nextNs ? ClocksOf(to) : *next);
    idlePolls_ = 0;
}

void C509Chip::Run() {
    const HostTimer::Scope timing(hostTime_);
    tie_.Release();
    while (running_) {
        Events();
        // Waiting for the host: nothing can happen until its next byte.
        if (idlePolls_ >= kIdlePolls && rx_.empty() && !txDoneAt_ && !flash_.Busy(Ns())) {
            resumeAt_.reset();
            tie_.Idle();
            return;
        }
        if (horizon_ && clocks_ >= *horizon_) {
            // Held where the next byte could land; if none comes within two
            // character times, the host is not sending back to back.
            resumeAt_ = io_.Now() + std::chrono::microseconds(2 * charClocks_ * 1'000'000 / c509::kClockHz);
            return;
        }
        clocks_ += uint64_t(cpu_.Step()) * c509::kClocksPerCycle;
        if (cpu_.Reserved()) return Halt("reserved opcode A5h at " + Hex(cpu_.pc - 1, 4));
        if (tie_.Held()) return;   // a poll found its event beyond the wall
        if (steps_ % kWallCheckInstructions == 0 && tie_.Ahead(Ns(), io_.Now())) return;
        if (++steps_ > kRunawayInstructions)
            return Halt(std::to_string(steps_) + " instructions without waiting for anything, at " + Hex(cpu_.pc, 4));
    }
}

uint8_t C509Chip::Code(uint16_t addr) {
    // Mode 1 swaps the XRAM into code memory (10.4.2.2); below it lie the boot
    // ROM and the flash, where a loader has no business.
    if (addr >= c509::kXramBase) return xram_[addr - c509::kXramBase];
    if (running_) Halt("code fetch at " + Hex(addr, 4) + ", outside the XRAM");
    return 0x00;
}

uint32_t C509Chip::FlashAddress(uint16_t addr) const {
    return (cpu_.Sfr(kP1) & 0x01 ? 0x8000u : 0u) | addr;
}

uint8_t C509Chip::ReadX(uint16_t addr) {
    if (addr >= c509::kXramBase) return xram_[addr - c509::kXramBase];
    if (addr >= kFlashWindowEnd) {
        Misuse("MOVX read at " + Hex(addr, 4) + ": nothing answers there");
        return 0xFF;
    }
    if (flash_.Busy(Ns())) Poll(0);   // the status bits toggle: the place alone tells
    return flash_.Read(FlashAddress(addr), Ns());
}

void C509Chip::WriteX(uint16_t addr, uint8_t v) {
    idlePolls_ = 0;
    if (addr >= c509::kXramBase) {
        xram_[addr - c509::kXramBase] = v;
        return;
    }
    if (addr >= kFlashWindowEnd) {
        Misuse("MOVX write at " + Hex(addr, 4) + ": nothing answers there");
        return;
    }
    flash_.Write(FlashAddress(addr), v, Ns());
}

bool C509Chip::ReadSfr(uint8_t addr, uint8_t& v) {
    if (addr == kS0BUF) {
        v = rxBuffer_;
        return true;
    }
    if (addr == kS0CON) Poll(cpu_.sfr[kS0CON - 0x80]);   // RI0 and TI0 change only at events
    return false;
}

bool C509Chip::WriteSfr(uint8_t addr, uint8_t v) {
    if (addr != kS0BUF) return false;
    idlePolls_ = 0;
    if (txDoneAt_) Misuse("S0BUF written at " + Hex(cpu_.pc, 4) + " while a byte was still being sent");
    txDoneAt_ = clocks_ + charClocks_;
    io_.Send(v);
    return true;
}

// ---- the protocol on the wire --------------------------------------------------------

void C509Wire::Reset() {
    host_ = Host::Command;
    echoLeft_ = 0;
    eraseDue_ = false;
    echo_.clear();
    dataDone_ = false;
    held_.clear();
    release_.reset();
}

void C509Wire::FromHost(uint8_t byte) {
    switch (host_) {
    case Host::Command:
        if (byte == 0x02) {
            io_.Log("erase command");
            eraseDue_ = true;
        } else if (byte == 0x04) {
            host_ = Host::SizeLow;
        } else if (byte == 0x43) {
            io_.Log("content check");
        } else {
            io_.Log("unknown command " + Hex(byte));
        }
        return;
    case Host::SizeLow:
        size_ = byte;
        host_ = Host::SizeHigh;
        return;
    case Host::SizeHigh:
        size_ |= uint32_t(byte) << 8;
        left_ = size_;
        echoLeft_ = 3;
        echo_.clear();
        dataDone_ = false;
        host_ = size_ ? Host::Data : Host::Command;
        if (!size_) dataDone_ = true;
        return;
    case Host::Data:
        if (--left_ == 0) {
            host_ = Host::Command;
            dataDone_ = true;
        }
        return;
    }
}

void C509Wire::FromProgram(uint8_t byte) {
    if (echoLeft_ > 0) {
        echo_.push_back(byte);
        if (--echoLeft_ > 0) return;
        const std::string size = "program command: size " + std::to_string(size_) + " bytes";
        if (config_.noEcho) {
            io_.Log(size + ", no echo (no-echo fault)");
            // Without its echo a loader must hold 0x03 back until the host has
            // waited out both echo bytes (1000 ms each).
            held_.push_back(echo_[2]);
            release_ = io_.Now() + LateStart();
            return;
        }
        if (config_.badEcho) echo_[0] ^= 0x01;
        io_.Log(size + ", echoed " + Hex(echo_[0]) + " " + Hex(echo_[1]) + (config_.badEcho ? " (bad-echo fault)" : "") +
                ", answered " + Hex(echo_[2]));
        for (uint8_t b : echo_) Out(b);
        return;
    }
    if (byte == 0x04 && dataDone_) {
        dataDone_ = false;
        io_.Log("programmed " + std::to_string(size_) + " bytes from address 0: answered 0x04");
    } else if (eraseDue_) {
        io_.Log("erase answered " + Hex(byte));
    }
    eraseDue_ = false;
    Out(byte);
}

void C509Wire::Out(uint8_t byte) {
    if (release_) {
        held_.push_back(byte);
    } else {
        io_.Send(byte);
    }
}

std::optional<Clock::time_point> C509Wire::NextTimer() const { return release_; }

void C509Wire::OnTimer() {
    if (!release_ || io_.Now() < *release_) return;
    release_.reset();
    io_.Log("answered 0x03 without echo, " + std::to_string(LateStart().count()) + " ms after the size");
    while (!held_.empty()) {
        io_.Send(held_.front());
        held_.pop_front();
    }
}

// ---- ROM loader -------------------------------------------------------------------

C509Board::C509Board(const BoardConfig& config, BoardIo& io)
    : config_(config), io_(io), chip_(config_, static_cast<BoardIo&>(*this), xram_), wire_(config_, io) {}

std::optional<Clock::time_point> C509Board::NextTimer() const {
    const auto chip = chip_.ResumeAt(), wire = wire_.NextTimer();
    if (chip && wire) return std::min(*chip, *wire);
    return chip ? chip : wire;
}

void C509Board::OnTimer() {
    if (chip_.ResumeAt() && *chip_.ResumeAt() <= io_.Now()) chip_.Resume();
    wire_.OnTimer();
}

void C509Board::Send(const uint8_t* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) wire_.FromProgram(data[i]);
}

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
    case Rom::Running:
        wire_.FromHost(byte);
        chip_.Receive(byte);
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
        if (address < c509::kXramBase) {
            Answer(c509::kMalformed, "mode 0 loads into the XRAM, not to " + Hex(address, 4));
            return;
        }
        loadAddress_ = address;
        loaded_ = 0;
        lastBlockSeen_ = false;
        Answer(c509::kAck, "mode 0, loading from " + Hex(address, 4));
        return;
    }
    // Mode 1 jumps into the XRAM (10.4.2.2) whatever it holds: the core runs it.
    Answer(c509::kAck, "mode 1, starting at " + Hex(address, 4));
    io_.Log("the loaded program runs from " + Hex(address, 4) + " at " + std::to_string(baud_) + " baud");
    rom_ = Rom::Running;
    wire_.Reset();
    chip_.Start(address, baud_);
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
    if (*loadAddress_ + loaded_ + n > 0x10000) {
        Answer(c509::kMalformed, "data beyond address 0xFFFF");
        return;
    }
    std::copy(data, data + n, xram_.begin() + (*loadAddress_ + loaded_ - c509::kXramBase));
    loaded_ += uint32_t(n);
    if (!last) {
        io_.Send(c509::kAck);   // the many data blocks are not logged one by one
        return;
    }
    lastBlockSeen_ = true;
    Answer(c509::kAck, std::to_string(n) + " bytes, " + std::to_string(loaded_) + " bytes loaded from " +
                           Hex(*loadAddress_, 4));
}

void C509Board::Reset() {
    if (rom_ == Rom::Blocks)
        io_.Log("reset during the block transfer: " + std::to_string(blocks_) + " blocks, " +
                std::to_string(loaded_) + " bytes loaded");
    if (rom_ == Rom::WaitZero && ignored_ > 1)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
    chip_.Stop();
    wire_.Reset();
    rom_ = Rom::WaitZero;
    baud_ = 0;
    ignored_ = 0;
    block_.clear();
    blocks_ = 0;
    loadAddress_.reset();
    loaded_ = 0;
    lastBlockSeen_ = false;
}

namespace {

const BoardRegistration kRegistered{{"c509", "C509 ROM loader (id 0x55, XOR-checked blocks), 466-byte loader, 64 KiB flash", MakeC509Board, 10}};

}  // namespace

}  // namespace qtx::sim
