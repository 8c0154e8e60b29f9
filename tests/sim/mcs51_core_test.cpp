// The MCS-51 core against ucsim's s51, an 8051 simulator we did not write:
// the programs in firmware/mcs51/tests are assembled with sdas8051/sdld and
// run on both up to their final "sjmp .". Internal RAM, the core SFRs, the
// XRAM the programs log to and the machine cycles must agree, and the
// programs together must run every opcode.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/mcs51_cpu.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kXramChecked = 0x800;   // the programs log below this
const uint8_t kSfrs[] = {0x81, 0x82, 0x83, 0x90, 0xA0, 0xD0, 0xE0, 0xF0};   // SP DPL DPH P1 P2 PSW ACC B

bool HaveTools() { return std::system("command -v sdas8051 sdld s51 >/dev/null 2>&1") == 0; }

std::string Run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

// Code image from an Intel-HEX file.
Bytes LoadIhx(const std::string& path) {
    Bytes code(0x10000, 0xFF);
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 11 || line[0] != ':') continue;
        auto byte = [&](std::size_t i) { return uint8_t(std::stoul(line.substr(1 + 2 * i, 2), nullptr, 16)); };
        const unsigned n = byte(0), addr = unsigned(byte(1) << 8 | byte(2));
        if (byte(3) != 0) continue;
        for (unsigned i = 0; i < n; ++i) code[(addr + i) & 0xFFFF] = byte(4 + i);
    }
    return code;
}

struct Result {
    std::array<uint8_t, 256> iram{};
    std::map<uint8_t, uint8_t> sfr;
    Bytes xram;
    uint64_t cycles = 0;
    uint16_t end = 0;
};

class Machine : public Mcs51Bus {
public:
    explicit Machine(Bytes code) : code_(std::move(code)), xram_(0x10000, 0) {}
    uint8_t Code(uint16_t a) override { return code_[a]; }
    uint8_t ReadX(uint16_t a) override { return xram_[a]; }
    void WriteX(uint16_t a, uint8_t v) override { xram_[a] = v; }

    Result RunToEnd(Mcs51& cpu) {
        Result r;
        for (int i = 0; i < 5'000'000; ++i) {
            if (code_[cpu.pc] == 0x80 && code_[uint16_t(cpu.pc + 1)] == 0xFE) break;
            r.cycles += uint64_t(cpu.Step());
        }
        r.end = cpu.pc;
        r.iram = cpu.iram;
        for (uint8_t a : kSfrs) r.sfr[a] = cpu.ReadDirect(a);
        r.xram.assign(xram_.begin(), xram_.begin() + kXramChecked);
        return r;
    }

private:
    Bytes code_, xram_;
};

// One value per address from ucsim's dump lines ("0x30   02 05 ..  .." or,
// for a named SFR, "0xd0 PSW:   0b10000001 0x81 ..."). A line holds as many
// bytes as the next line's address says; its ASCII column is not read.
void ParseDump(const std::string& text, unsigned from, unsigned to, std::map<unsigned, uint8_t>& into) {
    std::vector<std::pair<unsigned, std::vector<std::string>>> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::vector<std::string> tokens;
        for (std::string t; ls >> t;) tokens.push_back(t);
        if (tokens.size() < 2 || tokens[0].rfind("0x", 0) != 0) continue;
        const unsigned addr = unsigned(std::stoul(tokens[0], nullptr, 16));
        if (addr < from || addr > to) continue;
        if (tokens[1].back() == ':') {
            if (tokens.size() > 3) into[addr] = uint8_t(std::stoul(tokens[3], nullptr, 16));
            continue;
        }
        lines.emplace_back(addr, std::vector<std::string>(tokens.begin() + 1, tokens.end()));
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const unsigned addr = lines[i].first;
        const unsigned count = i + 1 < lines.size() ? lines[i + 1].first - addr : to - addr + 1;
        for (unsigned k = 0; k < count && k < lines[i].second.size(); ++k)
            into[addr + k] = uint8_t(std::stoul(lines[i].second[k], nullptr, 16));
    }
}

