// Whole GP4020 runs into the simulated board through the engine, and one
// through the command-line tool.
#include <gtest/gtest.h>

#include "target_runs.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

const RunTarget kGp4020{4, "gp4020", true};

INSTANTIATE_TEST_SUITE_P(
    Gp4020, FullRuns,
    // The 2022 bytes before the data, the file to a whole word, the content check and Finish.
    ::testing::Values(FullRun{"Gp4020Odd", kGp4020, 1001, 2022 + 1002 + 2,
                              {"the program matches the gp4020 image", "misuse: none"}}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Gp4020, Cli, ::testing::Values(std::make_pair(kGp4020, "GP4020")),
                         [](const auto& info) { return std::string(info.param.first.board); });

}  // namespace
