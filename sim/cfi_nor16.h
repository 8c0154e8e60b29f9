// A 16-bit NOR flash with the AMD command set and a CFI query, as a board
// carries it on a 16-bit bus (A0 of the chip on A1 of the bus): unlock and
// command cycles, autoselect, CFI query, word program, sector and chip erase
// with the sector-erase window for further sectors, data# polling (DQ7),
// toggle bit (DQ6), time-out flag (DQ5), erase timer (DQ3), and the typical
// times of the part's data sheet. Strict as the chip is: programming only
// clears bits (a 1 over a 0 times out with DQ5), a write while busy or a
// broken command sequence is misuse, and every misuse is reported through
// the callback. It can be told to fail: stuck cells keep a bit that should
// have been cleared, and a failing erase ends with DQ5 and leaves the cells.
//
// Sources: Am29F400B data sheet (AMD, pub. 21505) "Command Definitions",
// "Autoselect Codes", "Erase and Programming Performance",
// "Sector Erase Command Sequence" (50 us window), "Write Operation Status";
// Am29LV160D data sheet (pub. 22358) Table 9 (CFI query 98h at 55h);
// Am29LV116B data sheet "Common Flash Memory Interface" Tables 5-8 (query
// layout), with Linux include/linux/mtd/cfi.h for the field order.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace qtx::sim {

struct CfiNor16Part {
    const char* name;
    uint16_t manufacturer;
    uint16_t device;                                   // word-mode device ID
    std::vector<std::pair<uint32_t, uint32_t>> regions;   // erase regions: (sectors, bytes each), from address 0
    uint64_t wordProgramNs;                            // typical
    uint64_t programLimitNs;                           // maximum: DQ5 rises after it
    uint64_t sectorEraseNs;                            // typical
    uint64_t chipEraseNs;                              // typical
    bool cfi = true;                                   // answers the CFI query (98h at 55h)
    uint32_t Bytes() const;
};

// Am29LV400BB: 256K x 16, bottom boot (16K, 8K, 8K, 32K, seven 64K sectors).
extern const CfiNor16Part kAm29LV400BB;
// Am29F400BB: the 5 V part of the same layout, without the CFI query.
extern const CfiNor16Part kAm29F400BB;

class CfiNor16 {
public:
    using Report = std::function<void(const std::string& kind, const std::string& detail)>;

    CfiNor16(const CfiNor16Part& part, std::set<uint32_t> stuckAt, bool eraseFails, Report misuse);

    // offset: byte offset within the chip; a word access.
    uint16_t Read(uint32_t offset, uint64_t nowNs);
    void Write(uint32_t offset, uint16_t value, uint64_t nowNs);
    // Not a word: the chip cannot take it.
    void NarrowWrite(uint32_t offset, unsigned size, uint64_t nowNs);

    // RESET# with the board's reset: back to reading; a running operation stops.
    void Reset() { state_ = State::Read; }
    // True while an embedded operation runs (reads give status).
    bool Busy(uint64_t nowNs);
    uint64_t DoneAt() const { return doneAt_; }
    const CfiNor16Part& Part() const { return part_; }
    const FlashModel& Content() const { return cells_; }
    uint64_t WordsProgrammed() const { return programmed_; }
    uint64_t SectorsErased() const { return sectorsErased_; }
    uint64_t Erases() const { return erases_; }   // erase commands, chip or sector
    // The counts start again (a new session on the board).
    void ClearCounts() { programmed_ = sectorsErased_ = erases_ = 0; }

private:
    enum class State { Read, Unlocked1, Unlocked2, ProgramSetup, EraseSetup, EraseUnlocked1, EraseUnlocked2,
                       Autoselect, Query, Busy, Failed };
    enum class Op { Program, Erase };

    void Settle(uint64_t now);
    void Misuse(const std::string& detail);
    void Program(uint32_t offset, uint16_t value, uint64_t now);
    void AddSector(uint32_t offset, uint64_t now);
    void FinishErase();
    uint16_t Status();
    uint8_t QueryByte(uint32_t word) const;

    CfiNor16Part part_;
    FlashModel cells_;
    std::set<uint32_t> stuck_;
    bool eraseFails_;
    Report misuse_;
    State state_ = State::Read;
    Op op_ = Op::Program;
    bool fails_ = false;
    uint64_t doneAt_ = 0;
    uint64_t windowEnd_ = 0;            // sector erase: more sectors may still be added
    std::vector<std::pair<uint32_t, uint32_t>> erasing_;   // [from, to)
    uint16_t target_ = 0;               // the word being programmed (DQ7)
    bool toggle_ = false;
    uint64_t programmed_ = 0;
    uint64_t sectorsErased_ = 0;
    uint64_t erases_ = 0;
};

}  // namespace qtx::sim
