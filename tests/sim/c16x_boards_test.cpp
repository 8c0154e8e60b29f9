// The c163, xc164 and xe167 boards driven byte by byte on a fake clock, the
// XC16x flash model's rules, and the xe167 line switch on the wire.
#include <gtest/gtest.h>

#include <regex>

#include "byte_fed_board.h"
#include "raw_client.h"
#include "sim/xc16x_flash.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

using Bytes = std::vector<uint8_t>;
using ByteFedBoards = ByteFedBoard;

// ---- c163, xc164 and xe167 ---------------------------------------------------------------

class C16xBoards : public ByteFedBoard {
protected:
    // Zero byte and image at the ROM's rate: identification byte, then the loaded program's 0x00.
    void Load(const LoaderImage& image, uint32_t romBaud) {
        Feed({0x00}, romBaud);
        Feed(Image(image), romBaud);
        ASSERT_EQ(io.Take(), (Bytes{0xD5, 0x00})) << io.log;
    }
    void EraseAndSize(uint32_t n, uint32_t baud) {
        Feed({0x62}, baud);
        RunTimers();
        Feed({0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}, baud);
        ASSERT_EQ(io.Take(), (Bytes{0x00, 0x00}));
        Feed({0x42}, baud);
    }
    // Numbers of data bytes after which each answer came.
    std::vector<std::size_t> AnswerPositions(const Bytes& data, uint32_t baud) {
        std::vector<std::size_t> at;
        for (std::size_t i = 0; i < data.size(); ++i) {
            Feed({data[i]}, baud);
            for (uint8_t a : io.Take()) {
                EXPECT_EQ(a, 0x00);
                at.push_back(i + 1);
            }
        }
        return at;
    }
};

TEST_F(C16xBoards, Xc164RomListensAt19200OnlyAndItsProgramAnnouncesItselfThereThenMovesTo57600) {
    Make("xc164");
    EXPECT_EQ(board->ListenBaud(), 19200u) << "a fixed rate, nothing to measure";
    Feed({0x00}, 57600);   // the rig garbles such a byte; the ROM ignores the rate it came at
    EXPECT_EQ(io.Take(), Bytes{0xD5});
    EXPECT_EQ(board->ListenBaud(), 19200u);
    Feed(Image(kLoaderXC164), 19200);
    EXPECT_EQ(io.sent, Bytes{0x00});
    EXPECT_EQ(io.sentBaud, std::vector<uint32_t>{19200u}) << "the host still listens at 19200 for this byte";
    io.Take();
    EXPECT_EQ(board->ListenBaud(), 57600u);
    Feed({0x62}, 57600);
    RunTimers();
    EXPECT_EQ(io.sent, Bytes{0x00});
    EXPECT_EQ(io.sentBaud, std::vector<uint32_t>{57600u});
    board->Reset();
    EXPECT_EQ(board->ListenBaud(), 19200u);
}

struct AckCase {
    const char* board;
    uint32_t size;
    std::vector<std::size_t> acks;   // data bytes received when each 0x00 came
    friend void PrintTo(const AckCase& c, std::ostream* os) { *os << c.board << " " << c.size; }
};

class BlockAcks : public C16xBoards, public ::testing::WithParamInterface<AckCase> {};

TEST_P(BlockAcks, AnswerAfterEveryBlockTheLastBlockAndTheWholeFile) {
    const AckCase& c = GetParam();
    Make(c.board);
    const std::string name = c.board;
    const uint32_t baud = name == "c163" ? 19200 : 57600;
    Load(name == "c163" ? kLoaderC163 : name == "xc164" ? kLoaderXC164 : kLoaderXE167, 19200);
    if (name == "c163") Feed({0x14}, baud);   // the C163 board's flash write enable
    EraseAndSize(c.size, baud);
    std::vector<std::size_t> acks(io.Take().size(), 0);   // answers to an empty data command
    const Bytes data = test::PatternBytes(c.size, c.size);
    for (std::size_t at : AnswerPositions(data, baud)) acks.push_back(at);
    EXPECT_EQ(acks, c.acks);
    const auto& flash = board->Flash().Bytes();
    EXPECT_TRUE(std::equal(data.begin(), data.end(), flash.begin()));
    EXPECT_EQ(flash[c.size], name == "xe167" ? 0x00 : 0xFF) << "erased XE167 flash reads 0000h";
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BlockAcks,
    ::testing::Values(AckCase{"xc164", 0, {0, 0}}, AckCase{"xc164", 2, {2, 2}}, AckCase{"xc164", 128, {128, 128}},
                      AckCase{"xc164", 256, {128, 256, 256}}, AckCase{"xc164", 258, {128, 256, 258, 258}},
                      AckCase{"xe167", 0, {0, 0}}, AckCase{"xe167", 128, {128, 128}},
                      AckCase{"xe167", 258, {128, 256, 258, 258}}, AckCase{"c163", 258, {258}}),
    [](const auto& info) { return std::string(info.param.board) + "_" + std::to_string(info.param.size); });


