#include "sim/xc164_board.h"

#include <cstdio>
#include <cstdlib>

namespace qtx::sim {

namespace {
// ASC0 SFRs and flags (C167CR Derivatives User's Manual V3.1, ch.11 "ASC0" and
// ch.5 interrupt control; the XC16x ASC0 keeps them, sibling XC161 Peripheral
// Units User's Manual V2.2, ch.18).
constexpr uint16_t kS0Tbuf = 0xFEB0, kS0Rbuf = 0xFEB2, kS0Bg = 0xFEB4, kS0Con = 0xFFB0, kS0Tic = 0xFF6C,
                   kS0Ric = 0xFF6E, kS0Tbic = 0xF19C;
constexpr uint16_t kIr = 0x80;       // interrupt request flag in xxIC registers
constexpr uint16_t kS0Oe = 0x0400;   // S0CON overrun error flag
constexpr int kPollsBeforeSkip = 4;
constexpr uint64_t kSliceInstructions = 2'000'000;

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

std::unique_ptr<Board> MakeXc164EmuBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Xc164Board>(config, io);
}

Xc164Board::Xc164Board(const BoardConfig& config, BoardIo& io)
    : config_(config), io_(io), flash_(config.verifyErrorAt),
      cpu_(*this, {0xF600, kClockHz, true}), psram_(kPsramBytes, 0) {}

Xc164Board::~Xc164Board() {
    if (rom_ == Rom::Running) Summary();
}

uint64_t Xc164Board::NowNs() const { return cpu_.States() * 1'000'000'000ull / kClockHz; }

void Xc164Board::SkipTo(uint64_t ns) {
    const uint64_t target = (ns * kClockHz + 999'999'999ull) / 1'000'000'000ull;
    if (target > cpu_.States()) cpu_.AddStates(target - cpu_.States());
}

uint32_t Xc164Board::AscBaud() const {
    // fCPU / (32 * (S0BG + 1)) with S0BRS = 0 (ch.11 "ASC0 Baud Rate Generation").
    const auto it = sfr_.find(kS0Bg);
    const uint32_t bg = it == sfr_.end() ? 0 : it->second & 0x1FFF;
    return kClockHz / (32 * (bg + 1));
}

uint64_t Xc164Board::CharNs() const { return 10ull * 1'000'000'000ull / AscBaud(); }

uint32_t Xc164Board::ListenBaud() const {
    if (rom_ == Rom::WaitZero) return kRomBaud;
    // A rate within 2.5 % of a standard one reads the host's bytes correctly.
    const uint32_t rate = AscBaud();
    for (uint32_t standard : {9600u, 19200u, 38400u, 57600u, 115200u})
        if (std::labs(long(rate) - long(standard)) * 40 <= long(standard)) return standard;
    return rate;
}

void Xc164Board::Misuse(const std::string& what) { ++misuse_[what]; }

// ---- the ROM bootstrap loader --------------------------------------------------

void Xc164Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero: {
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("boot loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        ignored_ = 0;
        // The ROM loader runs ASC0 at 19200 for this clock: S0BG = 32 (18 939 baud).
        sfr_[kS0Bg] = uint16_t((kClockHz + 16ull * kRomBaud) / (32ull * kRomBaud) - 1);
        sfr_[kS0Con] = 0x8011;
        const uint8_t id = config_.badId ? uint8_t(0xD5 ^ 0x80) : 0xD5;
        io_.Log("zero byte at " + std::to_string(hostBaud) + " baud: answered " + Hex(id) +
                (config_.badId ? " (bad-id fault)" : ""));
        io_.Send(id);
        ++bytesOut_;
        rom_ = Rom::FirstStage;
        firstStage_ = 0;
        lastLanding_ = NowNs();
        return;
    }
    case Rom::FirstStage:
        lastLanding_ = std::max(NowNs(), lastLanding_ + CharNs());
        SkipTo(lastLanding_);
        psram_[kImageStart - kPsramBase + firstStage_] = byte;
        if (++firstStage_ == 32) StartCore();
        return;
    case Rom::Running:
        ++bytesIn_;
        lastLanding_ = std::max(NowNs(), lastLanding_ + CharNs());
        rx_.emplace_back(lastLanding_, byte);
        Run();
        return;
    case Rom::Stopped:
        return;
    }
}

void Xc164Board::StartCore() {
    // What the ROM loader leaves is modelled on the C16x loaders (C161PI UM
    // p.15-2): register bank and stack in the DPRAM, S0CON 8011h, the identification
    // byte sent; the program starts at the first stored byte, in segment E0h.
    cpu_.SetSfr(0xFE10, 0xFA00);   // CP
    cpu_.SetSfr(0xFE12, 0xFA40);   // SP
    cpu_.SetSfr(0xFE16, 0xFA40);   // STKUN
    cpu_.SetSfr(0xFE14, 0xFA0C);   // STKOV
    cpu_.SetSfr(0xFE08, kImageStart >> 16);   // CSP
    cpu_.SetIp(uint16_t(kImageStart));
    sfr_[kS0Ric] = 0;
    sfr_[kS0Tic] = kIr;   // the identification byte has gone
    rom_ = Rom::Running;
    io_.Log("first stage received (32 bytes at 0xE00004): the core runs");
    Run();
}

// ---- running the core -------------------------------------------------------------

void Xc164Board::Advance() {
    const uint64_t now = NowNs();
    while (!rx_.empty() && rx_.front().first <= now) {
        if (rbufUnread_) {
            sfr_[kS0Con] |= kS0Oe;
            Misuse("ASC0 overrun: a received byte was lost");
        }
        rbuf_ = rx_.front().second;
        rbufUnread_ = true;
        sfr_[kS0Ric] |= kIr;
        rx_.pop_front();
    }
    if (txBusy_ && now >= txEnd_) {
        txBusy_ = false;
        sfr_[kS0Tic] |= kIr;
        if (tbufFull_) {
            tbufFull_ = false;
            Transmit(tbuf_);
        }
    }
}

void Xc164Board::Transmit(uint8_t byte) {
    io_.Send(byte);
    ++bytesOut_;
    txBusy_ = true;
    txEnd_ = NowNs() + CharNs();
    sfr_[kS0Tbic] |= kIr;
}

void Xc164Board::Poll(bool fruitless) { polls_ = fruitless ? polls_ + 1 : 0; }

void Xc164Board::Run() {
    more_ = false;
    for (uint64_t n = 0; n < kSliceInstructions; ++n) {
        Advance();
        if (!cpu_.Step()) {
            io_.Log("the core stopped: " + cpu_.Stopped());
            rom_ = Rom::Stopped;
            Summary();
            return;
        }
        if (polls_ < kPollsBeforeSkip) continue;
        polls_ = 0;
        uint64_t next = UINT64_MAX;
        if (!rx_.empty()) next = rx_.front().first;
        if (txBusy_) next = std::min(next, txEnd_);
        if (flash_.Busy(NowNs())) next = std::min(next, flash_.DoneAt());
        if (next != UINT64_MAX) {
            SkipTo(next);
            continue;
        }
        return;   // waiting for the host
    }
    more_ = true;
}

std::optional<Clock::time_point> Xc164Board::NextTimer() const {
    if (more_ && rom_ == Rom::Running) return io_.Now();
    return std::nullopt;
}

void Xc164Board::OnTimer() {
    if (more_ && rom_ == Rom::Running) Run();
}

// ---- peripherals and memories -------------------------------------------------------

uint16_t Xc164Board::ReadSfr(uint16_t addr) {
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
    default:
        return sfr_[addr];
    }
}

void Xc164Board::WriteSfr(uint16_t addr, uint16_t value) {
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
    case kS0Bg:
        if (txBusy_) Misuse("S0BG changed while a byte was being sent: that byte is garbled");
        sfr_[addr] = value;
        io_.Log("ASC0 now at " + std::to_string(AscBaud()) + " baud (S0BG " + std::to_string(value) + ")");
        return;
    default:
        sfr_[addr] = value;
        return;
    }
}

