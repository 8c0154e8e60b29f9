#include "sim/arm_program.h"

namespace qtx::sim {

namespace {
constexpr EmuNs kStep = 1000000;   // a busy core is looked after once per emulated millisecond
}

ArmProgram::ArmProgram(BoardIo& io, std::unique_ptr<ArmCpu> cpu, std::vector<std::unique_ptr<ArmDevice>> devices,
                       UartLine& line)
    : io_(io), cpu_(std::move(cpu)), devices_(std::move(devices)), line_(line), anchorWall_(io.Now()) {}

ArmProgram::~ArmProgram() = default;

EmuNs ArmProgram::EmuAt(Clock::time_point t) const {
    const auto d = std::chrono::duration_cast<std::chrono::nanoseconds>(t - anchorWall_).count();
    return d <= 0 ? anchorEmu_ : anchorEmu_ + EmuNs(d);
}

Clock::time_point ArmProgram::WallAt(EmuNs e) const {
    return anchorWall_ + std::chrono::nanoseconds(e > anchorEmu_ ? int64_t(e - anchorEmu_) : 0);
}

void ArmProgram::Run(EmuNs limit) {
    {
        const HostTimer::Scope timing(hostTime_);
        cpu_->RunUntil(limit);
    }
    if (cpu_->Halted() && !haltLogged_) {
        haltLogged_ = true;
        io_.Log("loaded program halted: " + cpu_->HaltReason() + "; the board stays silent until it is reset");
    }
}

void ArmProgram::Receive(uint8_t byte, uint32_t hostBaud) {
    if (cpu_->Halted()) return;
    const auto now = io_.Now();
    // Waiting for input, the core is idle and its clock follows the line's.
    if (cpu_->WaitingForInput()) cpu_->AdvanceTo(EmuAt(now));
    const EmuNs at = line_.Deliver(byte, hostBaud);
    ++received_;
    cpu_->InputArrived();
    anchorEmu_ = at;
    anchorWall_ = now;
    Run(at);
}

std::optional<Clock::time_point> ArmProgram::NextTimer() const {
    if (ended_ || cpu_->Halted() || cpu_->WaitingForInput()) return std::nullopt;
    return WallAt(cpu_->Now() + kStep);
}

void ArmProgram::OnTimer() {
    if (ended_ || cpu_->Halted() || cpu_->WaitingForInput()) return;
    Run(std::max(EmuAt(io_.Now()), cpu_->Now() + kStep));
}

void ArmProgram::End(const std::string& why) {
    if (ended_) return;
    ended_ = true;
    io_.Log("loaded program " + why + ": " + cpu_->Summary() + "; " + std::to_string(received_) + " bytes received, " +
            std::to_string(line_.Sent()) + " sent, " + std::to_string(line_.Overruns()) + " UART overruns" +
            (cpu_->WaitingForInput() ? "; it was waiting for input"
            : cpu_->Halted()      ? ""
                                  : "; it was busy at " + HexWord(cpu_->Pc())) +
            (line_.OnTheirWay() ? "; " + std::to_string(line_.OnTheirWay()) + " bytes not yet landed, the last at " +
                                      std::to_string(line_.LastLanding()) + " ns"
                                : std::string()));
    io_.Log(hostTime_.Line(cpu_->Instructions()));
}

}  // namespace qtx::sim
