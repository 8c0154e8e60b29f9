#include "sim/stm32f1_flash.h"

#include <stdexcept>
#include <string>

#include "sim/arm_periph_flash.h"

namespace qtx::sim {

namespace {
// PM0075 3.4 FLASH_SR, 3.5 FLASH_CR.
constexpr uint32_t kBsy = 1u << 0, kPgerr = 1u << 2, kWrprterr = 1u << 4, kEop = 1u << 5;
constexpr uint32_t kPg = 1u << 0, kPer = 1u << 1, kMer = 1u << 2, kOptpg = 1u << 4, kOpter = 1u << 5,
                   kStrt = 1u << 6, kLock = 1u << 7, kOptwre = 1u << 9, kErrie = 1u << 10, kEopie = 1u << 12;
constexpr uint32_t kKey1 = 0x45670123u, kKey2 = 0xCDEF89ABu;   // PM0075 2.3.1
constexpr uint32_t kPrftbe = 1u << 4, kPrftbs = 1u << 5;       // PM0075 3.1
constexpr uint32_t kArrayBase = 0x08000000u;
enum : uint32_t { kAcr = 0x00, kKeyr = 0x04, kOptkeyr = 0x08, kSr = 0x0C, kCr = 0x10, kAr = 0x14, kObr = 0x1C,
                  kWrpr = 0x20 };

constexpr EmuNs kMs = 1000000;
// DS5319 (STM32F103x8/xB) 5.3.9 Table 28: tprog 52.5 us typical; page and mass
// erase 20-40 ms with no typical value, so the minimum. The high-density
// datasheet was not at hand: its 2 KiB pages are given the same times.
constexpr EmuNs kHalfWordProgram = 52500, kPageErase = 20 * kMs, kMassErase = 20 * kMs;

// PM0075 3.1 LATENCY: zero wait states up to 24 MHz, one up to 48, two up to 72.
uint32_t WaitStatesNeeded(uint32_t hz) { return hz <= 24000000 ? 0 : hz <= 48000000 ? 1 : 2; }
}  // namespace

Stm32f1Flash::Stm32f1Flash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck, uint32_t pageSize,
                           bool eraseFails)
    : cpu_(cpu), flash_(flash), stuck_(std::move(stuck)), pageSize_(pageSize), eraseFails_(eraseFails) {
    if (pageSize != 1024 && pageSize != 2048) throw std::invalid_argument("STM32F1 pages are 1 or 2 KiB");
    array_.f = this;
    sizeRegister_.kib = uint16_t(flash.Size() / 1024);
}

bool Stm32f1Flash::Busy() const { return cpu_.Now() < busyUntil_; }

// EOP is set when an operation that did not fail ends (PM0075 3.4).
void Stm32f1Flash::Settle() {
    if (Busy()) return;
    erasing_ = false;
    if (eopPending_) {
        sr_ |= kEop;
        eopPending_ = false;
    }
    if (errorPending_) {
        sr_ |= kWrprterr;
        errorPending_ = false;
    }
}

void Stm32f1Flash::WaitIfBusy(const char* what) {
    if (Busy()) {
        // The CPU stalls until BSY clears (PM0075 2.3.3); a loader that relies
        // on it cannot look at the error flags in between.
        cpu_.Misuse("access to busy flash", what);
        cpu_.AdvanceTo(busyUntil_);
    }
    Settle();
}

uint32_t Stm32f1Flash::Read(uint32_t offset, unsigned size) {
    if (size != 4) {
        // PM0075 3: the registers take 32-bit accesses only.
        cpu_.Misuse("flash register access not 32-bit", std::to_string(size) + " bytes at offset " + HexWord(offset));
        return 0;
    }
    Settle();
    switch (offset) {
    case kAcr: return (acr_ & ~kPrftbs) | ((acr_ & kPrftbe) ? kPrftbs : 0);
    case kSr:
        if (Busy()) {
            cpu_.IdlePoll(busyUntil_);
            return sr_ | kBsy;
        }
        return sr_;
    case kCr: return cr_ | (locked_ ? kLock : 0) | (erasing_ ? kStrt : 0);
    case kAr: return ar_;
    case kObr: return 0x03FFFFFCu;    // PM0075 3.7 reset value: no read protection
    case kWrpr: return 0xFFFFFFFFu;   // PM0075 3.8: no page write-protected
    default: return 0;                // KEYR and OPTKEYR read as 0
    }
}