int Xc164Board::AccessStates(uint32_t addr) const {
    // PSRAM: no wait state; flash: one (assumed, the access times were not found).
    return flash_.Holds(addr) ? 1 : 0;
}

uint16_t Xc164Board::ReadExternal(uint32_t addr) {
    if (addr >= kPsramBase && addr < kPsramBase + kPsramBytes) {
        const uint32_t i = addr - kPsramBase;
        return uint16_t(psram_[i] | psram_[i + 1] << 8);
    }
    if (flash_.Holds(addr) || flash_.IsStatus(addr)) {
        const bool busy = flash_.Busy(NowNs());
        const uint16_t v = flash_.Read(addr, NowNs());
        Poll(addr == Xc16xFlash::kFsrBusy && busy);
        return v;
    }
    Misuse("read of unmapped address " + Hex(addr, 6));
    return 0xFFFF;
}

void Xc164Board::WriteExternal(uint32_t addr, uint16_t value, bool byte) {
    if (addr >= kPsramBase && addr < kPsramBase + kPsramBytes) {
        const uint32_t i = addr - kPsramBase;
        if (!byte || !(addr & 1)) psram_[i & ~1u] = uint8_t(value);
        if (!byte || (addr & 1)) psram_[i | 1u] = uint8_t(value >> 8);
        return;
    }
    if (flash_.Holds(addr) || flash_.IsStatus(addr)) {
        flash_.Write(addr, value, byte, NowNs());
        return;
    }
    Misuse("write to unmapped address " + Hex(addr, 6));
}

// ---- end of a session ---------------------------------------------------------------

void Xc164Board::Summary() {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "loaded program: %llu instructions, %.6f s emulated, %llu bytes in, %llu out, "
                  "%llu pages programmed, %llu sectors erased",
                  (unsigned long long)cpu_.Instructions(), double(NowNs()) / 1e9, (unsigned long long)bytesIn_,
                  (unsigned long long)bytesOut_, (unsigned long long)flash_.PagesProgrammed(),
                  (unsigned long long)flash_.SectorsErased());
    io_.Log(buf);
    for (const auto& [what, count] : misuse_) io_.Log("misuse: " + what + " (" + std::to_string(count) + "x)");
    for (const auto& what : flash_.Misuse()) io_.Log("misuse: flash: " + what);
    if (misuse_.empty() && flash_.Misuse().empty()) io_.Log("misuse: none");
}

void Xc164Board::Reset() {
    if (rom_ == Rom::FirstStage)
        io_.Log("reset during the first stage: " + std::to_string(firstStage_) + " of 32 bytes received");
    if (rom_ == Rom::Running) Summary();
    if (rom_ == Rom::WaitZero && ignored_ > 1)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before the zero byte");
    rom_ = Rom::WaitZero;
    ignored_ = 0;
    firstStage_ = 0;
    cpu_.Reset();
    flash_.Reset();
    sfr_.clear();
    rx_.clear();
    rbufUnread_ = false;
    txBusy_ = tbufFull_ = false;
    polls_ = 0;
    more_ = false;
    misuse_.clear();
    bytesIn_ = bytesOut_ = 0;
}

}  // namespace qtx::sim