Result RunS51(const std::string& dir, const std::string& ihx, uint16_t end) {
    const std::string cfg = dir + "/s51.cmd";
    {
        std::ofstream c(cfg);
        char brk[32];
        std::snprintf(brk, sizeof brk, "break 0x%04x\n", end);
        c << "file \"" << ihx << "\"\n" << brk << "run\n";
        c << "dump iram 0 0xff\n";
        for (uint8_t a : kSfrs) c << "dump sfr " << int(a) << " " << int(a) << "\n";
        c << "dump xram 0 " << (kXramChecked - 1) << "\nkill\n";
    }
    const std::string out = Run("cd " + dir + " && timeout 60 s51 -t 8052 -b -C s51.cmd </dev/null 2>&1");
    Result r;
    const auto dumps = out.find("dump iram");
    EXPECT_NE(dumps, std::string::npos) << out;
    const std::string iramText = out.substr(dumps, out.find("dump sfr") - dumps);
    const std::string sfrText = out.substr(out.find("dump sfr"), out.find("dump xram") - out.find("dump sfr"));
    const std::string xramText = out.substr(out.find("dump xram"));
    std::map<unsigned, uint8_t> iram, sfr, xram;
    ParseDump(iramText, 0, 0xFF, iram);
    for (uint8_t a : kSfrs) ParseDump(sfrText, a, a, sfr);   // one address per dump command
    ParseDump(xramText, 0, kXramChecked - 1, xram);
    EXPECT_EQ(iram.size(), 256u) << iramText;
    EXPECT_EQ(xram.size(), kXramChecked) << xramText.substr(0, 400);
    for (auto [a, v] : iram) r.iram[a] = v;
    for (uint8_t a : kSfrs) r.sfr[a] = sfr[a];
    r.xram.resize(kXramChecked);
    for (auto [a, v] : xram) r.xram[a] = v;
    const auto ticks = out.find("Simulated ");
    EXPECT_NE(ticks, std::string::npos) << out;
    if (ticks != std::string::npos) r.cycles = std::stoull(out.substr(ticks + 10)) / 12;   // 12 clocks per cycle
    const auto stop = out.find("Stop at 0x");
    r.end = stop == std::string::npos ? 0 : uint16_t(std::stoul(out.substr(stop + 8), nullptr, 16));
    return r;
}

const char* const kPrograms[] = {"arith", "logic", "move", "branch"};

// Assembles a program into dir; returns false with the tools' output in log.
bool Assemble(const std::string& dir, const std::string& name, std::string& log) {
    const std::string src = std::string(QTX_SOURCE_DIR) + "/firmware/mcs51/tests/";
    log = Run("cp " + src + "*.asm " + src + "*.inc " + dir + " && cd " + dir + " && sdas8051 -plosgff " + name +
              ".asm 2>&1 && sdld -n -i " + name + ".ihx " + name + ".rel 2>&1");
    return std::ifstream(dir + "/" + name + ".ihx").good();
}

class S51CrossCheck : public ::testing::TestWithParam<const char*> {};

TEST_P(S51CrossCheck, SameStateAndCyclesAsS51) {
    if (!HaveTools()) GTEST_SKIP() << "sdas8051, sdld or s51 missing (scripts/setup.sh installs sdcc and sdcc-ucsim)";
    const std::string name = GetParam();
    const std::string dir = test::MakeTempDir("mcs51-" + name);
    std::string log;
    ASSERT_TRUE(Assemble(dir, name, log)) << log;

    Machine m(LoadIhx(dir + "/" + name + ".ihx"));
    Mcs51 cpu(m);
    const Result ours = m.RunToEnd(cpu);
    EXPECT_EQ(cpu.Reserved(), 0u);
    const Result ref = RunS51(dir, name + ".ihx", ours.end);

    EXPECT_EQ(ref.end, ours.end) << "both must stop at the final sjmp";
    EXPECT_EQ(ref.cycles, ours.cycles);
    for (int a = 0; a < 256; ++a) EXPECT_EQ(int(ref.iram[a]), int(ours.iram[a])) << "iram " << std::hex << a;
    for (uint8_t a : kSfrs) EXPECT_EQ(int(ref.sfr.at(a)), int(ours.sfr.at(a))) << "sfr " << std::hex << int(a);
    int shown = 0;
    for (unsigned a = 0; a < kXramChecked; ++a)
        if (ref.xram[a] != ours.xram[a] && shown++ < 16)
            ADD_FAILURE() << "xram " << std::hex << a << ": s51 " << int(ref.xram[a]) << ", ours " << int(ours.xram[a]);
    std::system(("rm -rf " + dir).c_str());
}

INSTANTIATE_TEST_SUITE_P(Programs, S51CrossCheck, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return std::string(info.param); });

TEST(S51CrossCheckCoverage, TheProgramsRunEveryOpcode) {
    if (!HaveTools()) GTEST_SKIP() << "sdas8051 or sdld missing";
    std::array<uint64_t, 256> covered{};
    const std::string dir = test::MakeTempDir("mcs51-cover");
    for (const char* name : kPrograms) {
        std::string log;
        ASSERT_TRUE(Assemble(dir, name, log)) << log;
        Machine m(LoadIhx(dir + "/" + name + ".ihx"));
        Mcs51 cpu(m);
        m.RunToEnd(cpu);
        for (int op = 0; op < 256; ++op) covered[op] += cpu.OpcodeCounts()[op];
    }
    std::system(("rm -rf " + dir).c_str());
    std::string missing;
    char buf[8];
    for (int op = 0; op < 256; ++op)
        if (op != Mcs51::kReserved && !covered[op]) {
            std::snprintf(buf, sizeof buf, " %02X", op);
            missing += buf;
        }
    EXPECT_EQ(missing, "") << "opcodes that no program runs";
}

}  // namespace
}  // namespace qtx::sim
