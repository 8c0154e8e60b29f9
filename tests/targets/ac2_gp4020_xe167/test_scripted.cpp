// Flash_AC2, Flash_4020 and Flash_XE167 byte by byte against a scripted peer:
// the test plays the boot loader and checks what the host sends and waits for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <termios.h>

#include "engine/catalogue.h"
#include "loaders/loader_image.h"
#include "pty_peer.h"
#include "recorder.h"
#include "sim_board.h"
#include "targets/flash_ac2.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

class Scripted : public ::testing::Test {
protected:
    void Open(int32_t code, const std::string& portName = "COM1") {
        peer = std::make_unique<PtyPeer>(portName);
        ctx.setup.Ports[PortRecordIndex(code)].SetName(portName);
        ASSERT_EQ(SelectTarget(ctx, code), 0);
        ASSERT_EQ(OpenTargetPort(ctx), 0) << ctx.lastPortError;
    }
    void TearDown() override { DestroyActivePort(ctx); }
    X_Flash& F() { return *ctx.ActiveFlasher; }
    std::string File(const Bytes& data) {
        const std::string path = peer->Dir() + "/fw.bin";
        WriteFileBytes(path, data);
        return path;
    }
    template <class Fn>
    auto Async(Fn fn) {
        return std::async(std::launch::async, fn);
    }
    void Send(const std::string& text) { peer->Send(Bytes(text.begin(), text.end())); }
    // One record as the host sent it: ":" up to its checksum and nothing more,
    // so a CR or LF after a record shows up as the start of the next one.
    std::string ReadRecord() {
        const Bytes head = peer->Receive(3);
        std::string r(head.begin(), head.end());
        if (r.size() < 3 || r[0] != ':') return r;
        const Bytes rest = peer->Receive(8 + 2 * std::stoul(r.substr(1), nullptr, 16));
        return r + std::string(rest.begin(), rest.end());
    }
    // Plays the ISP boot loader for Program: every record echoed and accepted,
    // up to the reset record (or until the host falls silent).
    std::vector<std::string> PlayIsp() {
        std::vector<std::string> got;
        for (std::string r = ReadRecord(); !r.empty(); r = ReadRecord()) {
            got.push_back(r);
            if (r.size() < 11 || r == Flash_AC2::kResetRecord) break;
            Send(r + ".\r\n");
        }
        return got;
    }

    std::unique_ptr<PtyPeer> peer;
    Recorder rec;
    Context ctx{rec};
};

// ---- T89C5xACx --------------------------------------------------------------

TEST(Ac2Records, BuiltRecordsMatchTheLoadersFormat) {
    Bytes data(16);
    for (int i = 0; i < 16; ++i) data[i] = uint8_t(i);
    EXPECT_EQ(HexRecord(0, 0x0080, data.data(), 16), ":10008000000102030405060708090A0B0C0D0E0FF8");
    // The fixed records are ordinary records of type 03.
    const std::pair<Bytes, const char*> fixed[] = {{{0x07}, Flash_AC2::kEraseRecord},
                                                   {{0x0A, 0x08, 0x00}, Flash_AC2::kX2SetRecord},
                                                   {{0x0A, 0x08, 0x01}, Flash_AC2::kX2ClearRecord},
                                                   {{0x0A, 0x04, 0x01}, Flash_AC2::kBljbRecord},
                                                   {{0x03, 0x00}, Flash_AC2::kResetRecord}};
    for (const auto& [bytes, text] : fixed) EXPECT_EQ(HexRecord(3, 0, bytes.data(), bytes.size()), text);
    const Bytes high = {0xAB, 0xFF};
    EXPECT_EQ(HexRecord(0, 0xFF80, high.data(), 2), ":02FF8000ABFFD5");  // upper case, carries wrap
}

struct ProgramCase {
    const char* name;
    std::size_t size;
    bool x2;
    std::vector<std::string> records;  // data records by count and address, fuse and reset records whole
    std::vector<int> gauge;
    friend void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }
};

