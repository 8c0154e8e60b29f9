#include "sim/xe167_board.h"

#include "sim/boards.h"

#include <cstdio>

namespace qtx::sim {

namespace {
// U0C0 register offsets ([HDR-XE], docs/xe167-facts.md 1a).
constexpr uint32_t kFdrl = 0x04, kKscfg = 0x0C, kCcr = 0x10, kBrgl = 0x1C, kBrgh = 0x1E, kSctrl = 0x30,
                   kSctrh = 0x32, kTcsrl = 0x3C, kPcrl = 0x40, kPsr = 0x44, kPscr = 0x48, kRbufsr = 0x58,
                   kRbuf = 0x5C, kTbuf00 = 0x80, kChannelBytes = 0x200;
// PSR in ASC mode, RBUFSR and TCSR bits ([XMC], docs/xe167-facts.md 1b).
constexpr uint16_t kRff = 1 << 7, kTff = 1 << 8, kDlif = 1 << 11, kTsif = 1 << 12, kTbif = 1 << 13,
                   kRif = 1 << 14;
constexpr uint16_t kRdv0 = 1 << 13, kRdv1 = 1 << 14, kSof = 1 << 6, kWlen8 = 7;
constexpr uint16_t kTdv = 1 << 7;

// The bootstrap loader's set-up is not documented in any stored source; this is
// what a measuring loader plausibly leaves (assumed): the channel in ASC mode,
// 8N1, the normal divider passing fSYS, 16 quanta per bit, and PDIV from the
// measured zero byte.
constexpr uint16_t kQuanta = 16;

// The 32 bytes at E0'0000h; erased flash reads 00h; the reserved sector at
// C0'F000h; the watchdog resets the chip about 0.21 s after the 32 bytes start
// (voledyaev/openm74 docs/PROTOCOL.md 9-38 and 388, FINDINGS.md 183-213;
// medium confidence for the XE167, measured on an XC2765X).
const Xc16xChip kXe167{"xe167", Xe167Board::kClockHz, 0, 0xE00000, 3, 16 * 1024, 0x00, true, 210'000'000};

std::string Hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

std::unique_ptr<Board> MakeXe167EmuBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Xe167Board>(config, io);
}

Xe167Board::Xe167Board(const BoardConfig& config, BoardIo& io) : Xc16xBoard(kXe167, config, io) {}

uint16_t Xe167Board::Reg(uint32_t offset) const {
    const auto it = regs_.find(offset);
    return it == regs_.end() ? 0 : it->second;
}

uint32_t Xe167Board::LineBaud() const {
    const uint16_t fdr = Reg(kFdrl);
    const uint32_t step = fdr & 0x3FF;
    double ffd = 0;
    if ((fdr >> 14) == 1) ffd = double(kClockHz) / (1024 - step);   // normal divider
    if ((fdr >> 14) == 2) ffd = double(kClockHz) * step / 1024;     // fractional divider
    const uint16_t brgl = Reg(kBrgl);
    const uint32_t pctq = (brgl >> 8) & 3, dctq = (brgl >> 10) & 0x1F, pdiv = Reg(kBrgh) & 0x3FF;
    const double rate = ffd / (double(pdiv + 1) * (pctq + 1) * (dctq + 1));
    return rate < 1 ? 1 : uint32_t(rate + 0.5);
}

void Xe167Board::RomSetUp(uint32_t hostBaud) {
    regs_[kKscfg] = 0x0003;
    regs_[kFdrl] = 0x43FF;
    regs_[kBrgl] = uint16_t((kQuanta - 1) << 10);
    regs_[kBrgh] = uint16_t((kClockHz + kQuanta * hostBaud / 2) / (kQuanta * hostBaud) - 1);
    regs_[kSctrl] = 0x0102;
    regs_[kSctrh] = 0x0707;
    regs_[kTcsrl] = 0x0500;
    regs_[kPcrl] = 0x0701;
    regs_[kCcr] = 0x0002;
    Log("U0C0 measured the zero byte: " + std::to_string(LineBaud()) + " baud (PDIV " +
        std::to_string(Reg(kBrgh)) + ")");
}

void Xe167Board::RomHandOver() {
    // The identification byte has gone and the 32 bytes were read: the flags
    // stay as those frames left them, the receive buffer is empty.
    psr_ = kTff | kTbif | kTsif | kRif | kRff;
    rbuf_.clear();
    // What the bootstrap loader's receive loop leaves (medium confidence,
    // voledyaev/openm74 docs/PROTOCOL.md 57-72): DPP1 = 81h maps 4000h..7FFFh
    // onto U0C0; R0, R1, R2 point at PSR, PSCR and RBUF through it.
    cpu_.SetSfr(0xFE02, 0x0081);   // DPP1
    cpu_.SetGpr(0, 0x4000 + kPsr);
    cpu_.SetGpr(1, 0x4000 + kPscr);
    cpu_.SetGpr(2, 0x4000 + kRbuf);
}

void Xe167Board::Land(uint8_t byte) {
    if (rbuf_.size() == 2) {
        psr_ |= kDlif;
        Misuse("U0C0 receive buffer overrun: a received byte was lost");
        Log("U0C0 overrun: the program was at " + Hex(cpu_.Ip(), 4) + " in its code segment");
        return;
    }
    rbuf_.emplace_back(nextSlot_, byte);
    nextSlot_ ^= 1;
    psr_ |= kRif | kRff;
}

void Xe167Board::StartFrame() {
    tdv_ = false;
    Transmit(uint8_t(tbuf_));
    psr_ |= kTbif | kTsif;
}

void Xe167Board::SentOne() {
    psr_ |= kTff;
    if (tdv_) StartFrame();
}

bool Xe167Board::UnitRead(uint32_t addr, bool sfr, uint16_t& value) {
    if (sfr || addr < kU0c0 || addr >= kU0c0 + kChannelBytes) return false;
    const uint32_t offset = addr - kU0c0;
    switch (offset) {
    case kPsr:
        Poll(Sending() && !(psr_ & kTff));
        value = psr_;
        return true;
    case kRbufsr: {
        Poll(rbuf_.empty());
        uint16_t v = rbuf_.empty() ? 0 : uint16_t(kSof | kWlen8);
        for (const auto& [slot, byte] : rbuf_) v |= slot ? kRdv1 : kRdv0;
        value = v;
        return true;
    }
    case kRbuf:
        Poll(false);
        if (!rbuf_.empty()) {
            lastRead_ = rbuf_.front().second;
            rbuf_.pop_front();
        }
        value = lastRead_;   // an empty buffer reads its last word again
        return true;
    case kTcsrl:
        Poll(tdv_ && Sending());
        value = uint16_t((Reg(kTcsrl) & ~kTdv) | (tdv_ ? kTdv : 0));
        return true;
    case kPscr:
        Misuse("read of the write-only U0C0 PSCR");
        value = 0;
        return true;
    default:
        value = Reg(offset);
        return true;
    }
}

bool Xe167Board::UnitWrite(uint32_t addr, bool sfr, uint16_t value, bool byte) {
    if (sfr || addr < kU0c0 || addr >= kU0c0 + kChannelBytes) return false;
    const uint32_t offset = (addr - kU0c0) & ~1u;
    if (byte) value = (addr & 1) ? uint16_t((Reg(offset) & 0x00FF) | (value & 0xFF00))
                                 : uint16_t((Reg(offset) & 0xFF00) | (value & 0x00FF));
    switch (offset) {
    case kPscr:
        psr_ &= uint16_t(~value);
        return true;
    case kPsr:
        psr_ = value;
        return true;
    case kRbufsr: case kRbuf:
        Misuse("write to the read-only U0C0 " + std::string(offset == kRbuf ? "RBUF" : "RBUFSR"));
        return true;
    case kTbuf00:
        if ((Reg(kCcr) & 0xF) != 2) {
            Misuse("TBUF written while U0C0 is not in ASC mode: nothing sent");
            return true;
        }
        if (tdv_) Misuse("TBUF written again before its word went to the shifter: a byte was lost");
        tbuf_ = value;
        tdv_ = true;
        if (!Sending()) StartFrame();
        return true;
    case kFdrl: case kBrgl: case kBrgh: case kPcrl: case kSctrl: case kSctrh: {
        if (Sending() || Receiving())
            Misuse("U0C0 rate or frame changed during a frame: that byte is garbled");
        const uint32_t before = LineBaud();
        regs_[offset] = value;
        if (LineBaud() != before)
            Log("U0C0 now at " + std::to_string(LineBaud()) + " baud (BRGH " + Hex(Reg(kBrgh), 4) + ")");
        return true;
    }
    default:
        if (offset >= kTbuf00 && offset < kTbuf00 + 0x80) {
            Misuse("write to U0C0 TBUF" + std::to_string((offset - kTbuf00) / 4) + ": the model knows TBUF00 only");
            return true;
        }
        regs_[offset] = value;
        return true;
    }
}

void Xe167Board::UnitReset() {
    regs_.clear();
    rbuf_.clear();
    nextSlot_ = 0;
    lastRead_ = 0;
    psr_ = 0;
    tdv_ = false;
}

namespace {

const BoardRegistration kRegistered{{"xe167", "XE167 UART bootstrap loader (measured rate, id 0xD5), 2074-byte loader on the C166 core at 57600, USIC, 768 KiB on-chip flash", MakeXe167EmuBoard, 70}};

}  // namespace

}  // namespace qtx::sim
