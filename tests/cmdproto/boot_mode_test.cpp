// Forcing boot mode against a scripted device: the broadcast, the boot-mode
// request, the results and the status texts.
#include <gtest/gtest.h>

#include <algorithm>

#include <asm/termbits.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "cmdproto/boot_mode.h"
#include "engine/boot_mode_switch.h"
#include "engine/catalogue.h"
#include "engine/context.h"
#include "engine/x_flash.h"
#include "frame_peer.h"
#include "recorder.h"

using namespace qtx;
using namespace qtx::test;

namespace {

Bytes AutobaudTexts(int n) {
    Bytes all;
    for (int i = 0; i < n; ++i) all.insert(all.end(), kAutobaudText, kAutobaudText + sizeof kAutobaudText);
    return all;
}

termios2 LineOf(int fd) {
    termios2 t{};
    ioctl(fd, TCGETS2, &t);
    return t;
}

TEST(BootModeData, KeyZeroWordAndTheTargetsRate) {
    Recorder rec;
    Context ctx{rec};
    ctx.setup.Ports[8].SetBaudRate(115200);
    ctx.setup.Ports[9].SetBaudRate(57600);
    const std::pair<int, int32_t> cases[] = {{9, 115200}, {10, 115200}, {11, 57600}, {1, 0}, {8, 0}, {0, 0}, {12, 0}};
    for (const auto& [code, baud] : cases) {
        ctx.setup.SetDeviceCode(code);
        EXPECT_EQ(BootModeBaudFor(ctx), baud) << "device code " << code;
    }
    const auto data = BootModeData(115200);
    EXPECT_EQ(Bytes(data.begin(), data.end()), (Bytes{0x95, 0x3C, 0x00, 0x00, 0x00, 0xC2, 0x01, 0x00}));
}

struct Answer {
    const char* name;
    uint16_t replyWord;  // 0: no answer at all
    int result;
    const char* lastStatus;
};

class ForceBootMode : public ::testing::TestWithParam<Answer> {
protected:
    ForceBootMode() {
        ctx.setup.SetDeviceCode(10);  // SAM3S: port record 8
        ctx.setup.Ports[8] = PortRecord::Make("COM1", "8N1", 115200);
    }
    PtyPeer peer{"COM1"};
    Recorder rec;
    Context ctx{rec};
};

TEST_P(ForceBootMode, BroadcastsThenSendsTheCommandOnce) {
    const Answer a = GetParam();
    const termios2 before = LineOf(peer.MasterFd());
    // The engine's port is still open on the same device: it must go first.
    ASSERT_EQ(OpenTargetPort(ctx), 0);
    ASSERT_TRUE(ctx.PortIsOpen);

    ScriptedDevice dev(peer, 1, [&](const SeenFrame&) { return a.replyWord ? Encode(a.replyWord, {}) : Bytes{}; });
    EXPECT_EQ(force_boot_mode(ctx, "COM1"), a.result);

    EXPECT_FALSE(ctx.PortIsOpen);
    EXPECT_EQ(ctx.ActivePort, nullptr);
    ASSERT_EQ(dev.Frames().size(), 1u);
    const SeenFrame& f = dev.Frames()[0];
    EXPECT_EQ(f.skipped, AutobaudTexts(130)) << "the text 130 times before the command";
    EXPECT_EQ(f.word, 0x840D);
    EXPECT_EQ(f.data, (Bytes{0x95, 0x3C, 0x00, 0x00, 0x00, 0xC2, 0x01, 0x00}));
    EXPECT_TRUE(peer.Drain(300).empty()) << "the command is sent once";
    EXPECT_EQ(rec.Matching("status "),
              (std::vector<std::string>{"status Autobauding, please wait .......", "status Init BSL Mode....",
                                        std::string("status ") + a.lastStatus}));
    EXPECT_GT(rec.pumps, 130) << "the window is kept painted during the pauses";
    const termios2 after = LineOf(peer.MasterFd());
    EXPECT_EQ(after.c_ospeed, before.c_ospeed) << "the port has its earlier settings";
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
}

INSTANTIATE_TEST_SUITE_P(Answers, ForceBootMode,
                         ::testing::Values(Answer{"Accepted", 0x440D, 0, "...done!"},
                                           Answer{"Silent", 0, -2, "Error! rc = -2"},
                                           Answer{"Refused", 0x240D, -3, "Error! rc = -3"},
                                           Answer{"NeitherFlag", 0x040D, -4, "Error! rc = -4"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Each text at its rate and stop bits (what a pty shows of the framing), in
// table order. The host is held in its pause until its text has reached the
// peer, so the settings read then are those the text went out with, however
// late this test or the kernel's pty work gets to run.
TEST(Broadcast, SendsEachTextAtItsRateInTableOrder) {
    PtyPeer peer{"COM1"};
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, peer.SlavePath().c_str(), IN_OPEN | IN_CLOSE), 0);
    int opens = 0;
    std::vector<std::pair<uint32_t, bool>> seen;  // rate, two stop bits
    Bytes texts;
    const auto idle = [&] {
        alignas(inotify_event) char buf[4096];
        for (ssize_t n; (n = read(watch, buf, sizeof buf)) > 0;) {
            for (ssize_t off = 0; off < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
                if (e->mask & IN_OPEN) ++opens;
                off += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        if (seen.size() == std::size_t(opens)) return;  // this open's text is in already
        const Bytes text = peer.Receive(sizeof kAutobaudText, 10000);
        texts.insert(texts.end(), text.begin(), text.end());
        const termios2 t = LineOf(peer.MasterFd());
        seen.emplace_back(t.c_ospeed, (t.c_cflag & CSTOPB) != 0);
    };
    EXPECT_EQ(cmd_broadcast("COM1", idle), 0);
    close(watch);
    std::vector<std::pair<uint32_t, bool>> expected;
    for (const int32_t rate : kBroadcastRates)
        for (const char* framing : kBroadcastFramings) expected.emplace_back(uint32_t(rate), framing[2] == '2');
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(texts, AutobaudTexts(130));
}

TEST(ForceBootModePort, AMissingPortEndsWithMinusOne) {
    PtyPeer peer{"COM1"};
    Recorder rec;
    Context ctx{rec};
    ctx.setup.SetDeviceCode(11);
    EXPECT_EQ(force_boot_mode(ctx, "COM7"), -1);
    EXPECT_EQ(rec.Matching("status "),
              (std::vector<std::string>{"status Autobauding, please wait .......", "status Error FORCE! rc = -1",
                                        "status Init BSL Mode...."}));
    EXPECT_TRUE(peer.Drain(100).empty());
}

// An Abort (Ctrl-C in the command-line tool) while the device is being
// switched ends the switch within a fraction of a second, wherever it is: in
// the broadcast of several seconds, or in the pause after a failed broadcast.
TEST(ForceBootModeAbort, EndsTheSwitchAtOnceAndSendsNoCommand) {
    for (const char* port : {"COM1", "COM7"}) {
        PtyPeer peer{"COM1"};
        Recorder rec;
        Context ctx{rec};
        ASSERT_EQ(SelectTarget(ctx, 11), 0);
        const int64_t start = NowMs();
        rec.onPump = [&] {
            if (NowMs() - start >= 300) ctx.ActiveFlasher->Abort = 1;
        };
        EXPECT_EQ(force_boot_mode(ctx, port), kBootModeStopped) << port;
        // Far below the broadcast's seconds and the 3000 ms pause after a failed one.
        EXPECT_LT(NowMs() - start, 300 + ScaledDeadlineMs(1000)) << port;
        EXPECT_EQ(rec.status, "Boot-mode switch aborted") << port;
        EXPECT_FALSE(rec.Has("status Init BSL Mode....")) << port;
        const Bytes sent = peer.Drain(100);
        EXPECT_LT(sent.size(), AutobaudTexts(130).size()) << port;
        EXPECT_EQ(std::find(sent.begin(), sent.end(), uint8_t{0x01}), sent.end()) << "no frame went out on " << port;
    }
}

}  // namespace
