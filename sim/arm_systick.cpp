#include "sim/arm_systick.h"

namespace qtx::sim {

namespace {
constexpr uint32_t kEnable = 1u << 0, kTickInt = 1u << 1, kClkSource = 1u << 2, kCountFlag = 1u << 16;
}

uint64_t SysTick::Cycles() const {
    return uint64_t((unsigned __int128)cpu_.Now() * cpu_.ClockHz() / 1000000000u);
}

uint64_t SysTick::Periods() const {
    if (!enabled_ || load_ == 0) return 0;
    return (Cycles() - startCycle_) / (uint64_t(load_) + 1);
}

uint32_t SysTick::Read(uint32_t offset, unsigned) {
    switch (offset) {
    case 0x0: {
        const uint64_t periods = Periods();
        const bool flag = periods > seenPeriods_;
        seenPeriods_ = periods;
        if (!flag && enabled_ && load_ != 0) {
            // Nothing changes before the next zero: a polling loop may skip there.
            const uint64_t next = startCycle_ + (periods + 1) * (uint64_t(load_) + 1);
            cpu_.IdlePoll(EmuNs((unsigned __int128)next * 1000000000u / cpu_.ClockHz()) + 1);
        }
        return (enabled_ ? kEnable | kClkSource : 0) | (flag ? kCountFlag : 0);
    }
    case 0x4: return load_;
    case 0x8:
        if (!enabled_ || load_ == 0) return 0;
        return load_ - uint32_t((Cycles() - startCycle_) % (uint64_t(load_) + 1));
    case 0xC: return 0;   // CALIB: no reference given
    default: return 0;
    }
}

void SysTick::Write(uint32_t offset, unsigned, uint32_t value) {
    switch (offset) {
    case 0x0:
        if (value & kTickInt) cpu_.Misuse("SysTick exception requested (no exception model)", HexWord(value));
        if ((value & kEnable) && !(value & kClkSource))
            cpu_.Misuse("SysTick on the reference clock (implementation defined, not modelled)", HexWord(value));
        if ((value & kEnable) && !enabled_) {
            startCycle_ = Cycles();
            seenPeriods_ = 0;
        }
        enabled_ = value & kEnable;
        return;
    case 0x4:
        if (value > 0xFFFFFFu) cpu_.Misuse("SysTick reload beyond 24 bits", HexWord(value));
        load_ = value & 0xFFFFFFu;
        return;
    case 0x8:
        // Any write clears the counter and COUNTFLAG (ARMv7-M B3.3.3).
        startCycle_ = Cycles();
        seenPeriods_ = 0;
        return;
    default:
        return;
    }
}

}  // namespace qtx::sim
