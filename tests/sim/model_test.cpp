// The simulator's parts without a pty: line model, fault and option parsing,
// port links, flash, and the c167 board driven byte by byte on a fake clock.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "loaders/loader_image.h"
#include "sim/boards.h"
#include "sim/faults.h"
#include "sim/line.h"
#include "sim/options.h"
#include "sim/port_link.h"
#include "sim_board.h"

namespace qtx::sim {
namespace {

// ---- line model ---------------------------------------------------------------

TEST(LineModel, GarbleNeverPassesAByteUnchangedAndIsDeterministic) {
    const std::pair<uint32_t, uint32_t> pairs[] = {
        {9600, 57600}, {57600, 9600}, {19200, 57600}, {57600, 19200}, {115200, 57600},
        {57600, 115200}, {57600, 57601}, {300, 921600}};
    for (const auto& [tx, rx] : pairs) {
        for (int b = 0; b < 256; ++b) {
            const uint8_t g = Garble(uint8_t(b), tx, rx);
            EXPECT_NE(g, b) << tx << "->" << rx << " byte " << b;
            EXPECT_EQ(g, Garble(uint8_t(b), tx, rx));
        }
    }
    EXPECT_NE(Garble(0x55, 57600, 19200), Garble(0x55, 19200, 57600)) << "direction matters";
}

// A divider's rate within 1.5 % reads the host's bytes; beyond, they garble.
TEST(LineModel, RatesMatchWithinOneAndAHalfPercentEitherWay) {
    EXPECT_TRUE(RatesMatch(115200, 115108));   // a 16 MHz BRR of 139
    EXPECT_TRUE(RatesMatch(230400, 228571));   // -0.79 %
    EXPECT_TRUE(RatesMatch(1000000, 1015000));
    EXPECT_TRUE(RatesMatch(1015000, 1000000));
    EXPECT_FALSE(RatesMatch(1000000, 1030000)); // the no-fast fault's clock
    EXPECT_FALSE(RatesMatch(921600, 941176));   // 16 MHz / 17
}

TEST(LineModel, GarbleSamplesTheSendersFrame) {
    // Sender twice as fast: receiver data bit i falls on sender bit 2i+3, i.e. data
    // bits 2, 4, 6, then the stop bit and the idle line.
    EXPECT_EQ(Garble(0x0F, 115200, 57600), 0xF9u);
    // 0xFF would read back unchanged that way; the top bit is flipped instead.
    EXPECT_EQ(Garble(0xFF, 115200, 57600), 0x7Fu);
    // Sender six times slower: the receiver sees the start bit, then data bit 0.
    EXPECT_EQ(Garble(0x01, 9600, 57600), 0xE0u);
}

TEST(LineModel, CharDurationFollowsFraming) {
    LineSettings l;
    l.txBaud = 57600;
    EXPECT_EQ(l.BitsPerChar(), 10);
    EXPECT_EQ(CharDuration(57600, 10).count(), 173611);
    l.twoStopBits = true;
    EXPECT_EQ(l.BitsPerChar(), 11);
    EXPECT_GT(CharDuration(0, 10).count(), 0);   // no rate yet: still paces
}

// ---- faults and options ----------------------------------------------------------

TEST(Faults, ValidFaultsAccumulate) {
    FaultSet f;
    EXPECT_EQ(AddFaults("silent,drop@3", f), "");
    EXPECT_EQ(AddFaults("drop@0x10", f), "");
    EXPECT_EQ(AddFaults("verify-error@0x1235,corrupt@7,bad-ack@2,unplug@99,unplug@50,bad-id", f), "");
    EXPECT_TRUE(f.silent);
    EXPECT_TRUE(f.badId);
    EXPECT_EQ(f.drop, (std::set<uint64_t>{3, 16}));
    EXPECT_EQ(f.corrupt, (std::set<uint64_t>{7}));
    EXPECT_EQ(f.badAck, (std::set<uint64_t>{2}));
    EXPECT_EQ(f.verifyErrorAt, (std::set<uint32_t>{0x1235}));
    EXPECT_EQ(f.unplug, 50u);   // the earliest unplug wins
}

TEST(Faults, MalformedFaultsAreRejected) {
    for (const char* bad : {"", "nonsense", "drop", "drop@", "drop@x", "drop@-1", "silent@3", "bad-id@1",
                            "verify-error@0x100000000", "corrupt@12a", "drop@3,", ",drop@3", "drop@0x",
                            "unplug@99999999999999999999"}) {
        FaultSet f;
        EXPECT_NE(AddFaults(bad, f), "") << bad;
    }
}

std::string Parse(std::vector<std::string> args, ProgramOptions* out = nullptr) {
    ProgramOptions o;
    const auto err = ParseArgs(args, o);
    if (out) *out = o;
    return err;
}

TEST(ProgramOptionsTest, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--port", "COM1"},
        {"--board", "c167"},
        {"--board", "c999", "--port", "COM1"},
        {"--board", "c167", "--port", "LPT1"},
        {"--board", "c167", "--port", "COM0"},
        {"--board", "c167", "--port", "COM1", "--latency-ms", "-5"},
        {"--board", "c167", "--port", "COM1", "--erase-ms"},
        {"--board", "c167", "--port", "COM1", "--fault", "melt"},
        {"--board", "c167", "--port", "COM1", "--once=yes"},
        {"--board", "c167", "--port", "COM1", "--verbose"},
    };
    for (const auto& args : bad) EXPECT_NE(Parse(args), "") << ::testing::PrintToString(args);
    EXPECT_NE(Parse({"--board", "nope", "--port", "COM1"}).find("c167"), std::string::npos)
        << "an unknown board lists the known ones";
}

TEST(ProgramOptionsTest, FullCommandLine) {
    ProgramOptions o;
    ASSERT_EQ(Parse({"--board=c167", "--port", "com12", "--ports-dir", "/x", "--flash-out", "f.bin", "--once",
                     "--pace", "--latency-ms", "16", "--erase-ms=0", "--fault", "drop@1", "--fault", "silent"},
                    &o),
              "");
    EXPECT_EQ(o.port, "COM12");
    EXPECT_EQ(o.portsDir, "/x");
    EXPECT_EQ(o.flashOut, "f.bin");
    EXPECT_TRUE(o.once && o.pace);
    EXPECT_EQ(o.latencyMs, 16);
    EXPECT_EQ(o.eraseMs, 0);
    EXPECT_TRUE(o.faults.silent);
    EXPECT_EQ(o.faults.drop.count(1), 1u);
    EXPECT_EQ(Parse({"--help"}), "");
}

// ---- port links --------------------------------------------------------------------

class PortLinkTest : public ::testing::Test {
protected:
    void SetUp() override { dir_ = test::MakeTempDir("link"); }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Target(const std::string& name) { return std::filesystem::read_symlink(dir_ + "/" + name); }
    std::string dir_;
};

TEST_F(PortLinkTest, CreatesDirectoryAndRemovesOnlyItsOwnLink) {
    const std::string sub = dir_ + "/a/b";
    {
        PortLink link(sub, "COM3", "/dev/null");
        EXPECT_EQ(std::filesystem::read_symlink(sub + "/COM3"), "/dev/null");
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(sub + "/COM3")));

