// A 16-bit AMD-command-set NOR flash (Am29F400BB in word mode, 256K x 16) as
// the C166-family boards carry it: unlock cycles, program and erase commands,
// data polling (DQ7), toggle bit (DQ6), the time-out flag (DQ5), typical
// times, and the rules a real chip enforces. Every misuse is recorded.
//
// Source: Am29F400B data sheet (AMD, pub. 21505): "Command Definitions"
// table (word-mode unlock addresses 555h/2AAh), "Sector Address Table"
// (bottom boot), "Write Operation Status" (DQ7, DQ6, DQ5, DQ3), "Erase and
// Programming Performance" (typical times).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace qtx::sim {

class NorFlash16 {
public:
    // stuckAt: byte offsets of cells that will not program (a weak cell): the
    // chip times out with DQ5 and the cell keeps its lowest bit that should
    // have become 0.
    NorFlash16(std::set<uint32_t> stuckAt);

    static constexpr uint32_t kBytes = 512 * 1024;
    // Typical times from the data sheet's performance table.
    static constexpr uint64_t kWordProgramNs = 12'000;
    static constexpr uint64_t kSectorEraseNs = 1'000'000'000;
    static constexpr uint64_t kChipEraseNs = 11'000'000'000;
    // How long a failing operation runs before DQ5 rises (the table's maximum word program time).
    static constexpr uint64_t kTimeoutNs = 500'000;

    // offset: byte offset within the chip (A0 of the bus is not wired in word mode).
    uint16_t Read(uint32_t offset, uint64_t nowNs);
    void Write(uint32_t offset, uint16_t value, uint64_t nowNs);
    // A byte strobe on the word-wide chip: not a command the chip can take.
    void WriteByte(uint32_t offset, uint64_t nowNs);

    bool Busy(uint64_t nowNs) const { return state_ == State::Busy && nowNs < doneAt_; }
    uint64_t DoneAt() const { return doneAt_; }
    // Hardware reset (RESET# with the board's reset): back to reading.
    void Reset();

    const FlashModel& Content() const { return cells_; }
    const std::vector<std::string>& Misuse() const { return misuse_; }
    uint64_t WordsProgrammed() const { return programmed_; }
    uint64_t Erases() const { return erases_; }

private:
    enum class State { Read, Unlocked1, Unlocked2, ProgramSetup, EraseSetup, EraseUnlocked1, EraseUnlocked2,
                       Autoselect, Busy, Failed };
    enum class Op { None, Program, Erase };

    void Settle(uint64_t nowNs);
    void Note(const std::string& what);
    void Program(uint32_t offset, uint16_t value, uint64_t nowNs);
    void Erase(uint32_t from, uint32_t to, uint64_t nowNs, uint64_t durationNs);

    FlashModel cells_;
    std::set<uint32_t> stuck_;
    State state_ = State::Read;
    Op op_ = Op::None;
    uint64_t doneAt_ = 0;
    bool fails_ = false;           // the running operation ends with DQ5
    uint16_t target_ = 0;          // what a program operation writes (for DQ7)
    uint32_t opOffset_ = 0;
    uint32_t eraseFrom_ = 0, eraseTo_ = 0;
    bool toggle_ = false;
    std::vector<std::string> misuse_;
    uint64_t programmed_ = 0;
    uint64_t erases_ = 0;
};

}  // namespace qtx::sim
