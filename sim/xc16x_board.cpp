#include "sim/xc16x_board.h"

#include <cstdio>
#include <cstdlib>

namespace qtx::sim {

namespace {
constexpr int kPollsBeforeSkip = 4;
constexpr uint64_t kSliceInstructions = 2'000'000;
// How often a paced board looks whether its core ran ahead of the wall.
constexpr uint64_t kWallCheckInstructions = 4096;

std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

Xc16xBoard::Xc16xBoard(const Xc16xChip& chip, const BoardConfig& config, BoardIo& io)
    : cpu_(*this, {0xF600, chip.clockHz, true}), tie_(config.paced), chip_(chip), config_(config), io_(io),
      flash_(config.verifyErrorAt, {chip.flashModules, chip.erasedByte, chip.reservedC0F000, config.wideErase}),
      psram_(chip.psramBytes, 0) {}

Xc16xBoard::~Xc16xBoard() {
    if (rom_ == Rom::Running) Summary();
}

uint64_t Xc16xBoard::NowNs() const { return cpu_.States() * 1'000'000'000ull / chip_.clockHz; }

void Xc16xBoard::SkipTo(uint64_t ns) {
    const uint64_t target = (ns * chip_.clockHz + 999'999'999ull) / 1'000'000'000ull;
    if (target > cpu_.States()) cpu_.AddStates(target - cpu_.States());
}

uint64_t Xc16xBoard::CharNs() const { return 10ull * 1'000'000'000ull / LineBaud(); }

uint32_t Xc16xBoard::ListenBaud() const {
    if (rom_ == Rom::WaitZero) return chip_.romBaud;   // 0: any, the ROM measures it
    // A rate within 2.5 % of a standard one reads the host's bytes correctly.
    const uint32_t rate = LineBaud();
    for (uint32_t standard : {9600u, 19200u, 38400u, 57600u, 115200u})
        if (std::labs(long(rate) - long(standard)) * 40 <= long(standard)) return standard;
    return rate;
}

bool Xc16xBoard::Receiving() const {
    const uint64_t now = NowNs();
    return !rx_.empty() && rx_.front().first > now && rx_.front().first <= now + CharNs();
}

void Xc16xBoard::Misuse(const std::string& what) { ++misuse_[what]; }

// ---- the ROM bootstrap loader --------------------------------------------------

void Xc16xBoard::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::WaitZero: {
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("boot loader waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        ignored_ = 0;
        RomSetUp(hostBaud);
        const uint8_t id = config_.badId ? uint8_t(0xD5 ^ 0x80) : 0xD5;
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
    case Rom::FirstStage:
        lastLanding_ = std::max(tie_.CatchUp(NowNs(), io_.Now()), lastLanding_ + CharNs());
        SkipTo(lastLanding_);
        psram_[chip_.imageStart - kPsramBase + firstStage_] = byte;
        if (++firstStage_ == 32) StartCore();
        return;
    case Rom::Running:
        ++bytesIn_;
        lastLanding_ = std::max(tie_.CatchUp(NowNs(), io_.Now()), lastLanding_ + CharNs());
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

void Xc16xBoard::StartCore() {
    // What the ROM loader leaves is modelled on the C16x loaders (C161PI UM
    // p.15-2): register bank and stack in the DPRAM; the program starts at the
    // first stored byte, in the PSRAM's segment.
    cpu_.SetSfr(0xFE10, 0xFA00);   // CP
    cpu_.SetSfr(0xFE12, 0xFA40);   // SP
    cpu_.SetSfr(0xFE16, 0xFA40);   // STKUN
    cpu_.SetSfr(0xFE14, 0xFA0C);   // STKOV
    cpu_.SetSfr(0xFE08, uint16_t(chip_.imageStart >> 16));   // CSP
    cpu_.SetIp(uint16_t(chip_.imageStart));
    RomHandOver();
    rom_ = Rom::Running;
    einit_ = false;
    wdtRunning_ = chip_.watchdogNs != 0;
    wdtDeadline_ = NowNs() + chip_.watchdogNs;
    io_.Log("first stage received (32 bytes at " + Hex(chip_.imageStart, 6) + "): the core runs");
    Run();
}

// ---- running the core -------------------------------------------------------------

void Xc16xBoard::Advance() {
    const uint64_t now = NowNs();
    while (!rx_.empty() && rx_.front().first <= now) {
        const uint8_t byte = rx_.front().second;
        rx_.pop_front();
        Land(byte);
    }
    if (txBusy_ && now >= txEnd_) {
        txBusy_ = false;
        SentOne();
    }
}

void Xc16xBoard::Transmit(uint8_t byte) {
    io_.Send(byte);
    ++bytesOut_;
    txBusy_ = true;
    txEnd_ = NowNs() + CharNs();
}

void Xc16xBoard::Run() {
    const HostTimer::Scope timing(hostTime_);
    more_ = false;
    tie_.Release();
    for (uint64_t n = 0; n < kSliceInstructions; ++n) {
        Advance();
        if (WatchdogFired()) return;
        if (!cpu_.Step()) {
            io_.Log("the core stopped: " + cpu_.Stopped());
            rom_ = Rom::Stopped;
            Summary();
            return;
        }
        if (n % kWallCheckInstructions == 0 && tie_.Ahead(NowNs(), io_.Now())) return;
        if (polls_ < kPollsBeforeSkip) continue;
        polls_ = 0;
        uint64_t next = UINT64_MAX;
        if (!rx_.empty()) next = rx_.front().first;
        if (txBusy_) next = std::min(next, txEnd_);
        if (flash_.Busy(NowNs())) next = std::min(next, flash_.DoneAt());
        if (next != UINT64_MAX && wdtRunning_) next = std::min(next, wdtDeadline_);
        if (next != UINT64_MAX) {
            const uint64_t to = tie_.SkipTarget(next, io_.Now());
            SkipTo(to);
            if (to < next) return;   // held until the wall reaches the event
            continue;
        }
        tie_.Idle();
        return;   // waiting for the host
    }
    more_ = true;
}

std::optional<Clock::time_point> Xc16xBoard::NextTimer() const {
    // Due at once. Not io_.Now(): read after the rig's own clock, that lies a
    // little in its future on every look, and a program that runs longer than
    // a slice without touching the line would never be resumed.
    if (rom_ != Rom::Running) return std::nullopt;
    if (more_) return Clock::time_point{};
    return tie_.Held();
}

void Xc16xBoard::OnTimer() {
    if (rom_ != Rom::Running) return;
    if (more_ || (tie_.Held() && *tie_.Held() <= io_.Now())) Run();
}

// ---- the watchdog -------------------------------------------------------------------

void Xc16xBoard::WatchdogInstruction(const std::string& m) {
    if (m == "einit") einit_ = true;
    if (m == "diswdt" && !einit_) wdtRunning_ = false;   // after EINIT DISWDT does nothing
    if (m == "srvwdt" || m == "enwdt") {
        if (m == "enwdt") wdtRunning_ = chip_.watchdogNs != 0;
        wdtDeadline_ = NowNs() + chip_.watchdogNs;
    }
}

bool Xc16xBoard::WatchdogFired() {
    if (!wdtRunning_ || NowNs() < wdtDeadline_) return false;
    char buf[160];
    std::snprintf(buf, sizeof buf,
                  "watchdog reset at %.3f s emulated: the program neither disabled nor served it; the bootstrap "
                  "loader does not come back until power-on",
                  double(NowNs()) / 1e9);
    io_.Log(buf);
    rom_ = Rom::Stopped;
    wdtRunning_ = false;
    more_ = false;
    Summary();
    return true;
}

// ---- peripherals and memories -------------------------------------------------------

uint16_t Xc16xBoard::ReadSfr(uint16_t addr) {
    uint16_t v = 0;
    if (UnitRead(addr, true, v)) return v;
    return sfr_[addr];
}

void Xc16xBoard::WriteSfr(uint16_t addr, uint16_t value) {
    if (!UnitWrite(addr, true, value, false)) sfr_[addr] = value;
}

int Xc16xBoard::AccessStates(uint32_t addr) const {
    // PSRAM: no wait state; flash: one (assumed, the access times were not found).
    return flash_.Holds(addr) ? 1 : 0;
}

uint16_t Xc16xBoard::ReadExternal(uint32_t addr) {
    if (addr >= kPsramBase && addr < kPsramBase + psram_.size()) {
        const uint32_t i = addr - kPsramBase;
        return uint16_t(psram_[i] | psram_[i + 1] << 8);
    }
    if (flash_.Holds(addr) || flash_.IsStatus(addr)) {
        const bool busy = flash_.Busy(NowNs());
        const uint16_t v = flash_.Read(addr, NowNs());
        Poll(addr == Xc16xFlash::kFsrBusy && busy);
        return v;
    }
    uint16_t v = 0;
    if (UnitRead(addr, false, v)) return v;
    Misuse("read of unmapped address " + Hex(addr, 6));
    return 0xFFFF;
}

uint16_t Xc16xBoard::FetchExternal(uint32_t addr) {
    uint16_t word = ReadExternal(addr);
    if (stores_.empty() || addr < kPsramBase || addr >= kPsramBase + psram_.size()) return word;
    // The C166S V2 fetch unit reads 64 bits at a time ahead of execution into a
    // FIFO of up to six instructions and follows unconditional jumps at
    // prefetch ("XC2200 Derivatives System Units" UM V2.1, 4.2): a word stored
    // by one of the last fetchAhead instructions may have been fetched before
    // the store. This model takes the oldest such value, the worst case.
    const uint32_t offset = addr - kPsramBase;
    const uint64_t now = cpu_.Instructions();
    const uint16_t current = word;
    bool seen[2] = {false, false};
    for (const Store& s : stores_) {   // oldest first: the value fetched before them all
        const unsigned half = s.offset & 1;
        if (now - s.at > config_.fetchAhead || (s.offset & ~1u) != offset || seen[half]) continue;
        seen[half] = true;
        word = uint16_t((word & ~(0xFF << (8 * half))) | s.old << (8 * half));
    }
    if (word != current) ++staleRuns_;
    return word;
}

void Xc16xBoard::WriteExternal(uint32_t addr, uint16_t value, bool byte) {
    if (addr >= kPsramBase && addr < kPsramBase + psram_.size()) {
        const uint32_t i = addr - kPsramBase;
        if (config_.fetchAhead) {
            const uint64_t now = cpu_.Instructions();
            while (!stores_.empty() && now - stores_.front().at > config_.fetchAhead) stores_.pop_front();
            if (!byte || !(addr & 1)) stores_.push_back({now, i & ~1u, psram_[i & ~1u]});
            if (!byte || (addr & 1)) stores_.push_back({now, i | 1u, psram_[i | 1u]});
        }
        if (!byte || !(addr & 1)) psram_[i & ~1u] = uint8_t(value);
        if (!byte || (addr & 1)) psram_[i | 1u] = uint8_t(value >> 8);
        return;
    }
    if (flash_.Holds(addr) || flash_.IsStatus(addr)) {
        flash_.Write(addr, value, byte, NowNs());
        return;
    }
    if (UnitWrite(addr, false, value, byte)) return;
    Misuse("write to unmapped address " + Hex(addr, 6));
}

// ---- end of a session ---------------------------------------------------------------

void Xc16xBoard::Summary() {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "loaded program: %llu instructions, %.6f s emulated, %llu bytes in, %llu out, "
                  "%llu pages programmed, %llu sectors erased",
                  (unsigned long long)cpu_.Instructions(), double(NowNs()) / 1e9, (unsigned long long)bytesIn_,
                  (unsigned long long)bytesOut_, (unsigned long long)flash_.PagesProgrammed(),
                  (unsigned long long)flash_.SectorsErased());
    io_.Log(buf);
    io_.Log(hostTime_.Line(cpu_.Instructions()));
    for (const auto& [what, count] : misuse_) io_.Log("misuse: " + what + " (" + std::to_string(count) + "x)");
    for (const auto& what : flash_.Misuse()) io_.Log("misuse: flash: " + what);
    if (misuse_.empty() && flash_.Misuse().empty()) io_.Log("misuse: none");
    if (config_.fetchAhead)
        io_.Log("fetch ahead " + std::to_string(config_.fetchAhead) + ": " + std::to_string(staleRuns_) +
                " instruction words ran as they were before a store");
}

void Xc16xBoard::Reset() {
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
    txBusy_ = false;
    stores_.clear();
    staleRuns_ = 0;
    wdtRunning_ = false;
    einit_ = false;
    polls_ = 0;
    more_ = false;
    tie_.Release();
    hostTime_ = {};
    misuse_.clear();
    bytesIn_ = bytesOut_ = 0;
    UnitReset();
}

}  // namespace qtx::sim
