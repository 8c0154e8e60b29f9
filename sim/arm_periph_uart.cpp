#include "sim/arm_periph_uart.h"

#include <algorithm>

#include "sim/line.h"

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
    queue_.push_back({byte, at, hostBaud});
    return at;
}

void UartLine::Settle() {
    const EmuNs now = cpu_.Now();
    while (!queue_.empty() && queue_.front().at <= now) {
        Landing l = queue_.front();
        queue_.pop_front();
        if (checking_ && !RatesMatch(l.hostBaud, rate_)) {
            l.byte = Garble(l.byte, l.hostBaud, rate_);
            ++garbled_;
        }
        if (sink_ && sink_(l.byte)) continue;
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
constexpr uint32_t kCr3Dmar = 1u << 6;   // RM0090 30.6.6
}  // namespace

Stm32Usart::Stm32Usart(ArmCpu& cpu, BoardIo& io, uint32_t pclkHz, uint32_t baud)
    // 8E1 as the ROM boot loader sets it: 9-bit word with parity (AN3155 1 "Bootloader code sequence").
    : cpu_(cpu), line_(cpu, io, UartLine::OnOverrun::KeepOld, 11), pclk_(pclkHz),
      brr_((pclkHz + baud / 2) / baud), cr1_(kCr1Ue | kCr1M | kCr1Pce | kCr1Te | kCr1Re) {
    line_.InitRate(pclk_ / brr_);
}

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
        line_.Transmit(uint8_t(value), line_.Rate());
        return;
    case 0x08:
        // RM0090 30.3.4: with OVER8 = 0, USARTDIV = BRR / 16 and the rate is
        // fCK / BRR; below 16 the divider has no whole part.
        if (line_.Sending()) cpu_.Misuse("UART rate changed while a character is sent", "BRR := " + HexWord(value));
        if (value < 16 || value > 0xFFFF) {
            cpu_.Misuse("UART divider out of range", "BRR := " + HexWord(value));
            return;
        }
        brr_ = value;
        line_.SetRate(pclk_ / brr_);
        return;
    case 0x14:
        if ((value & ~kCr3Dmar) != 0) {
            cpu_.Misuse("UART reconfigured", "CR3 := " + HexWord(value));
            return;
        }
        if ((value & kCr3Dmar) && !dmaSink_) cpu_.Misuse("UART DMA request with no stream to serve it", "CR3 := " + HexWord(value));
        cr3_ = value;
        line_.SetSink((value & kCr3Dmar) ? dmaSink_ : nullptr);
        return;
    case 0x0C:
    case 0x10:
        // The host's framing is what the ROM found; a loader that
        // changes them leaves the host behind.
        cpu_.Misuse("UART reconfigured", "register offset " + std::to_string(offset) + " := " + HexWord(value));
        (offset == 0x0C ? cr1_ : cr2_) = value;
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
      brgr_((mckHz + 8 * baud) / (16 * baud)) {
    line_.InitRate(mck_ / (16 * brgr_));
}

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
    case 0x1C: line_.Transmit(uint8_t(value), line_.Rate()); return;
    case 0x20:
        // CD 0 stops the clock (SAM3X/A 34.5.1, sibling): flagged and ignored.
        if (line_.Sending()) cpu_.Misuse("UART rate changed while a character is sent", "BRGR := " + HexWord(value));
        if ((value & 0xFFFF) == 0 || value > 0xFFFF) {
            cpu_.Misuse("UART divider out of range", "BRGR := " + HexWord(value));
            return;
        }
        brgr_ = value;
        line_.SetRate(mck_ / (16 * brgr_));
        return;
    case 0x04:
        cpu_.Misuse("UART reconfigured", "register offset " + std::to_string(offset) + " := " + HexWord(value));
        mr_ = value;
        return;
    default:
        return;
    }
}

}  // namespace qtx::sim
