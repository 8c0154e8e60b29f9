// Fast data through the command-line tool into paced C166/167 and C163
// boards: the loader scales the ROM's S0BG to 312500 baud, ASC0 runs at what
// its divider makes (the rig garbles anything else), and a switch that cannot
// be made ends in a run at the port's rate.
#include <gtest/gtest.h>

#include "run_checks.h"

using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

CliRun FastRun(const char* board, const char* target, const char* baud, const Bytes& fw,
               std::vector<std::string> faults = {}) {
    return PacedCliRun(board, target, fw, std::move(faults), {"-b", baud, "--fast"});
}

// The emulated time of the board's log line "ASC0 divider ...<what>T s" (-1: none).
double DividerSeconds(const std::string& log, const std::string& what) {
    const std::size_t at = log.find(what);
    return at == std::string::npos ? -1 : std::stod(log.substr(at + what.size()));
}

TEST(C16xFast, BothBoardsTakeTheirDataAt312500) {
    if (OwnCoresBehindTheWallAtFastRates()) GTEST_SKIP() << "the sanitizer build's C166 core runs behind the wall";
    for (const auto& [board, target] : {std::pair{"c167", "C166/167"}, std::pair{"c163", "C163"}}) {
        SCOPED_TRACE(board);
        const Bytes fw = PatternBytes(30001, 11);
        const CliRun r = FastRun(board, target, "57600", fw);
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find("data at 312500 baud (fast)"), std::string::npos) << r.cli.err;
        EXPECT_NE(r.log.find("host line: 312500 baud"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find("ASC0 divider S0BG = 1: 312500 baud at "), std::string::npos) << r.log;
        EXPECT_EQ(r.log.find("garbled"), std::string::npos) << r.log;
        // An overrun, or a divider changed while the line was busy, would be misuse.
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
    }
}

// A crystal 3 % fast: the ROM measures S0BG 33 instead of 32 at 19200 baud,
// and the loader, which scales that, finds 312500 out of reach (326400, 4.4 %
// off) and refuses. A damaged sync: both sides go back at once. A lost sync
// (byte 820, after the zero byte, the loader and the rate change): the loader
// goes back when T3 says 500 ms have passed, before the host pings at 600 ms.
// Every way the data go at the port's rate.
TEST(C16xFast, AFailedSwitchEndsInARunAtThePortsRate) {
    if (OwnCoresBehindTheWallAtFastRates()) GTEST_SKIP() << "the sanitizer build's C166 core runs behind the wall";
    for (const auto& [fault, board, target, baud, why] :
         {std::tuple{"no-fast", "c167", "C166/167", "19200", "The loader cannot make 312500 baud"},
          std::tuple{"fast-garble", "c163", "C163", "57600", "Fast data failed (no sync echo at 312500 baud)"},
          std::tuple{"drop@820", "c167", "C166/167", "57600", "Fast data failed (no sync echo at 312500 baud)"}}) {
        SCOPED_TRACE(std::string(fault) + " " + board);
        const Bytes fw = PatternBytes(2001, 8);
        const CliRun r = FastRun(board, target, baud, fw, {fault});
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find(why), std::string::npos) << r.cli.err;
        EXPECT_NE(r.cli.err.find(std::string("data at ") + baud + " baud: the switch to 312500 baud failed"),
                  std::string::npos)
            << r.cli.err;
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
        if (std::string(fault).rfind("drop", 0) == 0) {
            EXPECT_NEAR(DividerSeconds(r.log, " (the ROM's) at ") - DividerSeconds(r.log, ": 312500 baud at "), 0.5,
                        0.01)
                << r.log;
        }
    }
}

// Zero byte, loader (810), the rate change (9) and sync (1), erase (1), size
// (5) and 0x42 (1): data byte 100 is byte 928 and arrives changed at 312500.
TEST(C16xFast, TheContentCheckCatchesADamagedByteAtTheFastRate) {
    if (OwnCoresBehindTheWallAtFastRates()) GTEST_SKIP() << "the sanitizer build's C166 core runs behind the wall";
    const CliRun r = FastRun("c167", "C166/167", "57600", PatternBytes(3000, 5), {"corrupt@928"});
    EXPECT_EQ(r.cli.status, 5) << r.cli.err;
    EXPECT_NE(r.cli.err.find("content check failed"), std::string::npos) << r.cli.err;
    EXPECT_NE(r.log.find("corrupt fault: byte 928"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("host line: 312500 baud"), std::string::npos) << r.log;
}

}  // namespace