// ---- the XC16x flash model -------------------------------------------------------

struct Cycle {
    uint32_t addr;
    uint16_t value;
};

struct ModuleCase {
    const char* what;
    std::vector<Cycle> cycles;
    bool refused;
};

// A command cycle's upper address bits pick the module: any segment of the
// module the page or sector lies in is good, another module's is not.
TEST(Xc16xFlash, ACycleForAnotherModuleThanItsPageOrSectorIsRefused) {
    const std::vector<ModuleCase> cases = {
        {"erase C4'3000h, cycles in C7h", {{0xC700AA, 0x80}, {0xC70054, 0xAA}, {0xC43000, 0x33}}, false},
        {"erase C4'3000h, cycles in C0h", {{0xC000AA, 0x80}, {0xC00054, 0xAA}, {0xC43000, 0x33}}, true},
        {"erase C4'3000h, second cycle in C8h", {{0xC400AA, 0x80}, {0xC80054, 0xAA}, {0xC43000, 0x33}}, true},
        {"page C8'0080h entered through C4h", {{0xC400AA, 0x50}, {0xC80080, 0xAA}}, true},
        {"load for page C4'0000h through C0h", {{0xC400AA, 0x50}, {0xC40000, 0xAA}, {0xC000F2, 0x1234}}, true},
        {"write page C4'0000h through C0h", {{0xC400AA, 0x50}, {0xC40000, 0xAA}, {0xC000AA, 0xA0}}, true},
        {"page C5'0100h all in C5h",
         {{0xC500AA, 0x50}, {0xC50100, 0xAA}, {0xC500F2, 0x8011}, {0xC500AA, 0xA0}, {0xC5005A, 0xAA}}, false},
    };
    for (const ModuleCase& c : cases) {
        SCOPED_TRACE(c.what);
        Xc16xFlash flash({}, {.modules = 3, .erased = 0x00, .reservedC0F000 = true});
        for (const Cycle& cy : c.cycles) flash.Write(cy.addr, cy.value, false, 0);
        EXPECT_EQ(!flash.Misuse().empty(), c.refused);
        if (c.refused) {
            EXPECT_NE(flash.Misuse().front().find("module"), std::string::npos) << flash.Misuse().front();
            EXPECT_EQ(flash.Read(Xc16xFlash::kFsrOp, 0) & Xc16xFlash::kSqer, Xc16xFlash::kSqer);
            EXPECT_EQ(flash.SectorsErased() + flash.PagesProgrammed(), 0u) << "the operation must not happen";
        } else {
            EXPECT_EQ(flash.SectorsErased() + flash.PagesProgrammed(), 1u);
        }
    }
}

// XE167: erased cells read 0000h, programming sets bits, and the reserved
// sector reads its pattern whatever is done to it. XC164/167: FFFFh assumed.
TEST(Xc16xFlash, ErasedCellsAndTheReservedSector) {
    Xc16xFlash xe({}, {.modules = 3, .erased = 0x00, .reservedC0F000 = true});
    Xc16xFlash xc({}, {});
    EXPECT_EQ(xe.Read(0xC00000, 0), 0x0000);
    EXPECT_EQ(xe.Read(0xCBFFFE, 0), 0x0000);
    EXPECT_EQ(xc.Read(0xC00000, 0), 0xFFFF);
    EXPECT_EQ(xe.Read(0xC0F000, 0), 0x1E9B);
    EXPECT_EQ(xe.Read(0xC0FFFE, 0), 0x1E9B);
    const std::vector<Cycle> program = {{0xC000AA, 0x50}, {0xC00080, 0xAA}, {0xC000F2, 0x8011},
                                        {0xC000AA, 0xA0}, {0xC0005A, 0xAA}};
    for (const Cycle& cy : program) xe.Write(cy.addr, cy.value, false, 0);
    EXPECT_EQ(xe.Read(0xC00080, xe.DoneAt()), 0x8011);
    EXPECT_EQ(xe.Read(0xC00082, xe.DoneAt()), 0x0000) << "the rest of the page stays erased";
    EXPECT_TRUE(xe.Misuse().empty());
    // Erase of the reserved sector: the busy flag clears as after any erase, nothing changes.
    for (const Cycle& cy : std::vector<Cycle>{{0xC000AA, 0x80}, {0xC00054, 0xAA}, {0xC0F000, 0x33}})
        xe.Write(cy.addr, cy.value, false, xe.DoneAt());
    EXPECT_EQ(xe.Read(Xc16xFlash::kFsrOp, xe.DoneAt()) & (Xc16xFlash::kSqer | Xc16xFlash::kOper), 0);
    EXPECT_EQ(xe.Read(0xC0F000, xe.DoneAt()), 0x1E9B);
    ASSERT_EQ(xe.Misuse().size(), 1u);
    EXPECT_NE(xe.Misuse()[0].find("reserved"), std::string::npos) << "no loader should erase it";
}

// ---- xe167 -----------------------------------------------------------------------

