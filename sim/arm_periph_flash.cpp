#include "sim/arm_periph_flash.h"

#include <algorithm>

namespace qtx::sim {

namespace {
constexpr EmuNs kMs = 1000000;
}  // namespace

uint8_t ProgrammedCell(uint8_t old, uint8_t value, bool stuck) {
    if (stuck) {
        const uint8_t clear = uint8_t(~value);
        value |= uint8_t(clear & (0u - clear));
    }
    return uint8_t(old & value);
}

// ---- STM32F4 ------------------------------------------------------------------------

namespace {
// RM0090 3.9.4 FLASH_SR, 3.9.5 FLASH_CR.
constexpr uint32_t kEop = 1u << 0, kOperr = 1u << 1, kWrperr = 1u << 4, kPgaerr = 1u << 5, kPgperr = 1u << 6,
                   kPgserr = 1u << 7, kBsy = 1u << 16;
constexpr uint32_t kPg = 1u << 0, kSer = 1u << 1, kMer = 1u << 2, kStrt = 1u << 16, kEopie = 1u << 24,
                   kLock = 1u << 31;
constexpr uint32_t kKey1 = 0x45670123u, kKey2 = 0xCDEF89ABu;   // RM0090 3.5.1

// RM0090 3.3 Table 5.
uint32_t SectorStart(uint32_t s) { return s <= 4 ? s * 0x4000u : (s - 4) * 0x20000u; }
uint32_t SectorSize(uint32_t s) { return s < 4 ? 0x4000u : s == 4 ? 0x10000u : 0x20000u; }

// DS8626 (STM32F405xx/407xx datasheet) "Flash memory programming", typical
// values by PSIZE x8/x16/x32 (x64 as x32: it needs VPP).
EmuNs EraseTime(uint32_t sectorSize, uint32_t psize) {
    const int col = std::min<uint32_t>(psize, 2);
    static const EmuNs k16[3] = {400 * kMs, 300 * kMs, 250 * kMs};
    static const EmuNs k64[3] = {1200 * kMs, 700 * kMs, 550 * kMs};
    static const EmuNs k128[3] = {2000 * kMs, 1300 * kMs, 1000 * kMs};
    return sectorSize == 0x4000 ? k16[col] : sectorSize == 0x10000 ? k64[col] : k128[col];
}
constexpr EmuNs kMassErase[3] = {16000 * kMs, 11000 * kMs, 8000 * kMs};
constexpr EmuNs kWordProgram = 16000;   // 16 us typical, any PSIZE
}  // namespace

Stm32Flash::Stm32Flash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck)
    : cpu_(cpu), flash_(flash), stuck_(std::move(stuck)) {
    array_.f = this;
    sizeRegister_.kib = uint16_t(flash.Size() / 1024);
    sizeRegister_.fieldOffset = 2;  // the window starts at 0x1FFF7A20; F_SIZE is at 0x1FFF7A22
}

uint32_t FlashSizeView::Read(uint32_t offset, unsigned size) {
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) {
        const uint32_t at = offset + i;
        const uint8_t b = at == fieldOffset ? uint8_t(kib) : at == fieldOffset + 1 ? uint8_t(kib >> 8) : 0;
        v |= uint32_t(b) << (8 * i);
    }
    return v;
}

bool Stm32Flash::Busy() { return cpu_.Now() < busyUntil_; }

void Stm32Flash::WaitIfBusy(const char* what) {
    if (!Busy()) return;
    // The bus stalls until BSY clears (RM0090 3.6.1 note); a loader that
    // relies on it cannot poll for errors in between.
    cpu_.Misuse("access to busy flash", what);
    cpu_.AdvanceTo(busyUntil_);
}

uint32_t Stm32Flash::Read(uint32_t offset, unsigned) {
    switch (offset) {
    case 0x0C: {
        uint32_t sr = sr_;
        if (Busy()) {
            sr |= kBsy;
            cpu_.IdlePoll(busyUntil_);
        } else if (eopPending_) {
            sr_ |= kEop;
            sr |= kEop;
            eopPending_ = false;
        }
        return sr;
    }
    case 0x10: return cr_ | (locked_ ? kLock : 0);
    default: return 0;
    }
}

void Stm32Flash::Write(uint32_t offset, unsigned, uint32_t value) {
    switch (offset) {
    case 0x04:   // KEYR
        if (lockedUntilReset_) return;
        if (keyStage_ == 0 && value == kKey1 && locked_) {
            keyStage_ = 1;
        } else if (keyStage_ == 1 && value == kKey2) {
            keyStage_ = 0;
            locked_ = false;
            cr_ &= ~kLock;
        } else {
            // RM0090 3.5.1: a wrong sequence gives a bus error and locks FLASH_CR until reset.
            cpu_.Misuse("wrong flash key sequence", HexWord(value));
            lockedUntilReset_ = true;
            locked_ = true;
        }
        return;
    case 0x0C:   // SR: write 1 to clear
        sr_ &= ~(value & (kEop | kOperr | kWrperr | kPgaerr | kPgperr | kPgserr));
        return;
    case 0x10:   // CR
        WaitIfBusy("FLASH_CR written while BSY");
        if (locked_) {
            cpu_.Misuse("flash written without unlock", "FLASH_CR := " + HexWord(value));
            return;
        }
        cr_ = value & ~kStrt;
        if (value & kLock) locked_ = true;
        if (value & kStrt) StartOperation();
        return;
    default:
        return;
    }
}

