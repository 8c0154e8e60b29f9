// Several boards at once: one image into four ports, per-port faults that
// stay with their port, Ctrl-C over the whole gang, a wire trace, and two
// engine runs side by side in one process.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "child.h"
#include "engine/catalogue.h"
#include "engine/context.h"
#include "engine/run.h"
#include "recorder.h"
#include "run_checks.h"

using namespace qtx::test;
namespace fs = std::filesystem;

namespace {

// N boards on COM1..COMn of one private port map; faults[i] for board i.
class Gang : public ::testing::Test {
protected:
    void Start(const std::vector<std::vector<std::string>>& faults, bool pace = false) {
        std::vector<SimOptions> options(faults.size());
        for (std::size_t i = 0; i < faults.size(); ++i) {
            options[i].faults = faults[i];
            options[i].pace = pace;
        }
        StartBoards(options);
    }
    void StartBoards(std::vector<SimOptions> options) {
        ports_ = MakeTempDir("gang");
        for (std::size_t i = 0; i < options.size(); ++i) {
            options[i].port = "COM" + std::to_string(i + 1);
            options[i].portsDir = ports_;
            boards.push_back(std::make_unique<SimBoard>(options[i]));
        }
        setenv("QTXFLASH_PORTS", ports_.c_str(), 1);
        WriteFileBytes(ports_ + "/fw.bin", fw);
    }
    void TearDown() override {
        boards.clear();
        fs::remove_all(ports_);
    }
    std::string PortList() const {
        std::string list;
        for (std::size_t i = 0; i < boards.size(); ++i) list += (i ? ",COM" : "COM") + std::to_string(i + 1);
        return list;
    }
    // The JSON line of a port, as printed on stdout.
    static std::string JsonOf(const std::string& out, const std::string& port) {
        std::smatch m;
        const std::regex line("\\{[^\\n]*\"port\":\"" + port + "\"[^\\n]*\\}");
        return std::regex_search(out, m, line) ? m.str() : std::string();
    }

    std::vector<uint8_t> fw = PatternBytes(6000, 4);
    std::vector<std::unique_ptr<SimBoard>> boards;
    std::string ports_;
};

TEST_F(Gang, FourBoardsAtOnceAllProgrammed) {
    Start({{}, {}, {}, {}});
    const ProcessResult r =
        RunProgram(QTXFLASH_CLI_PATH, {"-t", "C166/167", "-p", PortList(), "--json", ports_ + "/fw.bin"}, 120000);
    EXPECT_EQ(r.status, 0) << r.err;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const std::string port = "COM" + std::to_string(i + 1);
        const std::string json = JsonOf(r.out, port);
        EXPECT_NE(json.find("\"result\":\"ok\""), std::string::npos) << port << "\n" << r.out;
        EXPECT_NE(json.find("\"size\":6000"), std::string::npos) << json;
        ASSERT_EQ(boards[i]->Wait(), 0) << boards[i]->Log();
        const auto flash = boards[i]->Flash();
        ASSERT_GE(flash.size(), fw.size());
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin())) << port;
    }
    // Into a pipe every phase gets its line, however short it was.
    for (const char* phase : {"BSL", "ERASE", "FLASH"})
        EXPECT_TRUE(std::regex_search(r.err, std::regex(std::string("COM4 +") + phase + " "))) << phase << "\n" << r.err;
    // Human output stays off stdout when --json is given.
    EXPECT_EQ(r.out.find("PORT"), std::string::npos);
    EXPECT_NE(r.err.find("PORT"), std::string::npos);
}

TEST_F(Gang, EachFaultStaysWithItsPortAndTheWorstDecidesTheStatus) {
    Start({{}, {"silent"}, {"verify-error@64"}, {"unplug@2000"}});
    const ProcessResult r =
        RunProgram(QTXFLASH_CLI_PATH, {"-t", "C166/167", "-p", PortList(), "--json", ports_ + "/fw.bin"}, 120000);
    EXPECT_EQ(r.status, 5) << r.err;   // programming failed outranks the boot loader step
    const std::pair<const char*, const char*> expected[] = {
        {"COM1", "ok"}, {"COM2", "boot"}, {"COM3", "program"}, {"COM4", "program"}};
    for (const auto& [port, result] : expected) {
        const std::string json = JsonOf(r.out, port);
        EXPECT_NE(json.find(std::string("\"result\":\"") + result + "\""), std::string::npos) << port << ": " << json;
    }
    // The summary table: a row per port with its word.
    EXPECT_TRUE(std::regex_search(r.err, std::regex("COM1 +OK +-"))) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("COM2 +TIMEOUT"))) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("COM3 +PROG ERR"))) << r.err;
    // The board that had nothing wrong got the whole image.
    ASSERT_EQ(boards[0]->Wait(), 0);
    const auto flash = boards[0]->Flash();
    ASSERT_GE(flash.size(), fw.size());
    EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin()));
}

