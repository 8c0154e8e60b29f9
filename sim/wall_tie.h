// Ties a paced board's emulated clock to the wall clock. A board whose core
// waits for an event (a flash operation ending, a byte landing) may skip its
// clock to that event, but a paced board never skips past the wall: a real
// chip's 11 s erase takes 11 s, and a host deadline shorter than that must
// show up in a paced run. A core that emulates faster than the chip runs is
// held back the same way. Unpaced boards are not tied (On() is false).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>

#include "sim/board.h"

namespace qtx::sim {

class WallTie {
public:
    explicit WallTie(bool on) : on_(on) {}

    bool On() const { return on_; }

    // emuNs on the board's clock is the moment wall on the rig's.
    void Anchor(uint64_t emuNs, Clock::time_point wall) {
        anchorEmu_ = emuNs;
        anchorWall_ = wall;
    }

    // The furthest the board's clock may have got at wall time `wall`.
    uint64_t Limit(Clock::time_point wall) const {
        if (!on_) return UINT64_MAX;
        const auto d = std::chrono::duration_cast<std::chrono::nanoseconds>(wall - anchorWall_).count();
        return d <= 0 ? anchorEmu_ : anchorEmu_ + uint64_t(d);
    }

    // The wall time at which the board's clock may reach emuNs.
    Clock::time_point WallAt(uint64_t emuNs) const {
        return anchorWall_ + std::chrono::nanoseconds(emuNs > anchorEmu_ ? int64_t(emuNs - anchorEmu_) : 0);
    }

    // A core waiting for an event at emulated time `next` may jump its clock
    // to the time returned. Short of `next`, the core is held until the wall
    // reaches `next` (Held()); a byte that comes meanwhile wakes it early.
    uint64_t SkipTarget(uint64_t next, Clock::time_point wall) {
        const uint64_t limit = Limit(wall);
        if (next <= limit) return next;
        hold_ = WallAt(next);
        waiting_ = true;
        return limit;
    }

    // A core that computed past the wall is held until the wall catches up;
    // a byte does not wake it, the chip would still be busy.
    bool Ahead(uint64_t emuNs, Clock::time_point wall) {
        if (emuNs <= Limit(wall)) return false;
        hold_ = WallAt(emuNs);
        waiting_ = false;
        return true;
    }

    // The core waits for the host: its clock follows the wall until a byte comes.
    void Idle() { idle_ = true; }

    // The earliest a byte that comes at `wall` can land: a waiting core's
    // clock has followed the wall. (The clock itself is not moved here: events
    // already pending must still come one by one.)
    uint64_t CatchUp(uint64_t emuNs, Clock::time_point wall) const {
        if (!on_) return emuNs;
        return idle_ || (hold_ && waiting_) ? std::max(emuNs, Limit(wall)) : emuNs;
    }

    std::optional<Clock::time_point> Held() const { return hold_; }
    bool HeldComputing() const { return hold_ && !waiting_; }
    // The core runs again.
    void Release() {
        hold_.reset();
        idle_ = false;
    }

private:
    bool on_;
    std::optional<Clock::time_point> hold_;
    bool waiting_ = false;
    bool idle_ = false;
    uint64_t anchorEmu_ = 0;
    Clock::time_point anchorWall_{};
};

}  // namespace qtx::sim