void Stm32Flash::StartOperation() {
    const uint32_t psize = (cr_ >> 8) & 3;
    EmuNs duration = 0;
    if ((cr_ & kSer) && (cr_ & kMer)) {
        cpu_.Misuse("flash erase with SER and MER", "neither is performed (RM0090 3.5.3)");
        return;
    }
    if (cr_ & kSer) {
        const uint32_t snb = (cr_ >> 3) & 0xF;
        if (snb >= 12 || SectorStart(snb) >= flash_.Size()) {
            cpu_.Misuse("erase of a sector the part does not have", "SNB " + std::to_string(snb));
            sr_ |= kPgserr;
            return;
        }
        for (uint32_t i = 0; i < SectorSize(snb); ++i) flash_.Force(SectorStart(snb) + i, 0xFF);
        duration = EraseTime(SectorSize(snb), psize);
    } else if (cr_ & kMer) {
        flash_.Erase();
        duration = kMassErase[std::min<uint32_t>(psize, 2)];
    } else {
        cpu_.Misuse("flash STRT without SER or MER", "FLASH_CR " + HexWord(cr_));
        return;
    }
    busyUntil_ = cpu_.Now() + duration;
    eopPending_ = (cr_ & kEopie) != 0;
    cpu_.Progress();
}

uint32_t Stm32Flash::ArrayRead(uint32_t offset, unsigned size) {
    WaitIfBusy("flash read while BSY");
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(flash_.Read(offset + i)) << (8 * i);
    return v;
}

void Stm32Flash::ArrayWrite(uint32_t offset, unsigned size, uint32_t value) {
    WaitIfBusy("flash written while BSY");
    const uint32_t width = 1u << ((cr_ >> 8) & 3);
    if (locked_ || !(cr_ & kPg)) {
        // RM0090 3.9.4 PGSERR: a write while the control register is not set up for it.
        cpu_.Misuse(locked_ ? "flash written without unlock" : "flash written without PG",
                    "at " + HexWord(0x08000000u + offset));
        sr_ |= kPgserr;
        return;
    }
    if (size != width) {
        cpu_.Misuse("flash write width differs from PSIZE",
                    std::to_string(size) + " bytes with PSIZE " + std::to_string(width));
        sr_ |= kPgperr;
        return;
    }
    if (offset % size != 0) {
        sr_ |= kPgaerr;
        return;
    }
    bool overProgrammed = false;
    for (unsigned i = 0; i < size; ++i) {
        const uint32_t at = offset + i;
        const uint8_t old = flash_.Read(at), b = uint8_t(value >> (8 * i));
        overProgrammed |= old != 0xFF && b != 0xFF;
        flash_.Force(at, ProgrammedCell(old, b, stuck_.count(at) != 0));
    }
    if (overProgrammed) cpu_.Misuse("programming a non-erased cell", "at " + HexWord(0x08000000u + offset));
    busyUntil_ = cpu_.Now() + kWordProgram;
    eopPending_ = (cr_ & kEopie) != 0;
    cpu_.Progress();
}

// ---- SAM3 EEFC ------------------------------------------------------------------------

namespace {
constexpr uint32_t kFrdy = 1u << 0, kFcmde = 1u << 1, kFlocke = 1u << 2;
constexpr uint32_t kKey = 0x5A;
enum : uint32_t { kGetd = 0x00, kWp = 0x01, kWpl = 0x02, kEwp = 0x03, kEwpl = 0x04, kEa = 0x05, kSlb = 0x08,
                  kClb = 0x09, kGlb = 0x0A, kSgpb = 0x0B, kCgpb = 0x0C, kGgpb = 0x0D };
// Program cycle times, typical, from the SAM3X/A datasheet's flash
// characteristics (sibling; the SAM3U/SAM3S datasheets were not available).
constexpr EmuNs kWritePage = 2300000;        // 2.3 ms without auto-erase
constexpr EmuNs kEraseWritePage = 4600000;   // 4.6 ms including auto-erase
constexpr EmuNs kEraseAll = 10 * kMs;
}  // namespace

Sam3Eefc::Sam3Eefc(ArmCpu& cpu, FlashModel& flash, uint32_t modelOffset, uint32_t planeSize, std::set<uint32_t> stuck)
    : cpu_(cpu), flash_(flash), modelOffset_(modelOffset), planeSize_(planeSize), stuck_(std::move(stuck)) {
    plane_.e = this;
    // The latch holds no known value after power-up (SAM4E 21.4.3.2, same EEFC).
    uint32_t x = 0x6D2B79F5u;
    for (auto& b : latch_) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
}

