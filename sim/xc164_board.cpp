#include "sim/xc164_board.h"

#include "sim/boards.h"

namespace qtx::sim {

namespace {
// ASC0 SFRs and flags (C167CR Derivatives User's Manual V3.1, ch.11 "ASC0" and
// ch.5 interrupt control; the XC16x ASC0 keeps them, sibling XC161 Peripheral
// Units User's Manual V2.2, ch.18).
constexpr uint16_t kS0Tbuf = 0xFEB0, kS0Rbuf = 0xFEB2, kS0Bg = 0xFEB4, kS0Con = 0xFFB0, kS0Tic = 0xFF6C,
                   kS0Ric = 0xFF6E, kS0Tbic = 0xF19C;
constexpr uint16_t kIr = 0x80;       // interrupt request flag in xxIC registers
constexpr uint16_t kS0Oe = 0x0400;   // S0CON overrun error flag

// Erased cells and the watchdog as the XC16x manual would say are not known:
// FFh assumed, no watchdog modelled, no reserved range.
const Xc16xChip kXc164{"xc164", Xc164Board::kClockHz, Xc164Board::kRomBaud, 0xE00004, 1, 6 * 1024, 0xFF, false, 0};
}  // namespace

std::unique_ptr<Board> MakeXc164EmuBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Xc164Board>(config, io);
}

Xc164Board::Xc164Board(const BoardConfig& config, BoardIo& io) : Xc16xBoard(kXc164, config, io) {}

uint32_t Xc164Board::LineBaud() const {
    // fCPU / (32 * (S0BG + 1)) with S0BRS = 0 (ch.11 "ASC0 Baud Rate Generation").
    const auto it = asc_.find(kS0Bg);
    const uint32_t bg = it == asc_.end() ? 0 : it->second & 0x1FFF;
    return kClockHz / (32 * (bg + 1));
}

void Xc164Board::RomSetUp(uint32_t) {
    // The ROM loader runs ASC0 at 19200 for this clock: S0BG = 32 (18 939 baud),
    // whatever rate the zero byte came at.
    asc_[kS0Bg] = uint16_t((kClockHz + 16ull * kRomBaud) / (32ull * kRomBaud) - 1);
    asc_[kS0Con] = 0x8011;
}

void Xc164Board::RomHandOver() {
    // S0CON 8011h as set up; the identification byte has gone (C161PI UM p.15-2).
    asc_[kS0Ric] = 0;
    asc_[kS0Tic] = kIr;
}

void Xc164Board::Land(uint8_t byte) {
    if (rbufUnread_) {
        asc_[kS0Con] |= kS0Oe;
        Misuse("ASC0 overrun: a received byte was lost");
    }
    rbuf_ = byte;
    rbufUnread_ = true;
    asc_[kS0Ric] |= kIr;
}

void Xc164Board::SentOne() {
    asc_[kS0Tic] |= kIr;
    if (tbufFull_) {
        tbufFull_ = false;
        Transmit(tbuf_);
        asc_[kS0Tbic] |= kIr;
    }
}

bool Xc164Board::UnitRead(uint32_t addr, bool sfr, uint16_t& value) {
    if (!sfr) return false;
    switch (addr) {
    case kS0Rbuf:
        rbufUnread_ = false;
        Poll(false);
        value = rbuf_;
        return true;
    case kS0Ric:
        Poll(!(asc_[kS0Ric] & kIr));
        value = asc_[kS0Ric];
        return true;
    case kS0Tic:
        Poll(!(asc_[kS0Tic] & kIr) && Sending());
        value = asc_[kS0Tic];
        return true;
    case kS0Tbuf: case kS0Bg: case kS0Con: case kS0Tbic:
        value = asc_[uint16_t(addr)];
        return true;
    default:
        return false;
    }
}

bool Xc164Board::UnitWrite(uint32_t addr, bool sfr, uint16_t value, bool) {
    if (!sfr) return false;
    switch (addr) {
    case kS0Tbuf:
        asc_[kS0Tbuf] = value;
        if (!Sending()) {
            Transmit(uint8_t(value));
            asc_[kS0Tbic] |= kIr;
        } else if (!tbufFull_) {
            tbufFull_ = true;
            tbuf_ = uint8_t(value);
        } else {
            tbuf_ = uint8_t(value);
            Misuse("S0TBUF written again before its byte was sent: a byte was lost");
        }
        return true;
    case kS0Rbuf:
        Misuse("write to the read-only S0RBUF");
        return true;
    case kS0Bg:
        if (Sending()) Misuse("S0BG changed while a byte was being sent: that byte is garbled");
        asc_[kS0Bg] = value;
        Log("ASC0 now at " + std::to_string(LineBaud()) + " baud (S0BG " + std::to_string(value) + ")");
        return true;
    case kS0Con: case kS0Tic: case kS0Ric: case kS0Tbic:
        asc_[uint16_t(addr)] = value;
        return true;
    default:
        return false;
    }
}

void Xc164Board::UnitReset() {
    asc_.clear();
    rbufUnread_ = false;
    tbufFull_ = false;
}

namespace {

const BoardRegistration kRegistered{{"xc164", "XC164/167 bootstrap loader at 19200 (id 0xD5), 1854-byte loader on the C166 core at 57600, 256 KiB on-chip flash", MakeXc164EmuBoard, 50}};

}  // namespace

}  // namespace qtx::sim
