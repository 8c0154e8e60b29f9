// Flash_AC2 byte by byte against a scripted peer: the test plays the ISP boot
// loader and checks what the host sends and waits for.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "scripted_flasher.h"
#include "targets/flash_ac2.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

class Scripted : public ScriptedFlasher {
protected:
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
};

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

}  // namespace
