// Ctrl-C at every stage of a run, on every target: the tool ends at once with
// status 130 and the port released, and a signal that comes before the erase
// command has left leaves the board's flash untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "child.h"
#include "engine/target_table.h"
#include "sim_board.h"

namespace qtx::test {
namespace {

namespace fs = std::filesystem;

// The rig may stretch time bounds by one factor (slow sanitizer builds); the
// product's own deadlines never change.
long Scaled(long ms) {
    const char* f = std::getenv("QTXFLASH_DEADLINE_SCALE");
    const double k = f ? std::atof(f) : 1.0;
    return long(ms * (k > 1.0 ? k : 1.0));
}

// Whether the board's log shows that its flash was erased or programmed. The
// ROM-loader boards log the erase; the loaded programs report their work when
// they end, and a program that never ran did nothing.
bool BoardTouchedFlash(const std::string& board, const std::string& log) {
    if (board == "c509") return log.find("erase command") != std::string::npos;
    if (board == "t89c5xacx") return log.find("full chip erase") != std::string::npos;
    std::smatch m;
    if (board == "c167" || board == "c163")
        return std::regex_search(log, m, std::regex(", [1-9][0-9]* erases")) ||
               std::regex_search(log, m, std::regex(" [1-9][0-9]* words programmed"));
    if (board == "xc164" || board == "xe167")
        return std::regex_search(log, m, std::regex(" [1-9][0-9]* (sectors erased|pages programmed)"));
    // The ARM loaders: the STM32 preloaders' size command (5 bytes) comes before its erase command.
    if (!std::regex_search(log, m, std::regex("; ([0-9]+) bytes received"))) return false;
    return std::stoul(m[1]) > (board.rfind("stm32", 0) == 0 ? 5u : 0u);
}

class CtrlC : public ::testing::TestWithParam<const TargetRow*> {
protected:
    void SetUp() override { old_ = fs::current_path(); }
    void TearDown() override { fs::current_path(old_); }
    fs::path old_;
};

struct Point {
    const char* what;
    const char* marker;  // the tool's line after which the signal goes in
    int delayMs;
    bool paced;
    bool beforeErase;    // the signal certainly comes before the erase command
    bool dropNearEnd;    // a byte near the end is lost: the host sits in its final wait
};

TEST_P(CtrlC, EndsTheRunAtOnceAndNeverErasesBeforeTheEraseCommand) {
    const TargetRow& t = *GetParam();
    const bool hasErase = t.hasEraseStage;
    const std::string board = t.simBoard;
    const auto fw = PatternBytes(8000, 9);

    // A whole run first: how many bytes the host sends.
    std::size_t hostBytes = 0;
    {
        SimOptions o;
        o.board = board;
        o.eraseMs = 50;
        SimBoard sim(o);
        fs::current_path(sim.PortsDir());
        WriteFileBytes("fw.bin", fw);
        const ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, {"-t", t.itemText, "fw.bin"}, 120000);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(sim.Wait(), 0);
        std::smatch m;
        const std::string log = sim.Log();
        ASSERT_TRUE(std::regex_search(log, m, std::regex("host closed COM1 after ([0-9]+) bytes"))) << log;
        hostBytes = std::stoul(m[1]);
        fs::current_path(old_);
    }
    // Records end with the fuse and reset records on the T89C5xACx, the loaders' streams with 0x43 and 0x01.
    const std::size_t fromEnd = board == "t89c5xacx" ? 40 : 10;

    const Point points[] = {
        {"during the loader upload", "BSL: running", 0, true, true, false},
        {"during the erase", hasErase ? "ERASE: running" : "FLASH: running", 200, true, false, false},
        {"during the data", "FLASH: running", 400, true, false, false},
        {"in the final wait", "FLASH: running", 1000, false, false, true},
    };
    for (const Point& p : points) {
        SCOPED_TRACE(p.what);
        SimOptions o;
        o.board = board;
        o.pace = p.paced;
        o.eraseMs = 3000;
        if (p.dropNearEnd) o.faults = {"drop@" + std::to_string(hostBytes - fromEnd)};
        SimBoard sim(o);
        fs::current_path(sim.PortsDir());
        WriteFileBytes("fw.bin", fw);
        Child child({"-t", t.itemText, "fw.bin"});
        ASSERT_TRUE(child.WaitFor(p.marker, 60000)) << child.text;
        if (p.delayMs) ::usleep(p.delayMs * 1000);
        const auto sent = std::chrono::steady_clock::now();
        ::kill(child.pid, SIGINT);
        EXPECT_EQ(child.Exit(10000), 130) << child.text;
        EXPECT_LT(MsSince(sent), Scaled(500)) << child.text;
        EXPECT_EQ(sim.Wait(10000), 0) << "the board never saw the port closed\n" << sim.Log();
        if (p.beforeErase) {
            EXPECT_FALSE(BoardTouchedFlash(board, sim.Log())) << sim.Log();
            EXPECT_EQ(child.text.find("partial image"), std::string::npos) << child.text;
        }
        fs::current_path(old_);
    }
}

INSTANTIATE_TEST_SUITE_P(AllTargets, CtrlC, ::testing::ValuesIn(Catalogue()),
                         [](const auto& info) { return std::string(info.param->simBoard); });

}  // namespace
}  // namespace qtx::test
