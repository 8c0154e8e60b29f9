#include "sim/cfi_nor16.h"

#include <cstdio>

namespace qtx::sim {

namespace {

// Unlock and command cycles decode A10..A0 of the word address only
// (Am29F400B "Command Definitions", notes on address bits).
bool At(uint32_t offset, uint32_t wordAddr) { return ((offset >> 1) & 0x7FF) == wordAddr; }

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

constexpr uint64_t kSectorEraseWindowNs = 50'000;   // "Sector Erase Command Sequence": 50 us

}  // namespace

// Am29LV400B: 3.0 V, 256K x 16 / 512K x 8, one 16K, two 8K, one 32K and seven
// 64K sectors in bottom-boot order (the layout of the Am29F400B "Sector
// Address Table"), manufacturer 01h, device 22BAh in word mode. Typical times
// from the Am29LV family's "Erase and Programming Performance" tables: 0.7 s
// per sector and 9 us per byte as in the Am29LV040B table, 11 us per word and
// 11 s for the chip; DQ5 rises after the 300 us maximum program time.
const CfiNor16Part kAm29LV400BB{"Am29LV400BB", 0x0001, 0x22BA,
                                {{1, 0x4000}, {2, 0x2000}, {1, 0x8000}, {7, 0x10000}},
                                11'000, 300'000, 700'000'000, 11'000'000'000};

// Am29F400BB: 5 V, the same sectors, device 22ABh in word mode ("Autoselect
// Codes"); typical 12 us per word, 1 s per sector, 11 s for the chip, and DQ5
// after the 500 us maximum word program time ("Erase and Programming
// Performance"). This part predates the CFI query.
const CfiNor16Part kAm29F400BB{"Am29F400BB", 0x0001, 0x22AB,
                               {{1, 0x4000}, {2, 0x2000}, {1, 0x8000}, {7, 0x10000}},
                               12'000, 500'000, 1'000'000'000, 11'000'000'000, false};

uint32_t CfiNor16Part::Bytes() const {
    uint32_t n = 0;
    for (const auto& [count, bytes] : regions) n += count * bytes;
    return n;
}

CfiNor16::CfiNor16(const CfiNor16Part& part, std::set<uint32_t> stuckAt, bool eraseFails, Report misuse)
    : part_(part), cells_(part.Bytes()), stuck_(std::move(stuckAt)), eraseFails_(eraseFails),
      misuse_(std::move(misuse)) {}

void CfiNor16::Misuse(const std::string& detail) { misuse_("flash misuse", detail); }

void CfiNor16::Settle(uint64_t now) {
    if (state_ != State::Busy || now < doneAt_) return;
    if (op_ == Op::Erase) FinishErase();
    state_ = fails_ ? State::Failed : State::Read;
}

bool CfiNor16::Busy(uint64_t now) {
    Settle(now);
    return state_ == State::Busy;
}

// Query table in word addresses (Am29LV116B "Common Flash Memory Interface"
// Tables 5-8): "QRY", command set 0002h (AMD), primary table at 40h, supply
// 2.7-3.6 V, typical word program 2^4 us, sector erase 2^10 ms, maxima 2^5 and
// 2^4 times those, size 2^n, x8/x16 interface, the erase regions.
uint8_t CfiNor16::QueryByte(uint32_t w) const {
    static const uint8_t fixed[] = {'Q', 'R', 'Y', 0x02, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0x27, 0x36, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x00, 0x05, 0x00, 0x04, 0x00};
    if (w >= 0x10 && w < 0x10 + sizeof fixed) return fixed[w - 0x10];
    if (w == 0x27) {
        uint8_t n = 0;
        while ((1u << n) < part_.Bytes()) ++n;
        return n;
    }
    if (w == 0x28) return 0x02;
    if (w == 0x2C) return uint8_t(part_.regions.size());
    if (w >= 0x2D && w < 0x2D + 4 * part_.regions.size()) {
        const auto& [count, bytes] = part_.regions[(w - 0x2D) / 4];
        const uint32_t field[4] = {(count - 1) & 0xFF, (count - 1) >> 8, (bytes / 256) & 0xFF, (bytes / 256) >> 8};
        return uint8_t(field[(w - 0x2D) % 4]);
    }
    return 0;
}

uint16_t CfiNor16::Status() {
    // "Write Operation Status": DQ7 the complement of the written bit (0 while
    // erasing), DQ6 toggles on every read, DQ5 once the operation exceeded its
    // time, DQ3 set once the sector-erase window has closed.
    toggle_ = !toggle_;
    uint16_t s = toggle_ ? 0x40 : 0;
    if (op_ == Op::Program) s |= uint16_t(~target_ & 0x80);
    if (op_ == Op::Erase) s |= 0x08;
    if (state_ == State::Failed) s |= 0x20;
    return s;
}

uint16_t CfiNor16::Read(uint32_t offset, uint64_t now) {
    offset = offset % cells_.Size() & ~1u;
    Settle(now);
    switch (state_) {
    case State::Busy:
    case State::Failed:
        return Status();
    case State::Autoselect: {
        // "Autoselect Codes": manufacturer at word 0, device at word 1, sector protection at word 2.
        const uint32_t w = (offset >> 1) & 0xFF;
        return w == 0 ? part_.manufacturer : w == 1 ? part_.device : 0x0000;
    }
    case State::Query:
        return QueryByte((offset >> 1) & 0xFF);
    default:
        return uint16_t(cells_.Read(offset) | cells_.Read(offset + 1) << 8);
    }
}

void CfiNor16::NarrowWrite(uint32_t offset, unsigned size, uint64_t) {
    Misuse(std::to_string(size) + "-byte write at " + Hex(offset, 5) + " to the word-wide flash");
}

void CfiNor16::Write(uint32_t offset, uint16_t value, uint64_t now) {
    offset = offset % cells_.Size() & ~1u;
    Settle(now);
    const uint8_t cmd = uint8_t(value);
    const auto broken = [&](const char* where) {
        Misuse(std::string(where) + ": " + Hex(value, 4) + " at " + Hex(offset, 5));
        state_ = State::Read;
    };
    switch (state_) {
    case State::Busy:
        if (op_ == Op::Erase && cmd == 0x30 && now < windowEnd_) {
            AddSector(offset, now);
            return;
        }
        Misuse("write of " + Hex(value, 4) + " at " + Hex(offset, 5) + " while the flash is busy");
        return;
    case State::Failed:
        if (cmd == 0xF0) state_ = State::Read;
        else Misuse("write of " + Hex(value, 4) + " after a failed operation, before the reset command");
        return;
    case State::Read:
    case State::Autoselect:
    case State::Query:
        if (cmd == 0xF0) state_ = State::Read;
        else if (cmd == 0x98 && At(offset, 0x55) && state_ != State::Query && part_.cfi) state_ = State::Query;
        else if (cmd == 0xAA && At(offset, 0x555) && state_ != State::Query) state_ = State::Unlocked1;
        else broken("write without the unlock cycles");
        return;
    case State::Unlocked1:
        if (cmd == 0x55 && At(offset, 0x2AA)) state_ = State::Unlocked2;
        else broken("second unlock cycle wrong");
        return;
    case State::Unlocked2:
        if (At(offset, 0x555) && cmd == 0xA0) state_ = State::ProgramSetup;
        else if (At(offset, 0x555) && cmd == 0x80) state_ = State::EraseSetup;
        else if (At(offset, 0x555) && cmd == 0x90) state_ = State::Autoselect;
        else if (cmd == 0xF0) state_ = State::Read;
        else broken("unknown command");
        return;
    case State::ProgramSetup:
        Program(offset, value, now);
        return;
    case State::EraseSetup:
        if (cmd == 0xAA && At(offset, 0x555)) state_ = State::EraseUnlocked1;
        else broken("erase sequence broken at its fourth cycle");
        return;
    case State::EraseUnlocked1:
        if (cmd == 0x55 && At(offset, 0x2AA)) state_ = State::EraseUnlocked2;
        else broken("erase sequence broken at its fifth cycle");
        return;
    case State::EraseUnlocked2:
        if (cmd == 0x10 && At(offset, 0x555)) {
            op_ = Op::Erase;
            fails_ = eraseFails_;
            erasing_.assign(1, {0u, cells_.Size()});
            ++erases_;
            state_ = State::Busy;
            windowEnd_ = 0;
            doneAt_ = now + part_.chipEraseNs;
        } else if (cmd == 0x30) {
            op_ = Op::Erase;
            fails_ = eraseFails_;
            erasing_.clear();
            ++erases_;
            state_ = State::Busy;
            doneAt_ = now + kSectorEraseWindowNs;
            AddSector(offset, now);
        } else {
            broken("erase sequence broken at its sixth cycle");
        }
        return;
    }
}

void CfiNor16::AddSector(uint32_t offset, uint64_t now) {
    uint32_t from = 0;
    for (const auto& [count, bytes] : part_.regions)
        for (uint32_t i = 0; i < count; ++i, from += bytes)
            if (offset - from < bytes) {
                erasing_.push_back({from, from + bytes});
                // The window restarts with every sector; the erase runs after it.
                windowEnd_ = now + kSectorEraseWindowNs;
                doneAt_ = windowEnd_ + erasing_.size() * part_.sectorEraseNs;
                return;
            }
}

void CfiNor16::FinishErase() {
    if (fails_) return;   // the cells keep what they held; DQ5 tells the loader
    for (const auto& [from, to] : erasing_) {
        for (uint32_t a = from; a < to; ++a) cells_.Force(a, 0xFF);
        ++sectorsErased_;
    }
    erasing_.clear();
}

void CfiNor16::Program(uint32_t offset, uint16_t value, uint64_t now) {
    fails_ = false;
    for (uint32_t i = 0; i < 2; ++i) {
        const uint8_t old = cells_.Read(offset + i), want = uint8_t(value >> (8 * i));
        uint8_t result = old & want;
        if (want & ~old) {
            Misuse("program of " + Hex(value, 4) + " over non-erased " + Hex(offset, 5) + " (" + Hex(old, 2) + ")");
            fails_ = true;
        }
        const uint8_t cleared = uint8_t(old & ~want);
        if (stuck_.count(offset + i) && cleared) {
            result |= uint8_t(cleared & -cleared);   // the weak cell keeps its lowest bit
            fails_ = true;
        }
        cells_.Force(offset + i, result);
    }
    ++programmed_;
    op_ = Op::Program;
    target_ = value;
    state_ = State::Busy;
    doneAt_ = now + (fails_ ? part_.programLimitNs : part_.wordProgramNs);
}

}  // namespace qtx::sim
