#include "sim/am29f010_flash.h"

#include <cstdio>

namespace qtx::sim {

namespace {

// Only A10-A0 take part in decoding the unlock and command cycles.
bool At(uint32_t addr, uint32_t cmdAddr) { return (addr & 0x7FF) == (cmdAddr & 0x7FF); }

std::string Hex(uint32_t v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*Xh", digits, unsigned(v));
    return buf;
}

}  // namespace

Am29F010::Am29F010(std::size_t size, std::set<uint32_t> stuckHigh)
    : cells_(size), stuckHigh_(std::move(stuckHigh)) {}

void Am29F010::Misuse(const std::string& what) { misuses_.push_back(what); }

void Am29F010::Settle(Ns now) {
    if (state_ != State::Busy || now < doneAt_) return;
    if (job_ == Job::Program) {
        const uint8_t old = cells_.Read(programAddr_);
        const bool stuck = stuckHigh_.count(programAddr_) != 0;
        cells_.Force(programAddr_, uint8_t((old & programData_) | (stuck ? 0x01 : 0x00)));
        ++programmed_;
        // A bit that would not go to 0 ran the algorithm out of time: DQ5 is
        // up and the chip stays in status mode until it is reset.
        state_ = stuck && !(programData_ & 0x01) ? State::Failed : State::Read;
    } else {
        for (uint32_t s : eraseSectors_) {
            for (uint32_t a = s * kSectorSize; a < (s + 1) * kSectorSize && a < cells_.Size(); ++a) cells_.Force(a, 0xFF);
            ++erased_;
        }
        eraseSectors_.clear();
        state_ = State::Read;
    }
    if (state_ == State::Read) job_ = Job::None;
}

uint8_t Am29F010::Status() {
    toggle_ = !toggle_;
    uint8_t s = toggle_ ? 0x40 : 0x00;                                    // DQ6 toggles on every read
    if (job_ == Job::Program) s |= uint8_t(~programData_ & 0x80);         // DQ7: complement of the data
    if (state_ == State::Failed) s |= 0x20;                              // DQ5: timing limit exceeded
    return s;
}

uint8_t Am29F010::Read(uint32_t addr, Ns now) {
    Settle(now);
    if (state_ == State::Busy) {
        if (job_ == Job::Erase && now >= windowEnd_) return uint8_t(Status() | 0x08);   // DQ3: erase has begun
        return Status();
    }
    if (state_ == State::Failed) return Status();
    return cells_.Read(addr);
}

void Am29F010::Write(uint32_t addr, uint8_t data, Ns now) {
    Settle(now);
    const std::string where = " (" + Hex(data, 2) + " to " + Hex(addr, 5) + ")";
    auto broken = [&](const char* step) {
        Misuse(std::string("command sequence broken at ") + step + where + ": back to reading array data");
        state_ = State::Read;
    };
    switch (state_) {
    case State::Busy:
        if (job_ == Job::Erase && now < windowEnd_ && data == 0x30) {
            // One more sector inside the time-out window: the window starts again.
            eraseSectors_.insert(addr / kSectorSize);
            windowEnd_ = now + kEraseWindowNs;
            doneAt_ = windowEnd_ + eraseSectors_.size() * kSectorEraseNs;
            return;
        }
        Misuse(std::string(job_ == Job::Program ? "write while programming" : "write while erasing") + where +
               ": ignored");
        return;
    case State::Failed:
        if (data == 0xF0) {
            state_ = State::Read;
            job_ = Job::None;
        } else {
            Misuse("write after a failed operation without the reset command" + where);
        }
        return;
    case State::Read:
        if (data == 0xF0) return;
        if (At(addr, 0x5555) && data == 0xAA) {
            state_ = State::Unlock1;
        } else {
            Misuse("write without the unlock cycles" + where + ": ignored");
        }
        return;
    case State::Unlock1:
        if (At(addr, 0x2AAA) && data == 0x55) {
            state_ = State::Unlock2;
        } else {
            broken("the second unlock cycle");
        }
        return;
    case State::Unlock2:
        if (!At(addr, 0x5555)) return broken("the command cycle");
        if (data == 0xA0) {
            state_ = State::ProgramSetup;
        } else if (data == 0x80) {
            state_ = State::EraseSetup;
        } else if (data == 0xF0) {
            state_ = State::Read;
        } else {
            broken("the command cycle (a command this model does not carry)");
        }
        return;
    case State::ProgramSetup: {
        const uint8_t old = cells_.Read(addr);
        if (data & ~old)
            Misuse("programming " + Hex(data, 2) + " over " + Hex(old, 2) + " at " + Hex(addr, 5) +
                   ": a 0 cannot become 1 without an erase");
        programAddr_ = addr;
        programData_ = data;
        job_ = Job::Program;
        state_ = State::Busy;
        const bool fails = stuckHigh_.count(addr) && !(data & 0x01);
        doneAt_ = now + (fails ? kByteProgramMaxNs : kByteProgramNs);
        return;
    }
    case State::EraseSetup:
        if (At(addr, 0x5555) && data == 0xAA) {
            state_ = State::EraseUnlock1;
        } else {
            broken("the erase unlock cycle");
        }
        return;
    case State::EraseUnlock1:
        if (At(addr, 0x2AAA) && data == 0x55) {
            state_ = State::EraseUnlock2;
        } else {
            broken("the second erase unlock cycle");
        }
        return;
    case State::EraseUnlock2:
        job_ = Job::Erase;
        if (data == 0x30) {
            eraseSectors_ = {addr / kSectorSize};
            windowEnd_ = now + kEraseWindowNs;
        } else if (data == 0x10 && At(addr, 0x5555)) {
            for (uint32_t s = 0; s * kSectorSize < cells_.Size(); ++s) eraseSectors_.insert(s);
            windowEnd_ = now;
        } else {
            job_ = Job::None;
            return broken("the erase command");
        }
        doneAt_ = windowEnd_ + eraseSectors_.size() * kSectorEraseNs;
        state_ = State::Busy;
        return;
    }
}

}  // namespace qtx::sim
