// Fast data into a paced XE167 board: the loader derives the new bit time from
// the 57600 set-up the bootstrap loader's measurement gave it, keeps its
// receive buffers free while the flash job's page loops run, and goes back to
// 57600 when the sync fails.
#include <gtest/gtest.h>

#include "engine_run.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

TEST(Xe167FastData, EachOfferedRateCarriesTheData) {
    if (OwnCoresBehindTheWallAtFastRates()) GTEST_SKIP() << "the sanitizer build's C166 core runs behind the wall";
    for (const char* rate : {"115200", "460800"}) {
        SCOPED_TRACE(rate);
        const Bytes fw = PatternBytes(20001, 4);
        const CliRun r = PacedCliRun("xe167", "XE167", fw, {}, {std::string("--fast=") + rate});
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find(std::string("data at ") + rate + " baud (fast)"), std::string::npos) << r.cli.err;
        EXPECT_NE(r.log.find(std::string("host line: ") + rate + " baud"), std::string::npos) << r.log;
        EXPECT_EQ(r.log.find("garbled"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
    }
}

// A damaged sync (the second switch: the first is the plain one to 57600),
// or none at all (byte 2084 after the zero byte, the loader and the rate
// change): both sides go back to 57600, the loader after its own wait, and the
// run ends well. Then a byte damaged at the fast rate: zero byte, loader
// (2074), rate change (9), sync (1), erase (1), size (5) and 0x42 come before
// data byte 100.
TEST(Xe167FastData, AFailedSyncFallsBackAndTheContentCheckHoldsAtTheFastRate) {
    if (OwnCoresBehindTheWallAtFastRates()) GTEST_SKIP() << "the sanitizer build's C166 core runs behind the wall";
    const Bytes fw = PatternBytes(3001, 6);
    for (const char* fault : {"fast-garble@2", "drop@2084"}) {
        SCOPED_TRACE(fault);
        const CliRun back = PacedCliRun("xe167", "XE167", fw, {fault}, {"--fast"});
        EXPECT_EQ(back.cli.status, 0) << back.cli.err << back.log;
        EXPECT_NE(back.cli.err.find("Fast data failed (no sync echo at 460800 baud)"), std::string::npos)
            << back.cli.err;
        EXPECT_NE(back.cli.err.find("data at 57600 baud: the switch to 460800 baud failed"), std::string::npos)
            << back.cli.err;
        EXPECT_NE(back.log.find("misuse: none"), std::string::npos) << back.log;
        EXPECT_TRUE(back.Holds(fw));
    }

    const CliRun bad = PacedCliRun("xe167", "XE167", PatternBytes(3000, 7), {"corrupt@2192"}, {"--fast=230400"});
    EXPECT_EQ(bad.cli.status, 5) << bad.cli.err;
    EXPECT_NE(bad.cli.err.find("content check failed"), std::string::npos) << bad.cli.err;
    EXPECT_NE(bad.log.find("corrupt fault: byte 2192"), std::string::npos) << bad.log;
}

}  // namespace