    PortLink link(dir_, "COM4", "/dev/null");
    std::filesystem::remove(dir_ + "/COM4");
    std::filesystem::create_symlink("/dev/zero", dir_ + "/COM4");   // someone else took the name
    link.Remove();
    EXPECT_EQ(Target("COM4"), "/dev/zero");
}

TEST_F(PortLinkTest, StaleLinksAreReplacedOthersRefused) {
    std::filesystem::create_symlink("/dev/pts/no-such-pty", dir_ + "/COM1");
    PortLink replaced(dir_, "COM1", "/dev/null");
    EXPECT_EQ(Target("COM1"), "/dev/null");

    std::filesystem::create_symlink("/dev/zero", dir_ + "/COM2");
    EXPECT_THROW(PortLink(dir_, "COM2", "/dev/null"), std::runtime_error);
    EXPECT_EQ(Target("COM2"), "/dev/zero");

    test::WriteFileBytes(dir_ + "/COM5", {1});
    EXPECT_THROW(PortLink(dir_, "COM5", "/dev/null"), std::runtime_error);
}

TEST(PortNames, Normalised) {
    EXPECT_EQ(NormalizePortName("COM1"), "COM1");
    EXPECT_EQ(NormalizePortName("com255"), "COM255");
    for (const char* bad : {"", "COM", "COM0", "COM01", "COM1a", "TTY1", "COM1234"})
        EXPECT_EQ(NormalizePortName(bad), "") << bad;
}

