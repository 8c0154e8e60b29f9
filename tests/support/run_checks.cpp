#include "run_checks.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <regex>
#include <sstream>
#include <unistd.h>

#include "serial/deadline.h"

#ifndef QTXFLASH_CLI_PATH
#error "QTXFLASH_CLI_PATH must name the command-line tool"
#endif

namespace qtx::test {

::testing::AssertionResult InOrder(const std::vector<std::string>& events, const std::vector<std::string>& wanted,
                                   Match match) {
    std::size_t w = 0;
    for (const auto& e : events) {
        if (w == wanted.size()) break;
        if (match == Match::Whole ? e == wanted[w] : e.rfind(wanted[w], 0) == 0) ++w;
    }
    if (w == wanted.size()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "'" << wanted[w] << "' missing or out of order in "
                                         << ::testing::PrintToString(events);
}

::testing::AssertionResult FlashHolds(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& fw,
                                      const FlashLayout& layout) {
    const bool split = layout.bank1 && fw.size() > layout.bank1;
    std::size_t end = split ? layout.bank2At + fw.size() - layout.bank2From : fw.size();
    std::vector<uint8_t> want(std::max(flash.size(), end + 1), layout.erased);
    std::copy(fw.begin(), split ? fw.begin() + long(layout.bank1) : fw.end(), want.begin());
    if (split) std::copy(fw.begin() + long(layout.bank2From), fw.end(), want.begin() + long(layout.bank2At));
    if (end % 2 && layout.pad != OddPad::None) {
        want[end] = layout.pad == OddPad::Zero ? 0x00 : (end < flash.size() ? flash[end] : layout.erased);
        ++end;
    }
    if (layout.chipSize && flash.size() != layout.chipSize)
        return ::testing::AssertionFailure() << "flash has " << flash.size() << " bytes, the chip " << layout.chipSize;
    if (flash.size() < end)
        return ::testing::AssertionFailure() << "flash has " << flash.size() << " bytes, the image needs " << end;
    want.resize(flash.size());
    const auto diff = std::mismatch(flash.begin(), flash.end(), want.begin());
    if (diff.first == flash.end()) return ::testing::AssertionSuccess();
    const std::size_t at = std::size_t(diff.first - flash.begin());
    return ::testing::AssertionFailure() << "flash differs at offset " << at << ": " << int(*diff.first)
                                         << ", expected " << int(*diff.second)
                                         << (at >= end ? " (programmed beyond the image)" : "");
}

void ExpectFlashHolds(SimBoard& board, const std::vector<uint8_t>& fw, const FlashLayout& layout) {
    ASSERT_EQ(board.Wait(), 0) << board.Log();
    EXPECT_TRUE(FlashHolds(board.Flash(), fw, layout));
}

std::size_t BytesReceived(const std::string& log) {
    std::smatch m;
    static const std::regex closed("host closed COM[0-9]+ after ([0-9]+) bytes");
    return std::regex_search(log, m, closed) ? std::stoul(m[1]) : 0;
}

double EmulatedSeconds(const std::string& log) {
    static const std::regex emulated("([0-9]+\\.[0-9]+) (s|ms) emulated");
    double longest = 0;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), emulated); it != std::sregex_iterator(); ++it) {
        const double v = std::stod((*it)[1]) / ((*it)[2] == "ms" ? 1000.0 : 1.0);
        longest = std::max(longest, v);
    }
    return longest;
}

bool WaitForLog(const SimBoard& board, const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledDeadlineMs(timeoutMs));
    while (board.Log().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<std::string> LogLines(const std::string& log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        const std::string prefix = "qtxsim: ";
        lines.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line);
    }
    return lines;
}

ProcessResult FlashWithCli(const SimBoard& board, std::vector<std::string> args, const std::vector<uint8_t>& fw,
                           int timeoutMs) {
    const std::string path = board.PortsDir() + "/fw.bin";
    WriteFileBytes(path, fw);
    args.push_back(path);
    char old[4096];
    const std::string back = getcwd(old, sizeof old) ? old : "/";
    EXPECT_EQ(chdir(board.PortsDir().c_str()), 0);
    ProcessResult r = RunProgram(QTXFLASH_CLI_PATH, args, timeoutMs);
    EXPECT_EQ(chdir(back.c_str()), 0);
    return r;
}

CliRun PacedCliRun(const char* board, const char* target, const std::vector<uint8_t>& fw,
                   std::vector<std::string> faults, const std::vector<std::string>& options) {
    SimOptions o = Paced(std::move(faults));
    o.board = board;
    o.eraseMs = 50;
    SimBoard sim(o);
    std::vector<std::string> args = {"-t", target, "-p", "COM1"};
    args.insert(args.end(), options.begin(), options.end());
    CliRun out{FlashWithCli(sim, args, fw, 120000), {}, {}};
    sim.Stop();
    out.log = sim.Log();
    out.flash = sim.Flash();
    return out;
}

}  // namespace qtx::test