void Stm32f1Flash::Write(uint32_t offset, unsigned size, uint32_t value) {
    if (size != 4) {
        cpu_.Misuse("flash register access not 32-bit", std::to_string(size) + " bytes at offset " + HexWord(offset));
        return;
    }
    Settle();
    if (offset != kAcr && Busy()) {
        // PM0075 2.3.3 note: the registers are not writable while BSY is set.
        cpu_.Misuse("flash register written while BSY", "offset " + HexWord(offset) + " := " + HexWord(value));
        return;
    }
    switch (offset) {
    case kAcr:
        acr_ = value & 0x1F;
        return;
    case kKeyr:
        if (lockedUntilReset_) return;
        if (keyStage_ == 0 && value == kKey1 && locked_) {
            keyStage_ = 1;
        } else if (keyStage_ == 1 && value == kKey2) {
            keyStage_ = 0;
            locked_ = false;
        } else {
            // PM0075 2.3.2: a wrong sequence is a bus error and locks FLASH_CR until reset.
            cpu_.Misuse("wrong flash key sequence", HexWord(value));
            lockedUntilReset_ = true;
            locked_ = true;
        }
        return;
    case kOptkeyr:
        cpu_.Misuse("flash option bytes not modelled", "FLASH_OPTKEYR := " + HexWord(value));
        return;
    case kSr:   // write 1 to clear
        sr_ &= ~(value & (kPgerr | kWrprterr | kEop));
        return;
    case kCr:
        if (locked_) {
            if (value != kLock)   // locking again what is locked changes nothing
                cpu_.Misuse("flash written without unlock", "FLASH_CR := " + HexWord(value));
            return;
        }
        if (value & (kOptpg | kOpter | kOptwre))
            cpu_.Misuse("flash option bytes not modelled", "FLASH_CR := " + HexWord(value));
        cr_ = value & (kPg | kPer | kMer | kErrie | kEopie);
        if (value & kLock) {
            locked_ = true;
            keyStage_ = 0;
        }
        if (value & kStrt) StartErase();
        return;
    case kAr:
        ar_ = value;
        return;
    default:
        return;   // OBR and WRPR are read-only
    }
}

// PM0075 2.3.4: STRT starts the erase PER or MER chose; a page erase takes the
// page FLASH_AR points into.
void Stm32f1Flash::StartErase() {
    EmuNs duration = 0;
    if ((cr_ & kPer) && (cr_ & kMer)) {
        cpu_.Misuse("flash erase with PER and MER", "FLASH_CR " + HexWord(cr_));
        return;
    }
    if (cr_ & kPer) {
        const uint32_t at = ar_ - kArrayBase;
        if (ar_ < kArrayBase || at >= flash_.Size()) {
            cpu_.Misuse("erase of a page the part does not have", "FLASH_AR " + HexWord(ar_));
            return;
        }
        const uint32_t start = at - at % pageSize_;
        if (!eraseFails_)
            for (uint32_t i = 0; i < pageSize_; ++i) flash_.Force(start + i, 0xFF);
        duration = kPageErase;
    } else if (cr_ & kMer) {
        if (!eraseFails_) flash_.Erase();
        duration = kMassErase;
    } else {
        cpu_.Misuse("flash STRT without PER or MER", "FLASH_CR " + HexWord(cr_));
        return;
    }
    busyUntil_ = cpu_.Now() + duration;
    erasing_ = true;
    eopPending_ = !eraseFails_;
    errorPending_ = eraseFails_;
    cpu_.Progress();
}

uint32_t Stm32f1Flash::ArrayRead(uint32_t offset, unsigned size) {
    WaitIfBusy("flash read while BSY");
    if (Latency() < WaitStatesNeeded(cpu_.ClockHz()))
        cpu_.Misuse("flash read with too few wait states",
                    "LATENCY " + std::to_string(Latency()) + " at " + std::to_string(cpu_.ClockHz()) + " Hz");
    uint32_t v = 0;
    for (unsigned i = 0; i < size; ++i) v |= uint32_t(flash_.Read(offset + i)) << (8 * i);
    return v;
}

void Stm32f1Flash::ArrayWrite(uint32_t offset, unsigned size, uint32_t value) {
    WaitIfBusy("flash written while BSY");
    const std::string where = "at " + HexWord(kArrayBase + offset);
    if (locked_ || !(cr_ & kPg)) {
        cpu_.Misuse(locked_ ? "flash written without unlock" : "flash written without PG", where);
        return;
    }
    if (size != 2) {
        // PM0075 2.3.3: anything but a half-word is a bus error; nothing is programmed.
        cpu_.Misuse("flash write not half-word", std::to_string(size) + " bytes " + where);
        return;
    }
    if (offset % 2 != 0) {
        cpu_.Misuse("flash write not half-word aligned", where);
        return;
    }
    const uint16_t old = uint16_t(flash_.Read(offset) | flash_.Read(offset + 1) << 8);
    const uint16_t half = uint16_t(value);
    ar_ = kArrayBase + offset;   // PM0075 3.6: the address last used
    if (old != 0xFFFF && half != 0x0000) {
        // PM0075 2.3.3: the FPEC checks the half-word is erased first; if not,
        // it skips the write and sets PGERR. 0x0000 is the one exception.
        cpu_.Misuse("programming a non-erased cell", where);
        sr_ |= kPgerr;
        return;
    }
    for (unsigned i = 0; i < 2; ++i) {
        const uint32_t at = offset + i;
        flash_.Force(at, ProgrammedCell(flash_.Read(at), uint8_t(half >> (8 * i)), stuck_.count(at) != 0));
    }
    busyUntil_ = cpu_.Now() + kHalfWordProgram;
    erasing_ = false;
    eopPending_ = true;
    cpu_.Progress();
}

}  // namespace qtx::sim
