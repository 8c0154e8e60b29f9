// Checks shared by the tests that run the host into a simulated board: the
// order of what the user saw, and what the board's flash holds afterwards.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "serial/deadline.h"
#include "sim_board.h"

namespace qtx::test {

enum class Match { Whole, Prefix };

// wanted occur among events in this order, others may come between.
::testing::AssertionResult InOrder(const std::vector<std::string>& events, const std::vector<std::string>& wanted,
                                   Match match = Match::Whole);

// What follows an odd-sized image: nothing (the cell stays erased), the 0x00 a
// word-wide loader completes it with, or either.
enum class OddPad { None, Zero, Any };

// Where a board keeps a file. A file longer than bank1 bytes (bank1 > 0) is
// split: its part from file offset bank2From lies at flash offset bank2At, and
// the bytes between are not programmed.
struct FlashLayout {
    OddPad pad = OddPad::Zero;
    std::size_t chipSize = 0;   // 0: any size that holds the image
    std::size_t bank1 = 0;
    std::size_t bank2From = 0;
    std::size_t bank2At = 0;
    uint8_t erased = 0xFF;      // what a cell never programmed reads (XE167: 0x00)
};

// flash holds fw where the layout puts it, and every other cell is erased.
::testing::AssertionResult FlashHolds(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& fw,
                                      const FlashLayout& layout = {});

// The board ended cleanly (status 0) and its flash holds fw.
void ExpectFlashHolds(SimBoard& board, const std::vector<uint8_t>& fw, const FlashLayout& layout = {});

inline SimOptions WithFaults(std::vector<std::string> faults) {
    SimOptions o;
    o.faults = std::move(faults);
    return o;
}
// A board that takes the bytes at the line's rate and answers after a USB adapter's turnaround.
inline SimOptions Paced(std::vector<std::string> faults = {}) {
    SimOptions o = WithFaults(std::move(faults));
    o.pace = true;
    o.latencyMs = 16;
    return o;
}

// Bytes the board received from the host in its session, from the line it
// logs when the host closes the port (0 before that).
std::size_t BytesReceived(const std::string& log);

// The longest emulated time a loaded program logged for its session, in
// seconds (0 when none ended yet): a paced board's must not exceed the wall's.
double EmulatedSeconds(const std::string& log);

// Waits until the board has logged text (a condition, not a time).
bool WaitForLog(const SimBoard& board, const std::string& text, int timeoutMs = 10000);

// The board's log lines without the program's prefix.
std::vector<std::string> LogLines(const std::string& log);

// The command-line tool with args and the path of fw (written into the board's
// private directory, which is also the tool's working directory, so that no
// stray flash.stp is read).
ProcessResult FlashWithCli(const SimBoard& board, std::vector<std::string> args, const std::vector<uint8_t>& fw,
                           int timeoutMs = 120000);

// A whole run through the command-line tool into a paced board (erase time
// 50 ms where the board takes one), with the board's log and flash afterwards.
struct CliRun {
    ProcessResult cli;
    std::string log;
    std::vector<uint8_t> flash;
    bool Holds(const std::vector<uint8_t>& fw) const {
        return flash.size() >= fw.size() && std::equal(fw.begin(), fw.end(), flash.begin());
    }
};
CliRun PacedCliRun(const char* board, const char* target, const std::vector<uint8_t>& fw,
                   std::vector<std::string> faults, const std::vector<std::string>& options);

// A sanitizer build (the one that stretches deadlines) runs our own emulated
// cores, C166 and 8051, at about 0.4 million instructions a second, a tenth of
// what their loaders need in real time at fast rates: a paced board then falls
// behind the wall, and the host's bytes land in its future, out of the order a
// chip would see them in. Fast rates on those boards are checked in the other
// builds.
inline bool OwnCoresBehindTheWallAtFastRates() { return qtx::ScaledDeadlineMs(1000) > 1000; }

}  // namespace qtx::test
