// Fast data through the command-line tool into paced STM32F4 and SAM3 boards:
// the loader's rate change, the data at the new rate (the boards' UARTs run
// at what their dividers make and garble anything else), and the way back to
// the port's rate when the switch cannot be made.
#include <gtest/gtest.h>

#include "engine_run.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

CliRun FastRun(const char* board, const char* target, const Bytes& fw, std::vector<std::string> faults = {},
               const std::vector<std::string>& fast = {"--fast"}) {
    return PacedCliRun(board, target, fw, std::move(faults), fast);
}

TEST(FastData, EveryTargetTakesItsDataAtItsFastestRate) {
    for (const auto& [board, target] : {std::pair{"stm32f4", "STM32F4"}, std::pair{"sam3u", "SAM3U"},
                                        std::pair{"sam3s", "SAM3S"}}) {
        SCOPED_TRACE(board);
        const Bytes fw = PatternBytes(20001, 3);
        const CliRun r = FastRun(board, target, fw);
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find("data at 1000000 baud (fast)"), std::string::npos) << r.cli.err;
        // The board's UART ran at the new divider: its bytes were not garbled.
        EXPECT_NE(r.log.find("host line: 1000000 baud"), std::string::npos) << r.log;
        EXPECT_EQ(r.log.find("garbled"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_NE(r.log.find(" 0 UART overruns"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
    }
}

// A core clock 3 % fast: the loader finds 1 Mbaud out of reach and refuses;
// a damaged sync: both sides go back. Either way the data go at 115200.
TEST(FastData, AFailedSwitchEndsInARunAtThePortsRate) {
    for (const auto& [fault, board, target, why] :
         {std::tuple{"no-fast", "stm32f4", "STM32F4", "The loader cannot make 1000000 baud"},
          std::tuple{"fast-garble", "stm32f4", "STM32F4", "Fast data failed (no sync echo at 1000000 baud)"},
          std::tuple{"no-fast", "sam3s", "SAM3S", "The loader cannot make 1000000 baud"},
          std::tuple{"fast-garble", "sam3u", "SAM3U", "Fast data failed (no sync echo at 1000000 baud)"}}) {
        SCOPED_TRACE(std::string(fault) + " " + board);
        const Bytes fw = PatternBytes(3001, 8);
        const CliRun r = FastRun(board, target, fw, {fault});
        EXPECT_EQ(r.cli.status, 0) << r.cli.err << r.log;
        EXPECT_NE(r.cli.err.find(why), std::string::npos) << r.cli.err;
        EXPECT_NE(r.cli.err.find("data at 115200 baud: the switch to 1000000 baud failed"), std::string::npos)
            << r.cli.err;
        EXPECT_NE(r.log.find("misuse: none"), std::string::npos) << r.log;
        EXPECT_TRUE(r.Holds(fw));
    }
}

TEST(FastData, ARateTheTargetDoesNotOfferIsRefusedBeforeTheRun) {
    struct Case {
        const char* board;
        const char* target;
        const char* option;
        const char* text;
    };
    for (const Case& c : {Case{"stm32f4", "STM32F4", "--fast=921600",
                               "STM32F4 cannot take the data at 921600 baud: its UART cannot make that rate within "
                               "1.5 % (offered: 230400, 460800, 500000, 1000000)"},
                          Case{"c509", "C509", "--fast", "C509 has no fast-data mode"},
                          Case{"stm32f4", "STM32F4", "--fast=fast", "fast data rate \"fast\" is not a positive number"}}) {
        SCOPED_TRACE(c.option);
        const CliRun r = FastRun(c.board, c.target, PatternBytes(100, 1), {}, {c.option});
        EXPECT_EQ(r.cli.status, 1) << r.cli.err;
        EXPECT_NE(r.cli.err.find(c.text), std::string::npos) << r.cli.err;
        EXPECT_EQ(r.log.find("host line"), std::string::npos) << "the port was opened:\n" << r.log;
    }
}

// Upload, Go, size (7359 bytes), the rate change (9) and sync (1), erase and
// 0x42 (2): data byte 100 is byte 7471 and arrives changed at 1 Mbaud.
TEST(FastData, TheContentCheckCatchesADamagedByteAtTheFastRate) {
    const CliRun r = FastRun("stm32f4", "STM32F4", PatternBytes(3000, 5), {"corrupt@7471"}, {"--fast=500000"});
    EXPECT_EQ(r.cli.status, 5) << r.cli.err;
    EXPECT_NE(r.cli.err.find("content check failed"), std::string::npos) << r.cli.err;
    EXPECT_NE(r.log.find("corrupt fault: byte 7471"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("host line: 500000 baud"), std::string::npos) << r.log;
}

}  // namespace
