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
    // Read Flash answered from flash, up to the reset record (or until the host
    // falls silent).
    std::vector<std::string> PlayIsp(const Bytes& flash) {
        std::vector<std::string> got;
        for (std::string r = ReadRecord(); !r.empty(); r = ReadRecord()) {
            got.push_back(r);
            if (r.size() < 11 || r == Flash_AC2::kResetRecord) break;
            if (r.size() == 21 && r.substr(7, 2) == "04")
                Send(r + Lines(flash, std::stoul(r.substr(9, 4), nullptr, 16), std::stoul(r.substr(13, 4), nullptr, 16)));
            else
                Send(r + ".\r\n");
        }
        return got;
    }
    // The answer lines to Read Flash first..last: "AAAA=", 16 bytes a line, CR LF.
    static std::string Lines(const Bytes& flash, std::size_t first, std::size_t last) {
        std::string text;
        char hex[8];
        for (std::size_t at = first; at <= last; at += 16) {
            std::snprintf(hex, sizeof hex, "%04X=", unsigned(at));
            text += hex;
            for (std::size_t a = at; a <= last && a < at + 16; ++a) {
                std::snprintf(hex, sizeof hex, "%02X", flash.at(a));
                text += hex;
            }
            text += "\r\n";
        }
        return text;
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
    bool readBack;
    std::vector<std::string> records;  // data records by count and address, fuse and reset records whole
    std::vector<int> gauge;  // while the data records go out
    friend void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }
};

class Ac2Program : public Scripted, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(Ac2Program, SendsRecordsFusesAndResetWithTheGauge) {
    const ProgramCase& c = GetParam();
    Open(7);
    ctx.SetX2 = c.x2;
    ctx.ReadBack = c.readBack;
    const Bytes fw = PatternBytes(c.size, 5);
    const std::string path = File(fw);
    auto run = Async([&] { return F().Program(path); });
    std::vector<std::string> records = PlayIsp(fw);
    EXPECT_EQ(run.get(), 0);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "nothing follows the reset record";
    for (auto& r : records)
        if (r.substr(7, 2) == "00") r = r.substr(0, 7);
    EXPECT_EQ(records, c.records);
    // The read-back drives the gauge once more, from 0 up to 100.
    const std::vector<int>& g = rec.progressValues;
    ASSERT_GE(g.size(), c.gauge.size());
    EXPECT_EQ(std::vector<int>(g.begin(), g.begin() + std::ptrdiff_t(c.gauge.size())), c.gauge);
    const std::vector<int> readBack(g.begin() + std::ptrdiff_t(c.gauge.size()), g.end());
    if (c.readBack) {
        ASSERT_GE(readBack.size(), 2u);
        EXPECT_EQ(readBack.front(), 0);
        EXPECT_EQ(readBack.back(), 100);
        EXPECT_TRUE(std::is_sorted(readBack.begin(), readBack.end())) << ::testing::PrintToString(readBack);
        EXPECT_EQ(rec.status, "Flash Read-back: the " + std::to_string(c.size) + " bytes read back match the image");
    } else {
        EXPECT_EQ(readBack, std::vector<int>{});
        EXPECT_FALSE(rec.Has("status Reading the flash back"));
    }
}

const std::string kX2On = Flash_AC2::kX2SetRecord, kX2Off = Flash_AC2::kX2ClearRecord,
                  kBljb = Flash_AC2::kBljbRecord, kReset = Flash_AC2::kResetRecord;

INSTANTIATE_TEST_SUITE_P(
    Ac2, Ac2Program,
    ::testing::Values(
        // The read-back comes after the data and before the fuses: Read Flash 0..size-1.
        ProgramCase{"Exactly256", 256, true, true,
                    {":800000", ":800080", ":05000004000000FF00F8", kX2On, kBljb, kReset}, {0, 50}},
        ProgramCase{"Bytes300", 300, true, true,
                    {":800000", ":800080", ":2C0100", ":050000040000012B00CB", kX2On, kBljb, kReset}, {0, 50, 100}},
        ProgramCase{"ShorterThanABlock", 100, true, true, {":640000", ":05000004000000630094", kX2On, kBljb, kReset},
                    {100}},
        ProgramCase{"OneByteX2NotTicked", 1, false, true, {":010000", ":050000040000000000F7", kX2Off, kBljb, kReset},
                    {100}},
        ProgramCase{"ReadBackOff", 300, true, false, {":800000", ":800080", ":2C0100", kX2On, kBljb, kReset},
                    {0, 50, 100}}),
    [](const auto& info) { return info.param.name; });

