// Comport over real pseudo-terminals linked into a private port map.
#include <gtest/gtest.h>

#include "pty_rig.h"
#include "serial/comport.h"

namespace qtx {
namespace {

PortRecord Record(const char* name) { return PortRecord::Make(name, "8N1", 115200); }

class ComportOnPty : public ::testing::Test {
protected:
    void SetUp() override { dir.Link("COM1", pty.slave); }
    test::TempDir dir{true};
    test::Pty pty;
};

TEST_F(ComportOnPty, ReadNeverWaitsAndReturnsQueuedBytesRaw) {
    Comport port(Record("COM1"));
    uint8_t buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);  // nothing queued: returns at once
    // CR, NL, ^C, ^S, DEL and NUL pass untouched; no read exceeds its n.
    const std::string sent = std::string("hi\r\n\x03\x13\x7f", 7) + '\0' + "there";
    pty.Send(sent);
    std::string got;
    while (got.size() < sent.size() && port.WaitReadable(5000))
        got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(port.Read(buf, 3)));
    EXPECT_EQ(got, sent);
    EXPECT_EQ(port.ClearErrors(), 0u);  // ptys have no error counters
}

TEST_F(ComportOnPty, WriteCompletesOrGivesUpOnAStall) {
    Comport port(Record("COM1"));
    const auto data = test::Pattern(1024 * 1024);
    test::MasterDrainer far(pty.master, 65536);
    EXPECT_EQ(port.Write(data.data(), 65536), 65536);
    EXPECT_EQ(far.Finish(), std::vector<uint8_t>(data.begin(), data.begin() + 65536));
    // Nobody reads now: far more than a pty buffers cannot go out.
    port.WriteStallTimeoutMs = 300;
    const int n = port.Write(data.data(), static_cast<int>(data.size()));
    EXPECT_GT(n, 0);
    EXPECT_LT(n, static_cast<int>(data.size()));
    EXPECT_FALSE(port.Gone());
}

// Closed and opened again at once, as the autobaud broadcast does 130 times:
// every session's bytes still reach the other end. On a pty they may not
// have left when the next open purges.
TEST_F(ComportOnPty, AReopenNeverCutsOffTheLastSessionsBytes) {
    const std::string text = "\nDFC\n";
    std::string all;
    for (int i = 0; i < 600; ++i) {  // 3000 bytes: the pty holds them all
        Comport port("COM1");
        EXPECT_EQ(port.Write(reinterpret_cast<const uint8_t*>(text.data()), int(text.size())), int(text.size()));
        all += text;
    }
    Comport("COM1");  // the last session's bytes meet an open too
    // Read once the port is closed: the master hands over what it holds, then EIO.
    std::string got;
    char buf[4096];
    for (ssize_t r; (r = ::read(pty.master, buf, sizeof buf)) > 0;) got.append(buf, std::size_t(r));
    EXPECT_EQ(got, all);
}

TEST_F(ComportOnPty, OpenFailuresNameTheCause) {
    dir.Link("COM2", dir / "unplugged");
    dir.Link("COM3", "/dev/null");
    Comport holder(Record("COM1"));
    const std::pair<const char*, std::string> cases[] = {
        {"COM7", "COM7 is not in the port map (" + dir.path + ")"},
        {"COM2", dir / "unplugged (COM2) is not present"},
        {"COM3", "/dev/null (COM3) is not a terminal"},
        {"com1", pty.slave + " (com1) is in use"},
    };
    for (const auto& [name, expect] : cases) {
        try {
            Comport port(Record(name));
            ADD_FAILURE() << name << " opened";
        } catch (const Comport::InitException& e) {
            EXPECT_NE(e.reason.find(expect), std::string::npos) << e.reason;
        }
    }
    int err = 0;
    EXPECT_EQ(Comport::OpenDevice("COM1", nullptr, &err), -1);
    EXPECT_EQ(err, EBUSY);
}

TEST_F(ComportOnPty, UnpluggedPortIsGoneAndEveryCallReturns) {
    for (bool writeFirst : {false, true}) {
        SCOPED_TRACE(writeFirst ? "noticed by Write" : "noticed by Read");
        test::Pty dying;
        dir.Link(writeFirst ? "COM8" : "COM9", dying.slave);
        Comport port(Record(writeFirst ? "COM8" : "COM9"));
        port.WriteStallTimeoutMs = 600000;  // a hang shows as the test's timeout
        dying.CloseMaster();
        EXPECT_TRUE(port.WaitReadable(60000)) << "a hang-up wakes the waiter";
        uint8_t buf[64] = {};
        EXPECT_LT(writeFirst ? port.Write(buf, sizeof buf) : port.Read(buf, sizeof buf), 64);
        EXPECT_TRUE(port.Gone());
        EXPECT_EQ(port.Read(buf, sizeof buf) + port.Write(buf, sizeof buf), 0);
        port.PurgeReceive();
    }
}

std::vector<std::string> g_listed;

TEST_F(ComportOnPty, EnumerateListsOpenableAndHeldPortsInOrder) {
    test::Pty held, other;
    dir.Link("COM2", dir / "unplugged");
    dir.Link("COM3", held.slave);
    dir.Link("COM4", "/dev/null");
    dir.Link("COM10", other.slave);
    Comport holder(Record("COM3"));  // another program has COM3
    const std::pair<int, std::vector<std::string>> cases[] = {
        {60, {"COM1", "COM3", "COM10"}}, {9, {"COM1", "COM3"}}, {0, {}}};
    for (const auto& [count, names] : cases) {
        g_listed.clear();
        EXPECT_EQ(Comport::EnumeratePorts(count, [](const char* name) { g_listed.emplace_back(name); }),
                  static_cast<int>(names.size()));
        EXPECT_EQ(g_listed, names) << count;
    }
    EXPECT_EQ(Comport::EnumeratePorts(60, nullptr), 3);
    EXPECT_NO_THROW(Comport(Record("COM1"))) << "probing released what it opened";
}

}  // namespace
}  // namespace qtx
