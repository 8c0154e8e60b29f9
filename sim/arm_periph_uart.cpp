#include "sim/arm_periph_uart.h"

#include <algorithm>

namespace qtx::sim {

namespace {
EmuNs CharNs(uint32_t baud, int bits) { return EmuNs(bits) * 1000000000ull / (baud ? baud : 9600); }
}  // namespace

// ---- line side ----------------------------------------------------------------

EmuNs UartLine::Deliver(uint8_t byte, uint32_t hostBaud) {
    const EmuNs charNs = CharNs(hostBaud, bits_);
    // The stop bit of the first byte cannot end before one character time.
    const EmuNs at = std::max(cpu_.Now(), any_ ? lastLanding_ + charNs : cpu_.Now() + charNs);
    any_ = true;
    lastLanding_ = at;
    queue_.push_back({byte, at});
    return at;
}

void UartLine::Settle() {
    const EmuNs now = cpu_.Now();
    while (!queue_.empty() && queue_.front().at <= now) {
        const Landing l = queue_.front();
        queue_.pop_front();
        if (full_) {
            overrunFlag_ = true;
            ++overruns_;
            cpu_.Misuse("UART overrun", "a byte landed at " + std::to_string(l.at) + " ns before the previous one was read");
            if (mode_ == OnOverrun::KeepNew) rx_ = l.byte;
            continue;
        }
        rx_ = l.byte;
        full_ = true;
    }
}

bool UartLine::RxReady() {
    Settle();
    if (full_) return true;
    cpu_.IdlePoll(queue_.empty() ? kNever : queue_.front().at);
    return false;
}

uint8_t UartLine::TakeRx() {
    Settle();
    if (!full_) cpu_.Misuse("UART read of an empty receive register", "at " + std::to_string(cpu_.Now()) + " ns");
    full_ = false;
    cpu_.Progress();
    return rx_;
}

bool UartLine::TxReady() {
    if (cpu_.Now() >= txDataFreeAt_) return true;
    cpu_.IdlePoll(txDataFreeAt_);
    return false;
}

bool UartLine::TxEmpty() {
    if (cpu_.Now() >= txShiftFreeAt_) return true;
    cpu_.IdlePoll(txShiftFreeAt_);
    return false;
}

void UartLine::Transmit(uint8_t byte, uint32_t txBaud) {
    const EmuNs now = cpu_.Now();
    if (now < txDataFreeAt_)
        cpu_.Misuse("UART write to a full transmit register", "at " + std::to_string(now) + " ns");
    const EmuNs start = std::max(now, txShiftFreeAt_);
    txDataFreeAt_ = start;
    txShiftFreeAt_ = start + CharNs(txBaud, bits_);
    cpu_.Progress();
    ++sent_;
    io_.Send(byte);
}

// ---- STM32F4 USART --------------------------------------------------------------

namespace {
constexpr uint32_t kSrOre = 1u << 3, kSrRxne = 1u << 5, kSrTc = 1u << 6, kSrTxe = 1u << 7;
constexpr uint32_t kCr1Ue = 1u << 13, kCr1M = 1u << 12, kCr1Pce = 1u << 10, kCr1Te = 1u << 3, kCr1Re = 1u << 2;
}  // namespace

Stm32Usart::Stm32Usart(ArmCpu& cpu, BoardIo& io, uint32_t pclkHz, uint32_t baud)
    // 8E1 as the ROM boot loader sets it: 9-bit word with parity (AN3155 1 "Bootloader code sequence").
    : cpu_(cpu), line_(cpu, io, UartLine::OnOverrun::KeepOld, 11), pclk_(pclkHz),
      brr_((pclkHz + baud / 2) / baud), cr1_(kCr1Ue | kCr1M | kCr1Pce | kCr1Te | kCr1Re) {}

uint32_t Stm32Usart::Read(uint32_t offset, unsigned) {
    switch (offset) {
    case 0x00: {
        uint32_t sr = 0;
        if (line_.RxReady()) sr |= kSrRxne;
        if (line_.TxReady()) sr |= kSrTxe;
        if (line_.TxEmpty()) sr |= kSrTc;
        if (line_.OverrunFlag()) sr |= kSrOre;
        srReadWithOre_ = line_.OverrunFlag();
        return sr;
    }
    case 0x04: {
        const uint8_t b = line_.TakeRx();
        if (srReadWithOre_) line_.ClearOverrun();
        srReadWithOre_ = false;
        return b;
    }
    case 0x08: return brr_;
    case 0x0C: return cr1_;
    case 0x10: return cr2_;
    case 0x14: return cr3_;
    default: return 0;
    }
}

void Stm32Usart::Write(uint32_t offset, unsigned, uint32_t value) {
    switch (offset) {
    case 0x00:
        return;   // rc_w0 bits; nothing the loaders need
    case 0x04:
        if (!(cr1_ & kCr1Te)) cpu_.Misuse("UART write with the transmitter off", HexWord(value));
        line_.Transmit(uint8_t(value), pclk_ / (brr_ ? brr_ : 1));
        return;
    case 0x08:
    case 0x0C:
    case 0x10:
    case 0x14:
        // The host's rate and framing are what the ROM found; a loader that
        // changes them leaves the host behind.
        cpu_.Misuse("UART reconfigured", "register offset " + std::to_string(offset) + " := " + HexWord(value));
        (offset == 0x08 ? brr_ : offset == 0x0C ? cr1_ : offset == 0x10 ? cr2_ : cr3_) = value;
        return;
    default:
        return;
    }
}

// ---- SAM3 UART ----------------------------------------------------------------------

namespace {
constexpr uint32_t kRxrdy = 1u << 0, kTxrdy = 1u << 1, kOvre = 1u << 5, kTxempty = 1u << 9;
constexpr uint32_t kRststa = 1u << 8;
}  // namespace

Sam3Uart::Sam3Uart(ArmCpu& cpu, BoardIo& io, uint32_t mckHz, uint32_t baud)
    // 8N1 at 115200 as the monitor leaves it (SAM3N 20.5, sibling); CD = MCK / (16 x baud).
    : cpu_(cpu), line_(cpu, io, UartLine::OnOverrun::KeepNew, 10), mck_(mckHz),
      brgr_((mckHz + 8 * baud) / (16 * baud)) {}

uint32_t Sam3Uart::Read(uint32_t offset, unsigned) {
    switch (offset) {
    case 0x04: return mr_;
    case 0x10: return imr_;
    case 0x14: {
        uint32_t sr = 0;
        if (line_.RxReady()) sr |= kRxrdy;
        if (line_.TxReady()) sr |= kTxrdy;
        if (line_.TxEmpty()) sr |= kTxempty;
        if (line_.OverrunFlag()) sr |= kOvre;
        return sr;
    }
    case 0x18: return line_.TakeRx();
    case 0x20: return brgr_;
    default: return 0;
    }
}

void Sam3Uart::Write(uint32_t offset, unsigned, uint32_t value) {
    switch (offset) {
    case 0x00:
        if (value & kRststa) line_.ClearOverrun();
        if (value & ~kRststa) cpu_.Misuse("UART reconfigured", "CR := " + HexWord(value));
        return;
    case 0x08: imr_ |= value; return;
    case 0x0C: imr_ &= ~value; return;
    case 0x1C: line_.Transmit(uint8_t(value), mck_ / (16 * (brgr_ ? brgr_ : 1))); return;
    case 0x04:
    case 0x20:
        cpu_.Misuse("UART reconfigured", "register offset " + std::to_string(offset) + " := " + HexWord(value));
        (offset == 0x04 ? mr_ : brgr_) = value;
        return;
    default:
        return;
    }
}

}  // namespace qtx::sim