// ---- flash ---------------------------------------------------------------------------

TEST(Flash, ProgrammingOnlyClearsBitsAndSavesWholeContent) {
    FlashModel f(16);
    EXPECT_EQ(f.Program(0, 0x5A), 0x5A);
    EXPECT_EQ(f.Program(0, 0xF0), 0x50) << "writing over unerased cells reads back old AND new";
    f.Erase();
    EXPECT_EQ(f.Read(0), 0xFF);
    f.Program(15, 0x12);
    const std::string dir = test::MakeTempDir("flash");
    f.SaveTo(dir + "/out.bin");
    auto bytes = test::ReadFileBytes(dir + "/out.bin");
    EXPECT_EQ(bytes.size(), 16u);
    EXPECT_EQ(bytes[15], 0x12);
    EXPECT_EQ(bytes[3], 0xFF);
    EXPECT_THROW(f.SaveTo(dir + "/missing/out.bin"), std::runtime_error);
    std::filesystem::remove_all(dir);
}

// ---- c167 board on a fake clock ----------------------------------------------------

class FakeIo : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override { sent.insert(sent.end(), data, data + n); }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    std::vector<uint8_t> Take() { return std::exchange(sent, {}); }

    std::vector<uint8_t> sent;
    std::string log;
    Clock::time_point now{};
};

class C167Board : public ::testing::Test {
protected:
    void Make() { board_ = FindBoard("c167")->make(config_, io_); }
    void Feed(const std::vector<uint8_t>& bytes, uint32_t baud = 57600) {
        for (uint8_t b : bytes) board_->Receive(b, baud);
    }
    void Load() {
        Feed({0x00});
        Feed(std::vector<uint8_t>(kLoaderC166.data, kLoaderC166.data + kLoaderC166.size));
        ASSERT_EQ(io_.Take(), (std::vector<uint8_t>{0x55, 0x00}));
    }
    // Lets the clock run until no timer is pending.
    void RunTimers() {
        while (auto t = board_->NextTimer()) {
            io_.now = *t;
            board_->OnTimer();
        }
    }
    static std::vector<uint8_t> Size(uint32_t n) {
        return {0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
    }
    std::vector<uint8_t> Program(const std::vector<uint8_t>& data) {
        Feed(Size(uint32_t(data.size())));
        Feed({0x42});
        Feed(data);
        return io_.Take();
    }

    BoardConfig config_;
    FakeIo io_;
    std::unique_ptr<Board> board_;
};

TEST_F(C167Board, RomAdoptsTheRateOfTheZeroByteAndIgnoresOtherBytesBefore) {
    Make();
    EXPECT_EQ(board_->ListenBaud(), 0u);
    Feed({0x7F, 0x55}, 9600);
    EXPECT_TRUE(io_.Take().empty());
    Feed({0x00}, 19200);
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x55});
    EXPECT_EQ(board_->ListenBaud(), 19200u);
}

TEST_F(C167Board, BadIdFaultFlipsTheTopBit) {
    config_.badId = true;
    Make();
    Feed({0x00});
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0xD5});
}

TEST_F(C167Board, EraseSizeDataAndFinish) {
    Make();
    Load();
    Feed({0x62});
    Feed(Size(4));   // sent after the erase command: answered after the erase
    EXPECT_EQ(io_.Take(), (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_FALSE(board_->NextTimer()) << "the chip erase ran in the board's own time";
    Feed({0x42, 0x11, 0x22, 0x33, 0x44});
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x00});
    Feed({0x01, 0x14, 0x04});   // finish and control bytes: no answer
    Feed({0x06, 'E', 'P', 'L', 'D', 0, 0, 0, 0});
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x00});
    Feed({0x99});
    EXPECT_TRUE(io_.Take().empty());
    const auto& flash = board_->Flash().Bytes();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 5), (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44, 0xFF}));
    EXPECT_EQ(flash.size(), 512u * 1024);
}

