// Whole T89C5xACx runs into the simulated board, through the engine and the
// command-line tool.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "run_checks.h"
#include "target_runs.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

const RunTarget kAc2{7, "t89c5xacx", false};
// "U" and the 13 characters of the erase before the first data record; a data
// record of n bytes has 11 + 2n characters (no line end); then a Read Flash
// record of 21 for every 400h bytes read back; the two fuse records 17 each and
// the reset record 15 after the last one.
constexpr std::size_t kBeforeData = 1 + 13, kAfterData = 17 + 17 + 15;
constexpr std::size_t Record(std::size_t n) { return 11 + 2 * n; }
constexpr std::size_t Reads(std::size_t size) { return 21 * ((size + 0x3FF) / 0x400); }

INSTANTIATE_TEST_SUITE_P(
    Ac2, FullRuns,
    ::testing::Values(
        FullRun{"Ac2OneByte", kAc2, 1, kBeforeData + Record(1) + Reads(1) + kAfterData,
                {"Read Flash 0x0000..0x0000", "X2 fuse := 0x00", "BLJB fuse := 0x01",
                 "reset record after 1 data records"}},
        FullRun{"Ac2Largest", kAc2, 65536, kBeforeData + 512 * Record(128) + Reads(65536) + kAfterData,
                {"Read Flash 0xFC00..0xFFFF", "reset record after 512 data records"}}),
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
                  kBeforeData + 3 * Record(128), 0},
        // A board that holds an image gets a digit of the erase record damaged
        // (byte 10: "0" of "07" arrives as "1"): it echoes what it got, refuses
        // the record and erases nothing. No data record may follow.
        FailedRun{"Ac2PreloadedEraseRecordDamaged", kAc2, {"preloaded", "corrupt@10"}, -1, RunOutcome::EraseFailed,
                  Panel::Erase, "CHAR ERR",
                  "Flash Erase: character 10 of the echo of the erase record :0100000307F5: received \"1\" (31h), "
                  "expected \"0\" (30h); the reply: \":0100000317F5X<CR><LF>\"; the flash was not erased",
                  kBeforeData, 0},
        // 3000 bytes: 23 records of 128 and one of 56, then the first Read Flash.
        FailedRun{"Ac2ReadingForbidden", kAc2, {"read-locked"}, -1, RunOutcome::ProgramFailed, Panel::Flash,
                  "PROG ERR",
                  "Flash Read-back: Read Flash 0000h..03FFh: answered \"L\" (security: reading is forbidden); the "
                  "flash is not checked",
                  kBeforeData + 23 * Record(128) + Record(56) + Reads(1), 0}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(Ac2, Cli, ::testing::Values(std::make_pair(kAc2, "t89c5xacx")),
                         [](const auto& info) { return std::string(info.param.first.board); });

class Ac2Runs : public Runs {};

// An erase confirmed but not done on a board that held an image: every record
// is accepted, and only the read-back sees the old cells. The text names the
// first address whose cell differs, as the board's flash shows it.
TEST_F(Ac2Runs, AnEraseThatDidNotHappenFailsTheReadBack) {
    Start(kAc2, WithFaults({"preloaded", "erase-fail"}));
    const Bytes fw = PatternBytes(3000, 4);
    EXPECT_EQ(Run(fw), RunOutcome::ProgramFailed);
    EXPECT_EQ(rec.Caption(Panel::Flash), "PROG ERR");
    ASSERT_EQ(board->Wait(), 0) << board->Log();
    const Bytes flash = board->Flash();
    std::size_t at = 0;
    while (at < fw.size() && flash.at(at) == fw[at]) ++at;
    ASSERT_LT(at, fw.size()) << "the fault left the image in place";
    const std::size_t first = at / 0x400 * 0x400, last = std::min(first + 0x3FF, fw.size() - 1);
    char want[200];
    std::snprintf(want, sizeof want,
                  "Flash Read-back: Read Flash %04zXh..%04zXh: address %04zXh reads %02Xh, the image has %02Xh: the "
                  "flash does not hold the image",
                  first, last, at, flash[at], fw[at]);
    EXPECT_EQ(rec.status, want);
    EXPECT_FALSE(Logged("X2 fuse")) << "no fuse is set after a failed read-back\n" << board->Log();
}

// Through the command-line tool: the damaged erase record on a board that
// holds an image is exit 4, and --no-read-back says it leaves the flash unchecked.
TEST(Ac2Cli, DamagedEraseRecordAndNoReadBack) {
    struct Case {
        std::vector<std::string> faults, args;
        int status;
        const char* said;
    };
    const Case cases[] = {
        {{"preloaded", "corrupt@10"}, {}, 4, "ERASE: CHAR ERR"},
        {{}, {"--no-read-back"}, 0, "qtxflash-cli: read-back skipped (--no-read-back): the flash is not checked"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        SimOptions o = WithFaults(c.faults);
        o.board = kAc2.board;
        o.eraseMs = 50;
        SimBoard board(o);
        std::vector<std::string> args = {"-t", "T89C5xACx", "-p", "COM1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ProcessResult r = FlashWithCli(board, args, PatternBytes(3001, 2));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        board.Wait();
        EXPECT_EQ(board.Log().find("Read Flash"), std::string::npos) << board.Log();
    }
}

}  // namespace