TEST_F(Scripted, Ac2RecordsReadBackThroughIndependentParsers) {
    Open(7);
    const Bytes fw = PatternBytes(4097, 9);
    const std::string path = File(fw);
    auto run = Async([&] { return F().Program(path); });
    const auto records = PlayIsp(fw);
    ASSERT_EQ(run.get(), 0);
    std::string hex;
    std::vector<std::string> reads;
    for (const auto& r : records) {
        EXPECT_EQ(r.find_first_not_of(":0123456789ABCDEF"), std::string::npos) << r;
        if (r.substr(7, 2) == "00") hex += r + "\n";
        if (r.substr(7, 2) == "04") reads.push_back(r);
    }
    // At most 400h bytes per Read Flash, the end address inclusive.
    EXPECT_EQ(reads, (std::vector<std::string>{":05000004000003FF00F5", ":05000004040007FF00ED", ":0500000408000BFF00E5",
                                               ":050000040C000FFF00DD", ":050000041000100000D7"}));
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
    enum { Ok, CharError, Timeout } outcome;
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
        // Any other reply means the record taken was not the erase record: the
        // data must not follow. The text names the character that deviated.
        EraseCase{"NoEchoFails", ".\r\n",
                  "Flash Erase: character 1 of the echo of the erase record :0100000307F5: received \".\" (2Eh), "
                  "expected \":\" (3Ah); the reply: \".<CR><LF>\"; the flash was not erased",
                  0, EraseCase::CharError},
        // A character damaged on its way to the boot loader: it echoes what it
        // got and refuses the record; the flash keeps its old content.
        EraseCase{"DamagedEchoFails", ":0100000317F5X\r\n",
                  "Flash Erase: character 10 of the echo of the erase record :0100000307F5: received \"1\" (31h), "
                  "expected \"0\" (30h); the reply: \":0100000317F5X<CR><LF>\"; the flash was not erased",
                  0, EraseCase::CharError},
        EraseCase{"UnknownStatusFails", "EQ\r\n",
                  "Flash Erase: the status after the echo: received \"Q\" (51h), expected \".\", \"X\" or \"P\"; "
                  "the reply: \":0100000307F5Q<CR><LF>\"; the flash was not erased",
                  0, EraseCase::CharError},
        // A received 0xFF counts as a timeout and is dropped from the line.
        EraseCase{"FFInsideTheLine", "E\xFF.\r\n", "Flash Erase: OK", 100, EraseCase::Ok},
        EraseCase{"ElevenFFs", kFF11, "Flash Erase: Timeout", 50, EraseCase::Timeout},
        EraseCase{"TimeoutsCountOverTheWholeLine", "\xFF\xFF\xFF\xFF\xFF:01\xFF\xFF\xFF\xFF\xFF\xFF\n",
                  "Flash Erase: Timeout", 50, EraseCase::Timeout},
        EraseCase{"OverlongLine", "EEEEE.\r\n",
                  "Flash Erase: the status after the echo: received \":\" (3Ah), expected \".\", \"X\" or \"P\"; "
                  "the reply: \":0100000307F5:0100000307F5:0100000307F5:0100000307F5:0100000307F5.<CR><LF>\"; "
                  "the flash was not erased",
                  0, EraseCase::CharError}),
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

// The read-back of a 33-byte image: Read Flash 0000h..0020h is the example of
// "A/T89C51AC2 UART Bootloader" (4231C-CAN-03/05, page 14), answered with 16,
// 16 and 1 bytes. Byte i of the image is i, so the answers read plainly.
struct ReadBackCase {
    const char* name;
    std::string answer;  // "@" stands for the echo of the Read Flash record
    const char* status;
    bool ok;
    friend void PrintTo(const ReadBackCase& c, std::ostream* os) { *os << c.name; }
};