class Ac2Program : public Scripted, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(Ac2Program, SendsRecordsFusesAndResetWithTheGauge) {
    const ProgramCase& c = GetParam();
    Open(7);
    ctx.SetX2 = c.x2;
    const std::string path = File(PatternBytes(c.size, 5));
    auto run = Async([&] { return F().Program(path); });
    std::vector<std::string> records = PlayIsp();
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "nothing follows the reset record";
    for (auto& r : records)
        if (r.substr(7, 2) == "00") r = r.substr(0, 7);
    EXPECT_EQ(records, c.records);
    EXPECT_EQ(rec.progressValues, c.gauge);
}

const std::string kX2On = Flash_AC2::kX2SetRecord, kX2Off = Flash_AC2::kX2ClearRecord,
                  kBljb = Flash_AC2::kBljbRecord, kReset = Flash_AC2::kResetRecord;

INSTANTIATE_TEST_SUITE_P(
    Ac2, Ac2Program,
    ::testing::Values(
        ProgramCase{"Exactly256", 256, true, {":800000", ":800080", kX2On, kBljb, kReset}, {0, 50}},
        ProgramCase{"Bytes300", 300, true, {":800000", ":800080", ":2C0100", kX2On, kBljb, kReset}, {0, 50, 100}},
        ProgramCase{"ShorterThanABlock", 100, true, {":640000", kX2On, kBljb, kReset}, {100}},
        ProgramCase{"OneByteX2NotTicked", 1, false, {":010000", kX2Off, kBljb, kReset}, {100}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Scripted, Ac2RecordsReadBackThroughIndependentParsers) {
    Open(7);
    const Bytes fw = PatternBytes(4097, 9);
    const std::string path = File(fw);
    auto run = Async([&] { return F().Program(path); });
    const auto records = PlayIsp();
    ASSERT_EQ(run.get(), 0);
    std::string hex;
    for (const auto& r : records) {
        EXPECT_EQ(r.find_first_not_of(":0123456789ABCDEF"), std::string::npos) << r;
        if (r.substr(7, 2) == "00") hex += r + "\n";
    }
    hex += ":00000001FF\n";
    const std::string in = peer->Dir() + "/fw.hex";
    std::ofstream(in) << hex;
    const std::string out = peer->Dir() + "/back.bin";
    const std::vector<std::pair<std::string, std::vector<std::string>>> readers = {
        {"/usr/bin/srec_cat", {in, "-Intel", "-o", out, "-Binary"}},
        {"/usr/bin/python3",
         {"-c", "import sys; from intelhex import IntelHex; IntelHex(sys.argv[1]).tobinfile(sys.argv[2])", in, out}}};
    for (const auto& [tool, args] : readers) {
        ASSERT_TRUE(std::filesystem::exists(tool)) << tool << " (srecord, python3-intelhex) is needed";
        std::filesystem::remove(out);
        const ProcessResult r = RunProgram(tool, args);
        ASSERT_EQ(r.status, 0) << tool << ": " << r.err;
        EXPECT_EQ(ReadFileBytes(out), fw) << tool;
    }
}

struct EraseCase {
    const char* name;
    std::string reply;  // after the erase record; "E" stands for its echo
    const char* status;  // "" when the status bar is left alone
    int gauge;
    enum { Ok, Unrecognised, CharError, Timeout } outcome;
    friend void PrintTo(const EraseCase& c, std::ostream* os) { *os << c.name; }
};

class Ac2Erase : public Scripted, public ::testing::WithParamInterface<EraseCase> {};

TEST_P(Ac2Erase, ClassifiesTheReplyLine) {
    const EraseCase& c = GetParam();
    Open(7);
    rec.SetStatusText("before");
    std::string reply;
    for (char ch : c.reply) reply += ch == 'E' ? std::string(Flash_AC2::kEraseRecord) : std::string(1, ch);
    int64_t elapsed = 0;
    auto run = Async([&] {
        const int64_t t0 = NowMs();
        F().Erase();
        elapsed = NowMs() - t0;
    });
    EXPECT_EQ(ReadRecord(), Flash_AC2::kEraseRecord);
    Send(reply);
    switch (c.outcome) {
    case EraseCase::Ok:
        run.get();
        EXPECT_GE(elapsed, 1000) << "a confirmed erase pauses one second";
        break;
    case EraseCase::Unrecognised: run.get(); break;
    case EraseCase::CharError: EXPECT_THROW(run.get(), X_Flash::CharErrorException); break;
    case EraseCase::Timeout: EXPECT_THROW(run.get(), X_Flash::TimeoutException); break;
    }
    EXPECT_EQ(rec.status, *c.status ? c.status : "before");
    EXPECT_EQ(rec.progress, c.gauge);
    EXPECT_EQ(peer->Drain(50), Bytes{});
}

// The line feeds after the time-outs end the line for a reader that does not
// count a 0xFF as a time-out or counts only consecutive ones.
const std::string kFF11 = std::string(11, '\xFF') + "\n";

INSTANTIATE_TEST_SUITE_P(
    Ac2, Ac2Erase,
    ::testing::Values(
        EraseCase{"Confirmed", "E.\r\n", "Flash Erase: OK", 100, EraseCase::Ok},
        EraseCase{"ChecksumError", "EX\r\n", "Flash Erase: Checksum Error", 0, EraseCase::CharError},
        EraseCase{"SecurityError", "EP\r\n", "Flash Erase: Security Error", 0, EraseCase::CharError},
        EraseCase{"NoEchoIsNotRecognised", ".\r\n", "", 0, EraseCase::Unrecognised},
        // A received 0xFF counts as a timeout and is dropped from the line.
        EraseCase{"FFInsideTheLine", "E\xFF.\r\n", "Flash Erase: OK", 100, EraseCase::Ok},
        EraseCase{"ElevenFFs", kFF11, "Flash Erase: Timeout", 50, EraseCase::Timeout},
        EraseCase{"TimeoutsCountOverTheWholeLine", "\xFF\xFF\xFF\xFF\xFF:01\xFF\xFF\xFF\xFF\xFF\xFF\n",
                  "Flash Erase: Timeout", 50, EraseCase::Timeout},
        // Longer than the reply buffer: bounded, and no known reply.
        EraseCase{"OverlongLine", "EEEEE.\r\n", "", 0, EraseCase::Unrecognised}),
    [](const auto& info) { return info.param.name; });

TEST_F(Scripted, Ac2EraseTimesOutAfterElevenSilentSeconds) {
    Open(7);
    int64_t elapsed = 0;
    auto run = Async([&] {
        const int64_t t0 = NowMs();
        EXPECT_THROW(F().Erase(), X_Flash::TimeoutException);
        elapsed = NowMs() - t0;
    });
    EXPECT_EQ(ReadRecord(), Flash_AC2::kEraseRecord);
    run.get();
    EXPECT_EQ(rec.status, "Flash Erase: Timeout");
    EXPECT_GE(elapsed, 11000);
}

TEST_F(Scripted, Ac2SendsOnlyTheAutobaudCharacterAndRefusesUnaddressableFiles) {
    Open(7);
    ctx.FlashFilePath = File(PatternBytes(10));
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(1), Bytes{'U'});
    Send("U");
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(peer->Drain(50), Bytes{});

    ctx.FlashFilePath = File(Bytes(65537, 0x11));  // four address digits reach 64 KiB
    EXPECT_EQ(F().SendBootstrap(), -1);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "refused before anything is sent";
    EXPECT_EQ(rec.Caption(Panel::Bsl), "PROG ERR");
    EXPECT_NE(rec.status.find("has 65537 bytes; this target holds at most 65536 bytes"), std::string::npos)
        << rec.status;
}

// ---- GP4020 --------------------------------------------------------------------

Bytes Gp4020Download() {
    Bytes b(3 + kLoaderGP4020.size);
    b[1] = 0x07;
    b[2] = 0xDC;
    std::copy(kLoaderGP4020.data, kLoaderGP4020.data + kLoaderGP4020.size, b.begin() + 3);
    return b;
}

TEST_F(Scripted, Gp4020SendsZeroLengthAndImageAndWithoutABoardTimesOutAfterIt) {
    Open(4);
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(2015), Gp4020Download()) << "no identification before the zero byte";
    peer->Send({0x00});
    EXPECT_EQ(run.get(), 0);

    auto silent = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(2015), Gp4020Download());
    EXPECT_EQ(silent.get(), -1);
    EXPECT_EQ(rec.Caption(Panel::Bsl), "TIMEOUT");
    EXPECT_EQ(rec.status, "Timeout waiting after BSL has been sent");
}

