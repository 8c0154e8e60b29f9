// An Am29F010 NOR flash (AMD, 128 K x 8, 5 V) as a board's bus sees it:
// command cycles, the embedded program and erase algorithms with their
// typical times, and the status bits a program polls meanwhile.
//
// Facts: Am29F010B data sheet (AMD publication 22336): "Command Definitions"
// (unlock cycles 5555h/AAh and 2AAAh/55h, A0h program, 80h/30h sector erase,
// 80h/10h chip erase, F0h reset; addresses above A10 are don't care in the
// unlock and command cycles), "Write Operation Status" (DQ7 Data# polling,
// DQ6 toggle bit, DQ5 exceeded timing limits, DQ3 sector erase timer),
// "Erase and Programming Performance" (typical byte program 7 us, sector
// erase 1 s; maximum byte program 300 us) and the 50 us sector erase
// time-out window in "Sector Erase Command Sequence".
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace qtx::sim {

class Am29F010 {
public:
    using Ns = uint64_t;   // emulated time in nanoseconds

    static constexpr Ns kByteProgramNs = 7'000;          // typical
    static constexpr Ns kByteProgramMaxNs = 300'000;     // DQ5 rises after this
    static constexpr Ns kSectorEraseNs = 1'000'000'000;  // typical, per sector
    static constexpr Ns kEraseWindowNs = 50'000;         // more sector addresses may follow
    static constexpr uint32_t kSectorSize = 16 * 1024;

    // size: the bytes the board can reach (the chip's lower part when upper
    // address lines are tied low). stuckHigh: cells whose bit 0 cannot be
    // programmed to 0, so programming a 0 there fails as on a worn cell.
    Am29F010(std::size_t size, std::set<uint32_t> stuckHigh);

    uint8_t Read(uint32_t addr, Ns now);
    void Write(uint32_t addr, uint8_t data, Ns now);

    bool Busy(Ns now) const { return state_ == State::Busy && now < doneAt_; }
    // When the running algorithm ends (for a board that skips idle polling).
    Ns DoneAt() const { return doneAt_; }
    const FlashModel& Cells() const { return cells_; }
    // Every rule the program broke, in order (empty: none).
    const std::vector<std::string>& Misuses() const { return misuses_; }
    uint64_t Programmed() const { return programmed_; }
    uint64_t SectorsErased() const { return erased_; }

private:
    enum class State { Read, Unlock1, Unlock2, ProgramSetup, EraseSetup, EraseUnlock1, EraseUnlock2, Busy, Failed };
    enum class Job { None, Program, Erase };

    void Settle(Ns now);
    void Misuse(const std::string& what);
    uint8_t Status();

    FlashModel cells_;
    std::set<uint32_t> stuckHigh_;
    State state_ = State::Read;
    Job job_ = Job::None;
    Ns doneAt_ = 0;
    Ns windowEnd_ = 0;               // sector erase: more sectors may be added until then
    uint32_t programAddr_ = 0;
    uint8_t programData_ = 0;
    std::set<uint32_t> eraseSectors_;
    bool toggle_ = false;            // DQ6, flips on every status read
    std::vector<std::string> misuses_;
    uint64_t programmed_ = 0;
    uint64_t erased_ = 0;
};

}  // namespace qtx::sim
