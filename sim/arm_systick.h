// The Cortex-M system timer (ARMv7-M Architecture Reference Manual, B3.3 "The
// system timer, SysTick"): CTRL, LOAD, VAL and CALIB at 0xE000E010. The
// counter runs on the core clock (CLKSOURCE = 1) from LOAD down to 0 and
// reloads; COUNTFLAG says it reached 0 since CTRL was last read. The loaders
// use it for time-outs only, so the exception (TICKINT) and the reference
// clock are flagged, not modelled. A write to VAL clears it, and the next
// period then starts in full.
#pragma once

#include <cstdint>

#include "sim/arm_cpu.h"

namespace qtx::sim {

class SysTick : public ArmDevice {
public:
    static constexpr uint32_t kBase = 0xE000E010;
    static constexpr uint32_t kSize = 0x10;

    explicit SysTick(ArmCpu& cpu) : cpu_(cpu) {}
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;

private:
    uint64_t Cycles() const;
    uint64_t Periods() const;   // zeros reached since the count began

    ArmCpu& cpu_;
    bool enabled_ = false;
    uint32_t load_ = 0;
    uint64_t startCycle_ = 0;
    uint64_t seenPeriods_ = 0;
};

}  // namespace qtx::sim