TEST_F(C167Board, SizeLimitIsTheFlashSize) {
    Make();
    Load();
    Feed(Size(512 * 1024));
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x00});
    Feed(Size(512 * 1024 + 1));
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x01});
    Feed({0x42});   // a refused size leaves nothing to receive
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x00});
}

TEST_F(C167Board, AnOddSizeWaitsForTheWholeLastWord) {
    // The host always sends an even count; the loader takes whole words.
    Make();
    Load();
    Feed({0x62});
    io_.Take();
    EXPECT_EQ(Program({1, 2, 3}), (std::vector<uint8_t>{0x00}));
    Feed({0x00});
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x00});
    EXPECT_EQ(board_->Flash().Read(2), 3);
    EXPECT_EQ(board_->Flash().Read(3), 0x00);
    EXPECT_EQ(board_->Flash().Read(4), 0xFF);
}

TEST_F(C167Board, WritingOverUnerasedFlashReportsTheRealReread) {
    Make();
    Load();
    Feed({0x62});
    RunTimers();
    io_.Take();
    ASSERT_EQ(Program({0xF0, 0xFF, 0x0F, 0xF0}), (std::vector<uint8_t>{0x00, 0x00}));
    // Second pass without erase: word 0 (0xFFF0 over 0xFFF0) reads back right, word 2 does not.
    const auto reply = Program({0xF0, 0xFF, 0xFF, 0x0F});
    EXPECT_EQ(reply, (std::vector<uint8_t>{0x00, 2, 0, 0, 0, 0xFF, 0x0F, 0x0F, 0x00, 0x02}));
    Feed({0x62, 0x22});
    RunTimers();
    EXPECT_TRUE(io_.Take().empty()) << "after a report the program stays silent";
}

TEST_F(C167Board, VerifyErrorFaultReportsTheWordContainingTheAddress) {
    // The fault is a weak cell: its lowest bit that should become 0 stays 1.
    for (uint32_t addr : {0x1234u, 0x1235u}) {
        SCOPED_TRACE(addr);
        config_.verifyErrorAt = {addr};
        Make();
        Load();
        Feed({0x62});
        io_.Take();
        auto data = test::PatternBytes(0x2000);
        data[addr] = 0x5A;
        const auto reply = Program(data);
        const uint8_t lo = data[0x1234], hi = data[0x1235];
        const uint8_t rlo = addr == 0x1234 ? 0x5B : lo, rhi = addr == 0x1235 ? 0x5B : hi;
        EXPECT_EQ(reply, (std::vector<uint8_t>{0x00, 0x34, 0x12, 0, 0, lo, hi, rlo, rhi, 0x02}));
        EXPECT_EQ(board_->Flash().Read(0x1233), data[0x1233]);
        EXPECT_EQ(board_->Flash().Read(addr), 0x5B);
        EXPECT_EQ(board_->Flash().Read(0x1236), 0xFF) << "nothing is programmed after the report";
    }
}

TEST_F(C167Board, ResetReturnsToTheRomAndKeepsTheFlash) {
    Make();
    Load();
    Feed({0x62});
    io_.Take();
    Program({0xAB, 0xCD});
    board_->Reset();
    EXPECT_FALSE(board_->NextTimer());
    EXPECT_EQ(board_->ListenBaud(), 0u);
    EXPECT_EQ(board_->Flash().Read(0), 0xAB);
    EXPECT_NE(io_.log.find("loaded program:"), std::string::npos) << io_.log;
    Feed({0x00}, 115200);
    EXPECT_EQ(io_.Take(), std::vector<uint8_t>{0x55});
    EXPECT_EQ(board_->ListenBaud(), 115200u);
}

}  // namespace
}  // namespace qtx::sim
