// A program the boot ROM started on an emulated ARM core, tied to the rig's
// wall clock: a received byte lands in the UART at its emulated time and the
// core runs up to it; between bytes the core may run ahead only as far as
// wall time has passed since the last byte, so a busy loader (an erase, a
// page write) answers after the time it really takes, and a host that streams
// finds it busy, as on the chip. While the program waits for input the
// emulated clock follows the wall clock.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "sim/arm_cpu.h"
#include "sim/arm_periph_uart.h"
#include "sim/board.h"

namespace qtx::sim {

class ArmProgram {
public:
    // cpu has its memory and devices mapped and its entry set; line is its UART.
    ArmProgram(BoardIo& io, std::unique_ptr<ArmCpu> cpu, std::vector<std::unique_ptr<ArmDevice>> devices,
               UartLine& line);
    ~ArmProgram();

    void Receive(uint8_t byte, uint32_t hostBaud);
    std::optional<Clock::time_point> NextTimer() const;
    void OnTimer();
    bool Halted() const { return cpu_->Halted(); }
    // Logs how the program ended: instruction count, emulated time, misuse.
    void End(const std::string& why);
    ArmCpu& Cpu() { return *cpu_; }

private:
    EmuNs EmuAt(Clock::time_point t) const;
    Clock::time_point WallAt(EmuNs e) const;
    void Run(EmuNs limit);

    BoardIo& io_;
    std::unique_ptr<ArmCpu> cpu_;
    std::vector<std::unique_ptr<ArmDevice>> devices_;
    UartLine& line_;
    EmuNs anchorEmu_ = 0;
    Clock::time_point anchorWall_;
    uint64_t received_ = 0;
    bool ended_ = false;
    bool haltLogged_ = false;
    HostTimer hostTime_;
};

}  // namespace qtx::sim