TEST_F(Gang, CtrlCEndsEveryPortAndEachLetsGoOfItsPort) {
    fw = PatternBytes(65536, 5);
    Start({{}, {}, {}}, true);
    Child child({"-t", "C166/167", "-p", PortList(), ports_ + "/fw.bin"});
    // Plain progress lines (stderr is a pipe): a port in its data phase.
    ASSERT_TRUE(child.WaitFor("FLASH", 60000)) << child.text;
    ::kill(child.pid, SIGINT);
    EXPECT_EQ(child.Exit(10000), 130) << child.text;
    for (auto& b : boards) EXPECT_EQ(b->Wait(10000), 0) << "the board never saw the port closed\n" << b->Log();
}

TEST_F(Gang, TraceHoldsTheBytesOfTheRun) {
    // The C166/167 boot loader step: the host sends the zero byte, the board
    // answers its identification byte (here a wrong one), and the run ends.
    Start({{"bad-id"}});
    const std::string trace = ports_ + "/wire.trace";
    const ProcessResult r =
        RunProgram(QTXFLASH_CLI_PATH, {"-t", "C166/167", "-p", "COM1", "--trace", trace, ports_ + "/fw.bin"}, 60000);
    EXPECT_EQ(r.status, 3) << r.err;
    std::smatch received;
    ASSERT_TRUE(std::regex_search(r.err, received, std::regex("Received byte: ([0-9A-F]{2})h"))) << r.err;
    std::ifstream in(trace);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);) lines.push_back(std::regex_replace(l, std::regex("^[0-9]+ "), ""));
    EXPECT_EQ(lines, (std::vector<std::string>{"LINE 57600 8N1", "TX 00", "RX " + received[1].str()}));
}

// A board whose application is running is switched into its boot loader on
// its own port, while its neighbour, already in the boot loader, is flashed
// as is; each gets its own trace file.
TEST_F(Gang, TheBootModeSwitchHappensPerPort) {
    SimOptions app, rom;
    app.board = rom.board = "stm32f4";
    app.once = rom.once = false;  // the switch closes and reopens the port
    app.eraseMs = rom.eraseMs = 50;
    app.extraArgs = {"--app-running"};
    StartBoards({app, rom});
    const std::string trace = ports_ + "/wire.trace";
    const ProcessResult r = RunProgram(
        QTXFLASH_CLI_PATH, {"-t", "STM32F4", "-p", PortList(), "--trace", trace, ports_ + "/fw.bin"}, 120000);
    EXPECT_EQ(r.status, 0) << r.err;
    for (auto& b : boards) b->Stop();
    EXPECT_NE(boards[0]->Log().find("boot-mode command (rate field 115200): accepted"), std::string::npos)
        << boards[0]->Log();
    EXPECT_EQ(boards[1]->Log().find("boot-mode command"), std::string::npos) << boards[1]->Log();
    std::ifstream first(trace + ".COM1");
    const std::string traced((std::istreambuf_iterator<char>(first)), std::istreambuf_iterator<char>());
    EXPECT_NE(traced.find("# boot-mode switch on COM1"), std::string::npos) << traced.substr(0, 400);
    for (std::size_t i = 0; i < boards.size(); ++i) {
        const auto flash = boards[i]->Flash();
        ASSERT_GE(flash.size(), fw.size()) << i;
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), flash.begin())) << i;
        EXPECT_GT(fs::file_size(trace + ".COM" + std::to_string(i + 1)), fw.size() * 2) << i;
    }
}

// No state of a run lives outside its context: two runs side by side in one
// process, one good board and one silent, each ends with its own result.
TEST_F(Gang, TwoEngineRunsInOneProcessKeepTheirOwnResults) {
    Start({{}, {"silent"}});
    Recorder shown[2];
    std::unique_ptr<qtx::Context> ctx[2];
    qtx::RunOutcome outcome[2];
    for (int i = 0; i < 2; ++i) {
        ctx[i] = std::make_unique<qtx::Context>(shown[i]);
        ctx[i]->setup.Ports[qtx::PortRecordIndex(1)].SetName("COM" + std::to_string(i + 1));
        ASSERT_EQ(qtx::SelectTarget(*ctx[i], 1), 0);
        ctx[i]->FlashFilePath = ports_ + "/fw.bin";
    }
    std::thread runs[2];
    for (int i = 0; i < 2; ++i) runs[i] = std::thread([&, i] { outcome[i] = qtx::FlashRun(*ctx[i]); });
    for (auto& t : runs) t.join();
    EXPECT_EQ(outcome[0], qtx::RunOutcome::Programmed);
    EXPECT_EQ(outcome[1], qtx::RunOutcome::BootstrapFailed);
    EXPECT_FALSE(ctx[0]->lastError.shown);
    EXPECT_EQ(ctx[1]->lastError.word, "TIMEOUT");
    EXPECT_TRUE(shown[0].Has("status  Programming ok."));
    EXPECT_FALSE(shown[1].Has("status  Programming ok."));
}

}  // namespace