// ---- XE167 ---------------------------------------------------------------------

TEST_F(Scripted, Xe167SwitchesTheOpenLineTo57600AndKeepsTheStoredRecord) {
    Open(8, "COM3");
    auto run = Async([&] { return F().SendBootstrap(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x00});
    peer->Send({0xD5});
    EXPECT_EQ(peer->Receive(2074), Bytes(kLoaderXE167.data, kLoaderXE167.data + kLoaderXE167.size));
    peer->Send({0x00});
    EXPECT_EQ(run.get(), 0);
    EXPECT_TRUE(rec.Has("port COM3 57600"));
    EXPECT_EQ(ctx.ActivePort->CharTime, 1736u);
    termios t{};
    ASSERT_EQ(tcgetattr(peer->MasterFd(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
    EXPECT_EQ(ctx.setup.Ports[7].BaudRate(), 19200);
    EXPECT_EQ(ctx.setup.Ports[7].Name(), "COM3");
}

struct AckCase {
    std::size_t size;
    uint32_t announced;
    int blockAcks;
};

class Xe167Acks : public Scripted, public ::testing::WithParamInterface<AckCase> {};

TEST_P(Xe167Acks, WaitsForEveryBlockAcknowledgementButTheLast) {
    const AckCase& c = GetParam();
    Open(8);
    const Bytes fw = PatternBytes(c.size, 3);
    const std::string path = File(fw);
    auto run = Async([&] { return F().ProgramFile(path, 0); });
    const uint32_t n = c.announced;
    EXPECT_EQ(peer->Receive(5), (Bytes{0x22, uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}));
    peer->Send({0x00});
    EXPECT_EQ(peer->Receive(1), Bytes{0x42});
    Bytes data;
    int acks = 0;
    while (data.size() < n) {
        const Bytes chunk = peer->Receive(std::min<std::size_t>(128, n - data.size()));
        ASSERT_FALSE(chunk.empty()) << "the host stopped after " << data.size() << " bytes";
        data.insert(data.end(), chunk.begin(), chunk.end());
        if (data.size() % 128 == 0 && data.size() < n) {
            ASSERT_EQ(peer->Drain(30), Bytes{}) << "the host must wait for the acknowledgement at " << data.size();
            peer->Send({0x00});
            ++acks;
        }
    }
    EXPECT_EQ(peer->Drain(30), Bytes{});
    peer->Send({0x00, 0x00});  // last block, then all in flash
    Bytes padded = fw;
    padded.resize(n, 0x00);
    EXPECT_EQ(peer->Receive(1), Bytes{0x43});
    peer->Send(test::ContentAnswer(padded));
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(acks, c.blockAcks);
    EXPECT_EQ(data, padded);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "ProgramFile leaves the end byte to the caller";
}

INSTANTIATE_TEST_SUITE_P(Xe167, Xe167Acks,
                         ::testing::Values(AckCase{1000, 1000, 7}, AckCase{1024, 1024, 7}, AckCase{1001, 1002, 7},
                                           AckCase{130, 130, 1}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

TEST_F(Scripted, Xe167VerifyReportInPlaceOfABlockAcknowledgementIsProgErr) {
    Open(8);
    ctx.FlashFilePath = File(PatternBytes(1000));
    auto run = Async([&] { return F().EraseAndProgram(); });
    EXPECT_EQ(peer->Receive(1), Bytes{0x62});
    peer->Send({0x00});
    peer->Receive(5);
    peer->Send({0x00});
    peer->Receive(1 + 128);
    peer->Send({0x42, 0x00, 0x00, 0x00, 0x34, 0x12, 0x35, 0x12, 0x02});
    EXPECT_EQ(run.get(), -1);
    EXPECT_EQ(rec.Caption(Panel::Flash), "PROG ERR");
    EXPECT_EQ(rec.status, "\n\nFatal: Error 0002 at addr 00042h: re-read 1235h, expected 1234h\n");
    // A lone wrong byte where the acknowledgement was due stays a wrong byte.
    auto wrong = Async([&] { return F().ProgramFile(ctx.FlashFilePath, 0); });
    peer->Receive(5);
    peer->Send({0x00});
    peer->Receive(1 + 128);
    peer->Send({0x01});
    EXPECT_THROW(wrong.get(), X_Flash::CharErrorException);
    EXPECT_EQ(rec.status, "\nError waiting after flash block has been sent.\nReceived byte: 01h Expected: 00h\n");
}

}  // namespace
