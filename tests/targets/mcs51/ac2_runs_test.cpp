// Whole T89C5xACx runs into the simulated board, through the engine and the
// command-line tool.
#include <gtest/gtest.h>

#include "target_runs.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

const RunTarget kAc2{7, "t89c5xacx", false};
// "U" and the 13 characters of the erase before the first data record; a data
// record of n bytes has 11 + 2n characters (no line end); the two fuse records
// 17 each and the reset record 15 after the last one.
constexpr std::size_t kBeforeData = 1 + 13, kAfterData = 17 + 17 + 15;
constexpr std::size_t Record(std::size_t n) { return 11 + 2 * n; }

INSTANTIATE_TEST_SUITE_P(
    Ac2, FullRuns,
    ::testing::Values(
        FullRun{"Ac2OneByte", kAc2, 1, kBeforeData + Record(1) + kAfterData,
                {"X2 fuse := 0x00", "BLJB fuse := 0x01", "reset record after 1 data records"}},
        FullRun{"Ac2Largest", kAc2, 65536, kBeforeData + 512 * Record(128) + kAfterData,
                {"reset record after 512 data records"}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Ac2, FailedRuns,
    ::testing::Values(
        // Byte 30 is a data digit of the first data record ("U", 13 erase characters, then it).
        FailedRun{"Ac2RecordAnsweredX", kAc2, {"corrupt@30"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR", "Flash Program: data record at address 0000h answered \"X\" (checksum error)",
                  kBeforeData + Record(128), 0},
        FailedRun{"Ac2WriteRefusedP", kAc2, {"verify-error@0x142"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR", "Flash Program: data record at address 0100h answered \"P\" (security error)",
                  kBeforeData + 3 * Record(128), 0}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Ac2, Cli, ::testing::Values(std::make_pair(kAc2, "t89c5xacx")),
                         [](const auto& info) { return std::string(info.param.first.board); });

}  // namespace
