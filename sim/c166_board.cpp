#include "sim/c166_board.h"

#include "sim/boards.h"

#include <cstdio>

namespace qtx::sim {

namespace {
// SFR addresses (C167CR Derivatives User's Manual V3.1, ch.11 "ASC0",
// ch.7 "Parallel Ports", ch.9 "External Bus Interface"; the C163 has the same).
constexpr uint16_t kS0Tbuf = 0xFEB0, kS0Rbuf = 0xFEB2, kS0Bg = 0xFEB4, kS0Con = 0xFFB0, kS0Tic = 0xFF6C,
                   kS0Ric = 0xFF6E, kS0Tbic = 0xF19C, kP2 = 0xFFC0, kDp2 = 0xFFC2, kP3 = 0xFFC4, kDp3 = 0xFFC6,
                   kBuscon0 = 0xFF0C;
// GPT1 timer T3 (ch.10 "The General Purpose Timer Units"): T3CON holds T3I in
// bits 2..0, T3M in 5..3 (000: timer mode), T3R (6), T3UD (7, 1: down), T3UDE
// (8), T3OE (9), T3OTL (10). In timer mode T3 counts fCPU / (8 x 2^T3I): the
// GPT1 resolution is 16 TCL, 8 CPU clocks (C161PI data sheet 1999-07 p.21,
// sibling; C163-16F data sheet 1997-10-01 p.18: 320 ns at 25 MHz).
constexpr uint16_t kT3 = 0xFE42, kT3Con = 0xFF42, kT3Ic = 0xFF62;
constexpr uint16_t kT3R = 0x0040, kT3Ud = 0x0080, kT3Modes = 0x0138;   // T3M, T3UDE
constexpr uint16_t kIr = 0x80;          // interrupt request flag in xxIC registers (ch.5)
constexpr uint16_t kS0Oe = 0x0400;      // S0CON overrun error flag
constexpr uint16_t kS0Stp = 0x0008;     // S0CON two stop bits
constexpr uint16_t kS0Brs = 0x2000;     // S0CON baud rate prescaler: divide by 3 instead of 2
constexpr uint16_t kS0R = 0x8000;       // S0CON baud rate generator runs
constexpr uint16_t kGatePin = 0x0100;   // P2.8: the C163 board's flash write gate
constexpr int kPollsBeforeSkip = 3;
constexpr uint64_t kSliceInstructions = 2'000'000;
// How often a paced board looks whether its core ran ahead of the wall.
constexpr uint64_t kWallCheckInstructions = 4096;

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

// C167CR board at 20 MHz, C163 board at 20 MHz; both run the ROM loader's rate
// measurement on the zero byte.
const C166BoardTraits kC167EmuBoard{"c167", 0x55, &kLoaderC166, 0xF600, false, 20'000'000};
const C166BoardTraits kC163EmuBoard{"c163", 0xD5, &kLoaderC163, 0xFA00, true, 20'000'000};

std::unique_ptr<Board> MakeC166EmuBoard(const C166BoardTraits& traits, const BoardConfig& config, BoardIo& io) {
    return std::make_unique<C166Board>(traits, config, io);
}

C166Board::C166Board(const C166BoardTraits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits), config_(config), io_(io),
      flash_(kAm29F400BB, config.verifyErrorAt, config.eraseFails,
             [this](const std::string&, const std::string& detail) { Misuse("flash: " + detail); }),
      cpu_(*this, {traits.iramStart, config.fastClock ? traits.clockHz / 100 * 103 : traits.clockHz}),
      tie_(config.paced) {}

C166Board::~C166Board() {
    if (rom_ == Rom::Running) Summary();
}

// The board's crystal; the no-fast fault runs it 3 % fast (an oscillator off its trim).
uint32_t C166Board::ClockHz() const { return cpu_.ClockHz(); }

uint64_t C166Board::StatesToNs(uint64_t states) const { return states * 1'000'000'000ull / ClockHz(); }

uint64_t C166Board::NowNs() const { return StatesToNs(cpu_.States()); }

void C166Board::SkipTo(uint64_t ns) {
    const uint64_t target = (ns * ClockHz() + 999'999'999ull) / 1'000'000'000ull;
    if (target > cpu_.States()) cpu_.AddStates(target - cpu_.States());
}

// CPU clocks per bit: the asynchronous rate is fCPU / (16 * (2 + S0BRS) *
// (S0BG + 1)) (ch.11 "ASC0 Baud Rate Generation"; UM0404 p.254, sibling).
uint64_t C166Board::ClocksPerBit() const {
    const uint16_t bg = sfr_.count(kS0Bg) ? sfr_.at(kS0Bg) : 0;
    const uint16_t con = sfr_.count(kS0Con) ? sfr_.at(kS0Con) : 0;
    return 16ull * ((con & kS0Brs) ? 3 : 2) * (uint64_t(bg & 0x1FFF) + 1);
}

// Start bit, 8 data bits, one or two stop bits.
uint64_t C166Board::TxCharNs() const {
    const uint16_t con = sfr_.count(kS0Con) ? sfr_.at(kS0Con) : 0;
    const uint64_t bits = 10 + ((con & kS0Stp) ? 1 : 0);
    return bits * ClocksPerBit() * 1'000'000'000ull / ClockHz();
}

uint32_t C166Board::ListenBaud() const {
    if (!ownRate_) return baud_;   // the ROM measured the host's rate
    return uint32_t(ClockHz() / ClocksPerBit());
}

bool C166Board::GeneratorRuns() const { return sfr_.count(kS0Con) && (sfr_.at(kS0Con) & kS0R); }

void C166Board::Misuse(const std::string& what) { ++misuse_[what]; }

// ---- the ROM bootstrap loader --------------------------------------------------

void C166Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero: {
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("boot loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        ignored_ = 0;
        baud_ = hostBaud;
        rxCharNs_ = 10ull * 1'000'000'000ull / (hostBaud ? hostBaud : 9600);
        // The ROM loader measures the zero byte and loads S0BG to match
        // (C167CR UM ch.15 "Entering the Bootstrap Loader").
        const uint64_t div = (uint64_t(ClockHz()) + 16ull * hostBaud) / (32ull * hostBaud);
        sfr_[kS0Bg] = romBg_ = uint16_t(div ? div - 1 : 0);
        ownRate_ = false;
        sfr_[kS0Con] = 0x8011;
        const uint8_t id = config_.badId ? uint8_t(traits_.idByte ^ 0x80) : traits_.idByte;
        io_.Log("zero byte at " + std::to_string(hostBaud) + " baud: answered " + Hex(id) +
                (config_.badId ? " (bad-id fault)" : ""));
        io_.Send(id);
        ++bytesOut_;
        rom_ = Rom::FirstStage;
        firstStage_ = 0;
        lastLanding_ = NowNs();
        tie_.Anchor(NowNs(), io_.Now());
        tie_.Idle();
        return;
    }
    case Rom::FirstStage: {
        lastLanding_ = std::max(tie_.CatchUp(NowNs(), io_.Now()), lastLanding_ + rxCharNs_);
        SkipTo(lastLanding_);
        cpu_.WriteByte(0xFA40 + firstStage_, byte);
        if (++firstStage_ == 32) StartCore();
        return;
    }
    case Rom::Running:
        ++bytesIn_;
        // One character at the rate the host sends at, which the loader may have changed.
        if (hostBaud) rxCharNs_ = 10ull * 1'000'000'000ull / hostBaud;
        lastLanding_ = std::max(tie_.CatchUp(NowNs(), io_.Now()), lastLanding_ + rxCharNs_);
        rx_.emplace_back(lastLanding_, byte);
        // A core that is mid-slice gets the byte when the rig resumes it; a
        // slice for every byte would keep the rig from its events for as long
        // as a burst of bytes lasts (the rest of an upload a closing host left).
        if (!more_ && !tie_.HeldComputing()) Run();
        return;
    case Rom::Stopped:
        return;
    }
}

void C166Board::StartCore() {
    // What the ROM loader leaves (C161PI User's Manual 1999-08, p.15-2, same
    // ROM loader as the C167CR and C163): CP 0FA00h, SP and STKUN 0FA40h, STKOV
    // 0FA0Ch, S0CON 8011h, TxD0 (P3.10) an output at 1, the watchdog timer off;
    // BUSCON0 as the reset configuration set it (16-bit demultiplexed bus,
    // 15 wait states: MCTC = 0, C167CR UM ch.9 "BUSCON0").
    cpu_.SetSfr(0xFE10, 0xFA00);
    cpu_.SetSfr(0xFE12, 0xFA40);
    cpu_.SetSfr(0xFE16, 0xFA40);
    cpu_.SetSfr(0xFE14, 0xFA0C);
    sfr_[kP3] |= 0x0400;
    sfr_[kDp3] |= 0x0400;
    sfr_[kBuscon0] = 0x0480;
    sfr_[kS0Ric] = 0;
    sfr_[kS0Tic] = kIr;   // the identification byte has gone
    cpu_.SetIp(0xFA40);
    rom_ = Rom::Running;
    io_.Log("first stage received (32 bytes at 0xFA40): the core runs; the host's image has " +
            std::to_string(traits_.loader->size) + " bytes" +
            (config_.fastClock ? " (the crystal runs 3 % fast: " + std::to_string(ClockHz()) + " Hz)" : std::string()));
    Run();
}

// ---- running the core -------------------------------------------------------------

void C166Board::Advance() {
    const uint64_t now = NowNs();
    while (!rx_.empty() && rx_.front().first <= now) {
        if (!GeneratorRuns()) {
            // ASC0 is off (S0R = 0): the byte is not received.
            Misuse("a byte arrived while ASC0 was off (S0R = 0): it was lost");
            rx_.pop_front();
            continue;
        }
        if (rbufUnread_) {
            // The previous byte was never read: it is lost, S0OE says so (ch.11 "Receive error").
            ++overruns_;
            sfr_[kS0Con] |= kS0Oe;
            Misuse("ASC0 overrun: a received byte was lost");
        }
        rbuf_ = rx_.front().second;
        rbufUnread_ = true;
        sfr_[kS0Ric] |= kIr;
        rx_.pop_front();
    }
    // S0TIR comes before the last bit of an asynchronous frame (ST10R272L
    // User Manual p.237 and C165UTAH data sheet "TIR is activated before the
    // last bit", sibling ASC0s); the shift register is free after the stop bit.
    if (txBusy_ && now >= txTir_ && txTir_ != 0) {
        txTir_ = 0;
        sfr_[kS0Tic] |= kIr;
    }
    if (t3Overflow_ != UINT64_MAX && cpu_.States() >= t3Overflow_) {
        sfr_[kT3Ic] |= kIr;
        const uint16_t con = sfr_[kT3Con];
        t3Overflow_ += (8ull << (con & 7)) * 65536ull;
    }
    if (txBusy_ && now >= txEnd_) {
        txBusy_ = false;
        if (tbufFull_) {
            tbufFull_ = false;
            const uint8_t b = tbuf_;
            txEnd_ = std::max(txEnd_, now);
            Transmit(b);
        }
    }
}

void C166Board::Transmit(uint8_t byte) {
    io_.Send(byte);
    ++bytesOut_;
    txBusy_ = true;
    const uint64_t character = TxCharNs();
    const uint64_t bits = 10 + ((sfr_[kS0Con] & kS0Stp) ? 1 : 0);
    txEnd_ = NowNs() + character;
    txTir_ = txEnd_ - character / bits;
    sfr_[kS0Tbic] |= kIr;   // the buffer is free again
}

void C166Board::Poll(bool fruitless) {
    const uint16_t site = cpu_.Ip();
    if (!fruitless) {
        polls_ = 0;
        return;
    }
    polls_ = site == pollSite_ ? polls_ + 1 : 1;
    pollSite_ = site;
}

void C166Board::Run() {
    const HostTimer::Scope timing(hostTime_);
    more_ = false;
    tie_.Release();
    for (uint64_t n = 0; n < kSliceInstructions; ++n) {
        Advance();
        if (!cpu_.Step()) {
            io_.Log("the core stopped: " + cpu_.Stopped());
            rom_ = Rom::Stopped;
            Summary();
            return;
        }
        if (n % kWallCheckInstructions == 0 && tie_.Ahead(NowNs(), io_.Now())) return;
        if (polls_ < kPollsBeforeSkip) continue;
        polls_ = 0;
        // Nothing can change before the next event: jump there.
        uint64_t next = UINT64_MAX;
        if (!rx_.empty()) next = rx_.front().first;
        if (txBusy_) next = std::min(next, txTir_ ? txTir_ : txEnd_);
        if (flash_.Busy(NowNs())) next = std::min(next, flash_.DoneAt());
        if (t3Overflow_ != UINT64_MAX) next = std::min(next, StatesToNs(t3Overflow_) + 1);
        if (next != UINT64_MAX) {
            const uint64_t to = tie_.SkipTarget(next, io_.Now());
            SkipTo(to);
            if (to < next) return;   // held until the wall reaches the event
            continue;
        }
        // Waiting for the host: the run goes on when a byte comes.
        tie_.Idle();
        return;
    }
    more_ = true;
}

std::optional<Clock::time_point> C166Board::NextTimer() const {
    // Due at once. Not io_.Now(): read after the rig's own clock, that lies a
    // little in its future on every look, and a program that runs longer than
    // a slice without touching the line would never be resumed (a slow core,
    // as under the sanitizers with both cores busy, never finished its slice).
    if (rom_ != Rom::Running) return std::nullopt;
    if (more_) return Clock::time_point{};
    return tie_.Held();
}

void C166Board::OnTimer() {
    if (rom_ != Rom::Running) return;
    if (more_ || (tie_.Held() && *tie_.Held() <= io_.Now())) Run();
}

// ---- peripherals ------------------------------------------------------------------

uint16_t C166Board::ReadSfr(uint16_t addr) {
    switch (addr) {
    case kS0Rbuf:
        rbufUnread_ = false;
        Poll(false);
        return rbuf_;
    case kS0Ric:
        Poll(!(sfr_[kS0Ric] & kIr));
        return sfr_[kS0Ric];
    case kS0Tic:
        Poll(!(sfr_[kS0Tic] & kIr) && txBusy_);
        return sfr_[kS0Tic];
    case kT3Ic:
        Poll(!(sfr_[kT3Ic] & kIr) && t3Overflow_ != UINT64_MAX);
        return sfr_[kT3Ic];
    case kT3:
        return T3Value();
    default:
        return sfr_[addr];
    }
}

void C166Board::WriteSfr(uint16_t addr, uint16_t value) {
    switch (addr) {
    case kS0Tbuf:
        sfr_[addr] = value;
        if (!txBusy_) {
            Transmit(uint8_t(value));
        } else if (!tbufFull_) {
            tbufFull_ = true;
            tbuf_ = uint8_t(value);
        } else {
            tbuf_ = uint8_t(value);
            Misuse("S0TBUF written again before its byte was sent: a byte was lost");
        }
        return;
    case kS0Rbuf:
        Misuse("write to the read-only S0RBUF");
        return;
    case kS0Bg: {
        // A write while the generator runs reloads its timer at once (UM0404
        // p.254, sibling): only with S0R = 0, and with the line quiet, may the
        // divider change.
        if (value == sfr_[addr]) return;
        if (GeneratorRuns()) {
            Misuse("S0BG written while the baud rate generator runs (S0R = 1)");
        } else if (txBusy_) {
            Misuse("S0BG written while a character was still being sent");
        }
        sfr_[addr] = value;
        ownRate_ = (value & 0x1FFF) != romBg_;
        char at[32];
        std::snprintf(at, sizeof at, " at %.6f s", double(NowNs()) / 1e9);
        io_.Log("ASC0 divider S0BG = " + std::to_string(value & 0x1FFF) + ": " + std::to_string(ListenBaud()) +
                " baud" + (ownRate_ ? "" : " (the ROM's)") + at);
        return;
    }
    case kS0Con: {
        const uint16_t was = sfr_[addr];
        if ((was & kS0R) && !(value & kS0R) && txBusy_)
            Misuse("S0R cleared while a character was still being sent");
        if ((was ^ value) & 0x7FFF & ~0x0700)   // anything but S0R and the error flags
            Misuse("S0CON framing changed after the ROM loader set it");
        sfr_[addr] = value;
        return;
    }
    case kT3:
        T3Rebase(value);
        return;
    case kT3Con: {
        if (value & kT3Modes) Misuse("T3CON: a mode other than timer mode (not modelled)");
        const uint16_t v = T3Value();
        sfr_[addr] = value;
        T3Rebase(v);
        return;
    }
    case kBuscon0:
        if (value != sfr_[addr]) Misuse("BUSCON0 changed (the board's bus timing is not modelled beyond wait states)");
        sfr_[addr] = value;
        return;
    case kP2:
    case kDp2: {
        const bool was = (sfr_[kP2] & sfr_[kDp2] & kGatePin) != 0;
        sfr_[addr] = value;
        const bool now = (sfr_[kP2] & sfr_[kDp2] & kGatePin) != 0;
        if (traits_.writeGate && was != now)
            io_.Log(now ? "flash write enable on (P2.8 high)" : "flash write enable off (P2.8 low)");
        return;
    }
    default:
        sfr_[addr] = value;
        return;
    }
}

// ---- GPT1 T3 --------------------------------------------------------------------------

uint16_t C166Board::T3Value() const {
    const uint16_t con = sfr_.count(kT3Con) ? sfr_.at(kT3Con) : 0;
    if (!(con & kT3R)) return t3At_;
    const uint64_t counts = (cpu_.States() - t3From_) / (8ull << (con & 7));
    return uint16_t((con & kT3Ud) ? t3At_ - counts : t3At_ + counts);
}

// T3 holds value from now; the next overflow (up) or underflow (down) sets T3IR.
void C166Board::T3Rebase(uint16_t value) {
    const uint16_t con = sfr_[kT3Con];
    t3At_ = value;
    t3From_ = cpu_.States();
    if (!(con & kT3R)) {
        t3Overflow_ = UINT64_MAX;
        return;
    }
    const uint64_t counts = (con & kT3Ud) ? uint64_t(value) + 1 : 65536ull - value;
    t3Overflow_ = t3From_ + counts * (8ull << (con & 7));
}

int C166Board::ExternalStates() const {
    // A bus cycle on the 16-bit demultiplexed bus: 2 states plus 15 - MCTC wait
    // states, plus one each while RWDC0 and MTTC0 are 0 (ch.9 "Programmable Bus
    // Characteristics").
    const uint16_t b = sfr_.count(kBuscon0) ? sfr_.at(kBuscon0) : 0;
    return 2 + (15 - (b & 15)) + ((b & 0x10) ? 0 : 1) + ((b & 0x20) ? 0 : 1);
}

uint16_t C166Board::ReadExternal(uint32_t addr) {
    // A1..A18 reach the flash; A19 and up are not wired, so it repeats every 512 KiB.
    const uint32_t offset = addr & (flash_.Part().Bytes() - 1);
    const uint64_t now = NowNs();
    const bool busy = flash_.Busy(now);
    const uint16_t v = flash_.Read(offset, now);
    Poll(busy);
    return v;
}

void C166Board::WriteExternal(uint32_t addr, uint16_t value, bool byte) {
    if (traits_.writeGate) {
        const uint16_t p2 = sfr_[kP2], dp2 = sfr_[kDp2];
        if (!(dp2 & kGatePin) || !(p2 & kGatePin)) {
            Misuse("flash write while P2.8 keeps its write enable off");
            return;
        }
    }
    const uint32_t offset = addr & (flash_.Part().Bytes() - 1);
    if (byte) flash_.NarrowWrite(offset, 1, NowNs());
    else flash_.Write(offset, value, NowNs());
}

// ---- end of a session ---------------------------------------------------------------

void C166Board::Summary() {
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "loaded program: %llu instructions, %.6f s emulated, %llu bytes in, %llu out, "
                  "%llu words programmed, %llu erases",
                  (unsigned long long)cpu_.Instructions(), double(NowNs()) / 1e9, (unsigned long long)bytesIn_,
                  (unsigned long long)bytesOut_, (unsigned long long)flash_.WordsProgrammed(),
                  (unsigned long long)flash_.Erases());
    io_.Log(buf);
    io_.Log(hostTime_.Line(cpu_.Instructions()));
    for (const auto& [what, count] : misuse_) io_.Log("misuse: " + what + " (" + std::to_string(count) + "x)");
    if (misuse_.empty()) io_.Log("misuse: none");
}

void C166Board::Reset() {
    if (rom_ == Rom::FirstStage)
        io_.Log("reset during the first stage: " + std::to_string(firstStage_) + " of 32 bytes received");
    if (rom_ == Rom::Running) Summary();
    if (rom_ == Rom::WaitZero && ignored_ > 1)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
    rom_ = Rom::WaitZero;
    baud_ = 0;
    ignored_ = 0;
    firstStage_ = 0;
    cpu_.Reset();
    flash_.Reset();
    flash_.ClearCounts();
    sfr_.clear();
    rx_.clear();
    rbufUnread_ = false;
    txBusy_ = tbufFull_ = false;
    txTir_ = 0;
    romBg_ = 0;
    ownRate_ = false;
    t3At_ = 0;
    t3From_ = 0;
    t3Overflow_ = UINT64_MAX;
    polls_ = 0;
    more_ = false;
    tie_.Release();
    hostTime_ = {};
    misuse_.clear();
    overruns_ = bytesIn_ = bytesOut_ = 0;
}

namespace {

const BoardRegistration kC167{{"c167", "C166/167 bootstrap loader (id 0x55), 810-byte loader on the C166 core, Am29F400BB 512 KiB",
                               [](const BoardConfig& c, BoardIo& io) { return MakeC166EmuBoard(kC167EmuBoard, c, io); }, 20}};
const BoardRegistration kC163{{"c163", "C163 bootstrap loader (id 0xD5), 702-byte loader on the C166 core, Am29F400BB 512 KiB",
                               [](const BoardConfig& c, BoardIo& io) { return MakeC166EmuBoard(kC163EmuBoard, c, io); }, 30}};

}  // namespace

}  // namespace qtx::sim