class Ac2ReadBack : public Scripted, public ::testing::WithParamInterface<ReadBackCase> {
protected:
    // Runs Program for the image 00h..20h up to the Read Flash record, which
    // it returns; the data record is accepted.
    std::string StartProgram() {
        Open(7);
        for (int i = 0; i < 33; ++i) fw.push_back(uint8_t(i));
        path = File(fw);
        run = Async([this] { F().Program(path); });
        const std::string data = ReadRecord();
        EXPECT_EQ(data.substr(0, 9), ":21000000");
        Send(data + ".\r\n");
        return ReadRecord();
    }
    Bytes fw;
    std::string path;
    std::future<void> run;
};

const std::string kRead = ":050000040000002000D7";
const std::string kLines =
    "0000=000102030405060708090A0B0C0D0E0F\r\n0010=101112131415161718191A1B1C1D1E1F\r\n0020=20\r\n";

TEST_P(Ac2ReadBack, ComparesEveryLineWithTheImage) {
    const ReadBackCase& c = GetParam();
    ASSERT_EQ(StartProgram(), kRead);
    std::string answer;
    for (char ch : c.answer) answer += ch == '@' ? kRead : std::string(1, ch);
    Send(answer);
    if (c.ok) {
        EXPECT_EQ(PlayIsp(fw), (std::vector<std::string>{kX2On, kBljb, kReset}));
        EXPECT_NO_THROW(run.get());
    } else {
        EXPECT_THROW(run.get(), X_Flash::ProgramException);
        EXPECT_EQ(peer->Drain(100), Bytes{}) << "no fuse record after a failed read-back";
    }
    EXPECT_EQ(rec.status, c.status);
    EXPECT_TRUE(rec.Has("status Reading the flash back"));
}

INSTANTIATE_TEST_SUITE_P(
    Ac2, Ac2ReadBack,
    ::testing::Values(
        ReadBackCase{"Matches", "@" + kLines, "Flash Read-back: the 33 bytes read back match the image", true},
        ReadBackCase{"DifferentByte",
                     "@0000=000102030405060708090A0B0C0D0E0F\r\n0010=101112531415161718191A1B1C1D1E1F\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: address 0013h reads 53h, the image has 13h: "
                     "the flash does not hold the image",
                     false},
        ReadBackCase{"ChecksumError", "@X\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: answered \"X\" (checksum error); the flash is not "
                     "checked",
                     false},
        ReadBackCase{"ReadingForbidden", "@L\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: answered \"L\" (security: reading is forbidden); the "
                     "flash is not checked",
                     false},
        ReadBackCase{"DamagedEcho", ":050000040000012000D7" + kLines,
                     "Flash Read-back: Read Flash 0000h..0020h: character 15 of the echo of :050000040000002000D7: "
                     "received \"1\" (31h), expected \"0\" (30h)",
                     false},
        ReadBackCase{"LineOutOfStep", "@0000=000102030405060708090A0B0C0D0E0F\r\n0020=20\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: the line for 0010h: character 3 of \"0010=\" came as "
                     "\"2\" (32h), expected \"1\" (31h)",
                     false},
        ReadBackCase{"SpaceBetweenBytes", "@0000=00 0102030405060708090A0B0C0D0E0F\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: the line for 0000h: byte 2 of 16 came as \" \" (20h), "
                     "expected an upper-case hex digit",
                     false},
        ReadBackCase{"LongLastLine", "@0000=000102030405060708090A0B0C0D0E0F\r\n0010=101112131415161718191A1B1C1D1E1F"
                                     "\r\n0020=2021\r\n",
                     "Flash Read-back: Read Flash 0000h..0020h: the line for 0020h: after its 1 byte came \"2\" (32h), "
                     "expected CR (0Dh)",
                     false},
        ReadBackCase{"Silence", "@",
                     "Flash Read-back: Read Flash 0000h..0020h: no answer while waiting for the line for 0000h", false}),
    [](const auto& info) { return info.param.name; });

TEST_F(Ac2ReadBack, AbortEndsTheReadBack) {
    rec.onPump = [this] {
        if (rec.status == "Reading the flash back") F().Abort = 1;
    };
    ASSERT_EQ(StartProgram(), kRead);
    Send(kRead + kLines);
    EXPECT_THROW(run.get(), X_Flash::BreakException);
    EXPECT_EQ(peer->Drain(100), Bytes{}) << "no fuse record after an abort";
}

}  // namespace
