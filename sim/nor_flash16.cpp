#include "sim/nor_flash16.h"

#include <cstdio>

namespace qtx::sim {

namespace {
// Unlock and command cycles look at A10..A0 of the word address only
// (Am29F400B "Command Definitions", note on don't-care address bits).
bool At(uint32_t offset, uint32_t wordAddr) { return ((offset >> 1) & 0x7FF) == wordAddr; }

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

// Bottom boot sector layout in bytes: 16K, 8K, 8K, 32K, then seven 64K ("Sector Address Table").
void SectorOf(uint32_t offset, uint32_t& from, uint32_t& to) {
    static const uint32_t starts[] = {0x00000, 0x04000, 0x06000, 0x08000, 0x10000, 0x20000,
                                      0x30000, 0x40000, 0x50000, 0x60000, 0x70000, 0x80000};
    for (int i = 0; i < 11; ++i)
        if (offset < starts[i + 1]) {
            from = starts[i];
            to = starts[i + 1];
            return;
        }
    from = to = 0;
}
}  // namespace

NorFlash16::NorFlash16(std::set<uint32_t> stuckAt) : cells_(kBytes), stuck_(std::move(stuckAt)) {}

void NorFlash16::Reset() {
    state_ = State::Read;
    op_ = Op::None;
    misuse_.clear();
    programmed_ = erases_ = 0;
}

void NorFlash16::Note(const std::string& what) {
    if (misuse_.size() < 50) misuse_.push_back(what);
}

void NorFlash16::Settle(uint64_t now) {
    if (state_ == State::Busy && now >= doneAt_) state_ = fails_ ? State::Failed : State::Read;
}

uint16_t NorFlash16::Read(uint32_t offset, uint64_t now) {
    offset &= kBytes - 2;
    Settle(now);
    if (state_ == State::Busy || state_ == State::Failed) {
        // Write operation status: DQ7 data# (0 while erasing), DQ6 toggles on
        // every read, DQ5 once the operation has exceeded its time, DQ3 the
        // erase timer ("Write Operation Status" table).
        toggle_ = !toggle_;
        uint16_t s = toggle_ ? 0x40 : 0;
        if (op_ == Op::Program) s |= uint16_t(~target_ & 0x80);
        if (op_ == Op::Erase) s |= 0x08;
        if (state_ == State::Failed) s |= 0x20;
        return s;
    }
    if (state_ == State::Autoselect) {
        // Manufacturer 01h, device 22ABh (Am29F400BB, word mode) ("Autoselect Codes").
        const uint32_t w = (offset >> 1) & 0xFF;
        return w == 0 ? 0x0001 : w == 1 ? 0x22AB : 0x0000;
    }
    return uint16_t(cells_.Read(offset) | cells_.Read(offset + 1) << 8);
}

void NorFlash16::WriteByte(uint32_t offset, uint64_t now) {
    (void)now;
    Note("byte write at " + Hex(offset, 5) + " to the word-wide flash");
}

void NorFlash16::Write(uint32_t offset, uint16_t value, uint64_t now) {
    offset &= kBytes - 2;
    Settle(now);
    const uint8_t cmd = uint8_t(value);
    switch (state_) {
    case State::Busy:
        Note("write of " + Hex(value, 4) + " at " + Hex(offset, 5) + " while the flash is busy");
        return;
    case State::Failed:
        if (cmd == 0xF0) state_ = State::Read;
        else Note("write of " + Hex(value, 4) + " after a failed operation without the reset command");
        return;
    case State::Read:
    case State::Autoselect:
        if (cmd == 0xF0) state_ = State::Read;
        else if (cmd == 0xAA && At(offset, 0x555)) state_ = State::Unlocked1;
        else Note("write of " + Hex(value, 4) + " at " + Hex(offset, 5) + " without the unlock cycles");
        return;
    case State::Unlocked1:
        if (cmd == 0x55 && At(offset, 0x2AA)) state_ = State::Unlocked2;
        else { Note("second unlock cycle wrong: " + Hex(value, 4) + " at " + Hex(offset, 5)); state_ = State::Read; }
        return;
    case State::Unlocked2:
        if (At(offset, 0x555) && cmd == 0xA0) state_ = State::ProgramSetup;
        else if (At(offset, 0x555) && cmd == 0x80) state_ = State::EraseSetup;
        else if (At(offset, 0x555) && cmd == 0x90) state_ = State::Autoselect;
        else if (cmd == 0xF0) state_ = State::Read;
        else { Note("unknown command " + Hex(value, 4) + " at " + Hex(offset, 5)); state_ = State::Read; }
        return;
    case State::ProgramSetup:
        Program(offset, value, now);
        return;
    case State::EraseSetup:
        if (cmd == 0xAA && At(offset, 0x555)) state_ = State::EraseUnlocked1;
        else { Note("erase sequence broken at its fourth cycle"); state_ = State::Read; }
        return;
    case State::EraseUnlocked1:
        if (cmd == 0x55 && At(offset, 0x2AA)) state_ = State::EraseUnlocked2;
        else { Note("erase sequence broken at its fifth cycle"); state_ = State::Read; }
        return;
    case State::EraseUnlocked2:
        if (cmd == 0x10 && At(offset, 0x555)) {
            Erase(0, kBytes, now, kChipEraseNs);
        } else if (cmd == 0x30) {
            uint32_t from, to;
            SectorOf(offset, from, to);
            Erase(from, to, now, kSectorEraseNs);
        } else {
            Note("erase sequence broken at its sixth cycle");
            state_ = State::Read;
        }
        return;
    }
}

void NorFlash16::Program(uint32_t offset, uint16_t value, uint64_t now) {
    fails_ = false;
    for (uint32_t i = 0; i < 2; ++i) {
        const uint8_t old = cells_.Read(offset + i), want = uint8_t(value >> (8 * i));
        uint8_t result = old & want;
        if (want & ~old) {
            // Programming can only clear bits: the chip times out (DQ5) and the cell keeps its 0s.
            Note("program of " + Hex(value, 4) + " over non-erased " + Hex(offset, 5) + " (" + Hex(old, 2) + ")");
            fails_ = true;
        }
        const uint8_t cleared = uint8_t(old & ~want);
        if (stuck_.count(offset + i) && cleared) {
            result |= uint8_t(cleared & -cleared);   // the weak cell's lowest bit stays 1
            fails_ = true;
        }
        cells_.Force(offset + i, result);
    }
    ++programmed_;
    op_ = Op::Program;
    target_ = value;
    opOffset_ = offset;
    state_ = State::Busy;
    doneAt_ = now + (fails_ ? kTimeoutNs : kWordProgramNs);
}

void NorFlash16::Erase(uint32_t from, uint32_t to, uint64_t now, uint64_t durationNs) {
    for (uint32_t a = from; a < to; ++a) cells_.Force(a, 0xFF);
    ++erases_;
    fails_ = false;
    op_ = Op::Erase;
    eraseFrom_ = from;
    eraseTo_ = to;
    state_ = State::Busy;
    doneAt_ = now + durationNs;
}

}  // namespace qtx::sim
