// Boot-mode forcing end to end: simulated SAM3S and STM32F4 boards that run
// their application firmware, flashed through the engine and through the
// command-line tool after AUTOBAUD and the retry, and the ways it fails.
#include <gtest/gtest.h>

#include "engine/boot_mode_switch.h"
#include "engine_run.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

struct Target {
    const char* name;
    const char* board;
    const char* itemText;
    int32_t code;
    friend void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }
};

const Target kStm32{"Stm32f4", "stm32f4", "STM32F4", 11};
const Target kSam3s{"Sam3s", "sam3s", "SAM3S", 10};
const Target kSam3u{"Sam3u", "sam3u", "SAM3U", 9};

SimOptions AppRunning(const Target& t, std::vector<std::string> extra = {}) {
    SimOptions o;
    o.board = t.board;
    o.once = false;  // the first attempt and every broadcast close the port
    o.eraseMs = 50;
    o.extraArgs = {"--app-running"};
    o.extraArgs.insert(o.extraArgs.end(), extra.begin(), extra.end());
    return o;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class ForcingBase : public EngineRun {
protected:
    RunOutcome Run(const Target& t, const SimOptions& o, const Bytes& fw) {
        StartBoard(t.code, o);
        return EngineRun::Run(fw);
    }
};

class Forcing : public ForcingBase, public ::testing::WithParamInterface<Target> {};

TEST_P(Forcing, ARunningApplicationIsSwitchedAndFlashed) {
    const Target t = GetParam();
    const Bytes fw = PatternBytes(3000, 5);
    ASSERT_EQ(Run(t, AppRunning(t), fw), RunOutcome::Programmed) << rec.status << "\n" << board->Log();
    EXPECT_TRUE(InOrder({"BslPanel caption TIMEOUT", "BslPanel color clLime", "BslPanel caption AUTOBAUD",
                         "status Autobauding, please wait .......", "status Init BSL Mode....", "status ...done!",
                         "BslPanel color clLime", "status  Programming ok."}))
        << ::testing::PrintToString(rec.events);
    EXPECT_FALSE(rec.Has("BslPanel caption NO BOOT"));
    EXPECT_EQ(rec.Matching("BslPanel caption AUTOBAUD").size(), 1u) << "one switch was enough";

    board->Stop();
    const std::string log = board->Log();
    // One switch, by a text at the console's rate. The rate and order of all
    // 130 texts are checked on the line itself (cmdproto's Broadcast test):
    // a board that the machine runs more than a session late reads the rate
    // its host has restored since, and a pty tells it no better.
    EXPECT_EQ(Count(log, "application: autobaud text at"), 1u) << log;
    // The command carries the rate of the target's port record, once.
    EXPECT_EQ(Count(log, "boot-mode command (rate field 115200): accepted"), 1u) << log;
    const Bytes flash = board->Flash();
    ASSERT_GE(flash.size(), fw.size());
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
}

INSTANTIATE_TEST_SUITE_P(Arm, Forcing, ::testing::Values(kStm32, kSam3s, kSam3u),
                         [](const auto& info) { return std::string(info.param.name); });

struct NoBootCase {
    const char* name;
    Target target;
    const char* answer;
    const char* status;
    friend void PrintTo(const NoBootCase& c, std::ostream* os) { *os << c.name; }
};

class NoBoot : public ForcingBase {};
class NoBootAnswers : public NoBoot, public ::testing::WithParamInterface<NoBootCase> {};

TEST_P(NoBootAnswers, EndTheRunInNoBoot) {
    const NoBootCase c = GetParam();
    const RunOutcome outcome = Run(c.target, AppRunning(c.target, {"--app-answer", c.answer}), PatternBytes(64));
    EXPECT_EQ(outcome, RunOutcome::NoBoot) << board->Log();
    EXPECT_EQ(rec.status, c.status);
    EXPECT_TRUE(InOrder({"BslPanel caption AUTOBAUD", "status Init BSL Mode....", std::string("status ") + c.status,
                         "BslPanel color clRed", "BslPanel caption NO BOOT"}))
        << ::testing::PrintToString(rec.events);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "NO BOOT");
    EXPECT_TRUE(rec.flashEnabled);
    EXPECT_FALSE(ctx.PortIsOpen);
    board->Stop();
    EXPECT_EQ(Count(board->Log(), "boot-mode command (rate field 115200)"), 1u) << "sent once, never repeated";
}

INSTANTIATE_TEST_SUITE_P(Arm, NoBootAnswers,
                         ::testing::Values(NoBootCase{"Stm32f4Refuses", kStm32, "refuse", "Error! rc = -3"},
                                           NoBootCase{"Sam3sIsSilent", kSam3s, "silent", "Error! rc = -2"},
                                           NoBootCase{"Stm32f4AnswersWithoutFlag", kStm32, "no-flag",
                                                      "Error! rc = -4"}),
                         [](const auto& info) { return std::string(info.param.name); });

class CliForcing : public ::testing::Test {
protected:
    ProcessResult Flash(SimBoard& board, const Target& t, const Bytes& fw) {
        return FlashWithCli(board, {"-t", t.itemText, "-p", "COM1"}, fw, 90000);
    }
};

TEST_F(CliForcing, FlashesRunningApplicationsAfterAutobaud) {
    for (const Target& t : {kStm32, kSam3s}) {
        SCOPED_TRACE(t.name);
        SimBoard board(AppRunning(t));
        const Bytes fw = PatternBytes(2000, 8);
        const ProcessResult r = Flash(board, t, fw);
        EXPECT_EQ(r.status, 0) << r.err << board.Log();
        for (const char* said : {"BSL: TIMEOUT", "BSL: AUTOBAUD", "Autobauding, please wait .......",
                                 "Init BSL Mode....", "...done!", "Programming ok."})
            EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
        board.Stop();
        const Bytes flash = board.Flash();
        ASSERT_GE(flash.size(), fw.size());
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
    }
}

TEST(AppRunningOption, IsCheckedByTheSimulator) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--board", "c167", "--port", "COM1", "--app-running"},
          std::vector<std::string>{"--board", "sam3s", "--port", "COM1", "--app-running", "--app-answer", "maybe"},
          std::vector<std::string>{"--board", "sam3s", "--port", "COM1", "--app-baud", "0"},
          std::vector<std::string>{"--board", "sam3s", "--port", "COM1", "--app-running=yes"}}) {
        const ProcessResult r = RunProgram(QTXSIM_PATH, args, 10000);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args) << r.err;
    }
}

}  // namespace
