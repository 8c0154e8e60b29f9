// Fast data into a paced GP4020 board through the command-line tool: the
// loader's new UART1 divider, the data at 312500 baud, and the way back to
// the ROM's 57600 when the switch fails.
#include <gtest/gtest.h>

#include "engine_run.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

// The download (3 + 2012 bytes), the rate change (9) and its sync (1), 0x62,
// 0x22 and its size, 0x42: the data's first byte is byte 2032 on the line.
constexpr int kFirstDataByte = 2032;

CliRun FastRun(const Bytes& fw, std::vector<std::string> faults = {}) {
    return PacedCliRun("gp4020", "GP4020", fw, std::move(faults), {"--fast"});
}

TEST(Gp4020Fast, TheDataGoAt312500AndAFailedSwitchFallsBackTo57600) {
    struct Case {
        const char* fault;   // nullptr: none
        const char* says;
    };
    for (const Case& c : {Case{nullptr, "data at 312500 baud (fast)"},
                          // BuILD_CLK 3 % fast: the loader cannot tell, the board's UART then
                          // makes 321875 baud and the sync arrives garbled.
                          Case{"no-fast", "Fast data failed (no sync echo at 312500 baud)"},
                          Case{"fast-garble", "Fast data failed (no sync echo at 312500 baud)"}}) {
        SCOPED_TRACE(c.fault ? c.fault : "none");
        const Bytes fw = PatternBytes(c.fault ? 3001 : 20001, 3);
        const CliRun r = FastRun(fw, c.fault ? std::vector<std::string>{c.fault} : std::vector<std::string>{});
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find(c.says), std::string::npos) << r.cli.err;
        EXPECT_NE(r.log.find("host line: 312500 baud"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find(" 0 UART overruns"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
        if (!c.fault) {
            EXPECT_EQ(r.log.find("garbled"), std::string::npos) << r.log;
        } else {
            EXPECT_NE(r.cli.err.find("data at 57600 baud: the switch to 312500 baud failed"), std::string::npos)
                << r.cli.err;
        }
    }
}

TEST(Gp4020Fast, TheContentCheckCatchesADamagedByteAtTheFastRate) {
    const CliRun r = FastRun(PatternBytes(3000, 5), {"corrupt@" + std::to_string(kFirstDataByte + 100)});
    EXPECT_EQ(r.cli.status, 5) << r.cli.err;
    EXPECT_NE(r.cli.err.find("content check failed"), std::string::npos) << r.cli.err;
    EXPECT_NE(r.log.find("corrupt fault: byte " + std::to_string(kFirstDataByte + 100)), std::string::npos) << r.log;
    EXPECT_NE(r.cli.err.find("Data at 312500 baud"), std::string::npos) << r.cli.err;
    EXPECT_NE(r.log.find("host line: 312500 baud"), std::string::npos) << r.log;
}

}  // namespace