struct WatchdogCase {
    const char* what;
    std::vector<uint8_t> first4;   // in place of DISWDT
    bool reset;
};

// The watchdog runs from the start of the 32 bytes: a first stage that does
// not switch it off is reset about 0.21 s later, halfway through the second
// stage at 19200 baud, and the bootstrap loader does not come back.
TEST_F(C16xBoards, Xe167WatchdogResetsAFirstStageWithoutDiswdt) {
    const std::vector<WatchdogCase> cases = {
        {"as built", {0xA5, 0x5A, 0xA5, 0xA5}, false},
        {"two NOPs", {0xCC, 0x00, 0xCC, 0x00}, true},
        {"served once", {0xA7, 0x58, 0xA7, 0xA7}, true},
    };
    for (const WatchdogCase& c : cases) {
        SCOPED_TRACE(c.what);
        board.reset();
        io = {};
        Make("xe167");
        Bytes image = Image(kLoaderXE167);
        ASSERT_EQ(Bytes(image.begin(), image.begin() + 4), (Bytes{0xA5, 0x5A, 0xA5, 0xA5}))
            << "DISWDT is no longer the first instruction";
        std::copy(c.first4.begin(), c.first4.end(), image.begin());
        Feed({0x00}, 19200);
        Feed(image, 19200);
        EXPECT_EQ(io.Take(), c.reset ? Bytes{0xD5} : (Bytes{0xD5, 0x00})) << io.log;
        EXPECT_EQ(io.log.find("watchdog reset") != std::string::npos, c.reset) << io.log;
        Feed({0x00}, 19200);
        EXPECT_EQ(io.Take(), Bytes{}) << "after a reset nothing answers until power-on";
    }
}

// The last byte of the XE167 image turns the first stage's exit from JMPR cc_C
// into JMPR cc_UC. A fetch unit that read the exit before that store runs the
// old, untaken word once or twice more; the loop polls on and takes the new
// word later. Either way the loader starts.
TEST_F(C16xBoards, Xe167FirstStageEndsWhetherOrNotTheOldExitRunsAgain) {
    for (unsigned ahead : {0u, 8u}) {
        SCOPED_TRACE(ahead);
        board.reset();
        io = {};
        config.fetchAhead = ahead;
        Make("xe167");
        Load(kLoaderXE167, 19200);
        EraseAndSize(130, 57600);
        for (std::size_t at : AnswerPositions(test::PatternBytes(130, 1), 57600)) EXPECT_GE(at, 128u);
        board->Reset();
        EXPECT_NE(io.log.find("misuse: none"), std::string::npos) << io.log;
        if (ahead) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(io.log, m, std::regex("fetch ahead 8: ([0-9]+) instruction words ran")))
                << io.log;
            EXPECT_GE(std::stoul(m[1]), 1u) << "the old exit word never ran: the case is not exercised";
        }
    }
}

// The loader must not touch the rate before its first answer has left the line:
// without its wait for the stop bit, the USIC model sees the rate change
// during that frame. The wait sits in the second stage, which travels last
// byte first, so its wait is the last one on the line (the rate change's
// own comes earlier).
TEST_F(C16xBoards, Xe167AnswerCutByAnEarlyRateSwitchIsCaught) {
    Make("xe167");
    Bytes image = Image(kLoaderXE167);
    const Bytes wait = {0xFB, 0x2D, 0x01, 0x00, 0xF0, 0x66};   // AND R0,#TFF; JMPR cc_Z,back, reversed
    auto at = std::find_end(image.begin(), image.end(), wait.begin(), wait.end());
    ASSERT_NE(at, image.end()) << "the loader no longer waits for TFF as this test expects";
    at[0] = 0x00;   // NOP in place of the JMPR
    at[1] = 0xCC;
    Feed({0x00}, 19200);
    Feed(image, 19200);
    board->Reset();
    EXPECT_NE(io.log.find("misuse: U0C0 rate or frame changed during a frame"), std::string::npos) << io.log;
}

TEST(Xe167Wire, TheLoadedProgramHearsOnlyThe57600Line) {
    qtx::test::SimOptions o;
    o.board = "xe167";
    qtx::test::SimBoard board(o);
    qtx::test::RawClient c(board.PortsDir() + "/COM1", 19200);
    c.Write(0x00);
    ASSERT_EQ(c.Read(1), Bytes{0xD5});
    c.Write(Bytes(kLoaderXE167.data, kLoaderXE167.data + kLoaderXE167.size));
    ASSERT_EQ(c.Read(1), Bytes{0x00}) << "the first answer still comes at the bootstrap rate";
    c.Write(0x62);  // still at 19200: the program hears garbage and stays quiet
    EXPECT_EQ(c.Read(1, 300), Bytes{});
    EXPECT_NE(board.Log().find("host sends at 19200 baud, the other side uses 57600"), std::string::npos)
        << board.Log();
    c.SetBaud(57600);
    c.Write(0x62);
    EXPECT_EQ(c.Read(1), Bytes{0x00}) << board.Log();
}

}  // namespace
}  // namespace qtx::sim