bool Sam3Eefc::Busy() { return cpu_.Now() < busyUntil_; }

uint32_t Sam3Eefc::Read(uint32_t offset, unsigned) {
    switch (offset) {
    case 0x00: return fmr_;
    case 0x08: {
        if (Busy()) {
            cpu_.IdlePoll(busyUntil_);
            return fsrErrors_;
        }
        const uint32_t fsr = kFrdy | fsrErrors_;
        fsrErrors_ = 0;   // FCMDE and FLOCKE clear when read
        return fsr;
    }
    case 0x0C: return frr_;
    default: return 0;
    }
}

void Sam3Eefc::Write(uint32_t offset, unsigned, uint32_t value) {
    if (offset == 0x00) {
        fmr_ = value;
    } else if (offset == 0x04) {
        Command(value);
    }
}

void Sam3Eefc::Command(uint32_t value) {
    const uint32_t cmd = value & 0xFF, arg = (value >> 8) & 0xFFFF;
    if (Busy()) {
        cpu_.Misuse("flash command while busy", "FCR := " + HexWord(value));
        return;
    }
    if ((value >> 24) != kKey) {
        cpu_.Misuse("flash command without key", "FCR := " + HexWord(value));
        fsrErrors_ |= kFcmde;
        return;
    }
    cpu_.Progress();
    switch (cmd) {
    case kEwp:
    case kEwpl:
    case kWp:
    case kWpl:
        if (arg >= planeSize_ / kPage) {
            cpu_.Misuse("flash command for a page the plane does not have", "page " + std::to_string(arg));
            fsrErrors_ |= kFcmde;
            return;
        }
        if (cmd == kEwp || cmd == kEwpl)
            for (uint32_t i = 0; i < kPage; ++i) flash_.Force(modelOffset_ + arg * kPage + i, 0xFF);
        if (cmd == kWpl || cmd == kEwpl) cpu_.Misuse("lock bits changed", "command " + std::to_string(cmd));
        ProgramLatch(arg);
        busyUntil_ = cpu_.Now() + (cmd == kEwp || cmd == kEwpl ? kEraseWritePage : kWritePage);
        return;
    case kEa:
        for (uint32_t i = 0; i < planeSize_; ++i) flash_.Force(modelOffset_ + i, 0xFF);
        busyUntil_ = cpu_.Now() + kEraseAll;
        return;
    case kSlb:
    case kClb:
        cpu_.Misuse("lock bits changed", "FCR := " + HexWord(value));
        return;
    case kSgpb:
    case kCgpb:
        cpu_.Misuse("GPNVM bit changed", "FCR := " + HexWord(value));
        return;
    case kGlb:
    case kGgpb:
        frr_ = 0;
        return;
    case kGetd:
    default:
        cpu_.Misuse("flash command not modelled", "FCR := " + HexWord(value));
        fsrErrors_ |= kFcmde;
        return;
    }
}

void Sam3Eefc::ProgramLatch(uint32_t page) {
    bool overProgrammed = false;
    for (uint32_t i = 0; i < kPage; ++i) {
        const uint32_t at = modelOffset_ + page * kPage + i;
        const uint8_t old = flash_.Read(at), b = latch_[i];
        overProgrammed |= old != 0xFF && b != 0xFF;
        flash_.Force(at, ProgrammedCell(old, b, stuck_.count(at) != 0));
    }
    if (overProgrammed) cpu_.Misuse("programming a non-erased cell", "page " + std::to_string(page));
    // Written with ones after every programming command (SAM4E 21.4.3.2).
    std::fill(std::begin(latch_), std::end(latch_), 0xFF);
    lastLatchWord_ = -1;
}

uint32_t Sam3Eefc::PlaneRead(uint32_t offset, unsigned size) {
    if (Busy()) cpu_.Misuse("flash read while busy", "at plane offset " + HexWord(offset));
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(flash_.Read(modelOffset_ + offset + i)) << (8 * i);
    return v;
}

void Sam3Eefc::PlaneWrite(uint32_t offset, unsigned size, uint32_t value) {
    if (size != 4) {
        cpu_.Misuse("byte or half-word write to the latch buffer", "at plane offset " + HexWord(offset));
        return;
    }
    if (Busy()) cpu_.Misuse("latch buffer written while busy", "at plane offset " + HexWord(offset));
    // Words go in continuously, ascending or descending (SAM4E 21.4.3.2, same EEFC).
    const int word = int(offset % kPage) / 4;
    if (lastLatchWord_ >= 0 && word != lastLatchWord_ + 1 && word != lastLatchWord_ - 1)
        cpu_.Misuse("latch buffer written out of order", "word " + std::to_string(word));
    lastLatchWord_ = word;
    for (int i = 0; i < 4; ++i) latch_[word * 4 + i] = uint8_t(value >> (8 * i));
}

}  // namespace qtx::sim
