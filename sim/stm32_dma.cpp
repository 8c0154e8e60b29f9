#include "sim/stm32_dma.h"

namespace qtx::sim {

namespace {
// RM0090 10.5.5 DMA_SxCR
constexpr uint32_t kEn = 1u << 0, kDirMask = 3u << 6, kCirc = 1u << 8, kPinc = 1u << 9, kMinc = 1u << 10;
constexpr uint32_t kSizes = (3u << 11) | (3u << 13), kDbm = 1u << 18, kChselShift = 25;
constexpr uint32_t kIrqEnables = 0x1Eu;   // DMEIE, TEIE, HTIE, TCIE
constexpr uint32_t kUsart1Dr = 0x40011004;
// Transfer-complete flag of streams 0-3 in LISR, 4-7 in HISR (RM0090 10.5.1).
constexpr int kFlagShift[4] = {0, 6, 16, 22};
constexpr uint32_t kTcif = 1u << 5;
}  // namespace

uint32_t Stm32Rcc::Read(uint32_t offset, unsigned) { return offset == 0x30 ? ahb1enr_ : 0; }

void Stm32Rcc::Write(uint32_t offset, unsigned, uint32_t value) {
    if (offset == 0x30) {
        ahb1enr_ = value;
        return;
    }
    // The loaders run on the clocks the ROM left; a change elsewhere is not modelled.
    cpu_.Halt("write of " + HexWord(value) + " to RCC offset " + HexWord(offset) + " (not modelled)");
}

Stm32Dma2::Stm32Dma2(ArmCpu& cpu, const Stm32Rcc& rcc, Stm32Usart& usart, std::vector<uint8_t>& ram, uint32_t ramBase)
    : cpu_(cpu), rcc_(rcc), usart_(usart), ram_(ram), ramBase_(ramBase) {
    usart_.SetDmaSink([this](uint8_t b) { return Request(b); });
}

bool Stm32Dma2::Request(uint8_t byte) {
    if (serving_ < 0) return false;   // the request waits in the data register
    Stream& st = streams_[serving_];
    ram_[st.m0ar - ramBase_ + st.index] = byte;
    ++st.index;
    if (--st.ndtr == 0) {
        (serving_ < 4 ? lisr_ : hisr_) |= kTcif << kFlagShift[serving_ % 4];
        if (st.cr & kCirc) {
            st.ndtr = st.count;
            st.index = 0;
        } else {
            st.cr &= ~kEn;   // RM0090 10.3.7: a normal-mode stream disables itself
            serving_ = -1;
        }
    }
    return true;
}

void Stm32Dma2::Enable(int s) {
    Stream& st = streams_[s];
    auto refuse = [&](const std::string& why) {
        cpu_.Halt("DMA2 stream " + std::to_string(s) + " set-up not modelled: " + why + " (CR " + HexWord(st.cr) + ")");
    };
    if (!rcc_.Dma2Clock()) return refuse("DMA2EN is clear in RCC_AHB1ENR, the controller has no clock");
    if ((s != 2 && s != 5) || (st.cr >> kChselShift & 7u) != 4) return refuse("only USART1_RX, stream 2 or 5 channel 4");
    if ((st.cr & kDirMask) != 0 || (st.cr & (kPinc | kSizes | kDbm | kIrqEnables)) != 0 || !(st.cr & kMinc))
        return refuse("only peripheral to memory, bytes, memory increment, no interrupts, one buffer");
    if (st.fcr & (1u << 2)) return refuse("FIFO mode");
    if (st.par != kUsart1Dr) return refuse("PAR is not USART1_DR");
    if (st.ndtr == 0 || st.m0ar < ramBase_ || uint64_t(st.m0ar - ramBase_) + st.ndtr > ram_.size())
        return refuse("buffer not within SRAM");
    st.count = st.ndtr;
    st.index = 0;
    serving_ = s;
}

uint32_t Stm32Dma2::Read(uint32_t offset, unsigned) {
    if (offset == 0x00 || offset == 0x04) {
        usart_.Line().Settled();
        return offset == 0 ? lisr_ : hisr_;
    }
    if (offset < 0x10) return 0;
    const int s = int((offset - 0x10) / 0x18);
    if (s >= 8) return 0;
    Stream& st = streams_[s];
    switch ((offset - 0x10) % 0x18) {
    case 0x00: return st.cr;
    case 0x04: {
        if (s != serving_) return st.ndtr;
        // The count moves only as bytes land: a loop that finds it unchanged
        // may skip to the next landing.
        const uint32_t before = st.ndtr;
        const EmuNs next = usart_.Line().Settled();
        if (st.ndtr == before && s == serving_) cpu_.IdlePoll(next);
        else cpu_.Progress();
        return st.ndtr;
    }
    case 0x08: return st.par;
    case 0x0C: return st.m0ar;
    case 0x10: return st.m1ar;
    case 0x14: return st.fcr;
    default: return 0;
    }
}

void Stm32Dma2::Write(uint32_t offset, unsigned, uint32_t value) {
    if (offset == 0x08 || offset == 0x0C) {
        (offset == 0x08 ? lisr_ : hisr_) &= ~value;   // flag clear registers
        return;
    }
    if (offset < 0x10) return;
    const int s = int((offset - 0x10) / 0x18);
    if (s >= 8) return;
    Stream& st = streams_[s];
    const uint32_t reg = (offset - 0x10) % 0x18;
    // RM0090 10.5.5: the set-up registers are write-protected while EN is set.
    if (reg != 0x00 && (st.cr & kEn)) {
        cpu_.Misuse("DMA stream register written while the stream is enabled", HexWord(offset) + " := " + HexWord(value));
        return;
    }
    switch (reg) {
    case 0x00:
        if ((value & kEn) && !(st.cr & kEn)) {
            st.cr = value;
            Enable(s);
        } else {
            st.cr = value;
            if (!(value & kEn) && serving_ == s) serving_ = -1;
        }
        return;
    case 0x04: st.ndtr = value & 0xFFFF; return;
    case 0x08: st.par = value; return;
    case 0x0C: st.m0ar = value; return;
    case 0x10: st.m1ar = value; return;
    case 0x14: st.fcr = value; return;
    default: return;
    }
}

}  // namespace qtx::sim
