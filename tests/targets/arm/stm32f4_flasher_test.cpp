// The STM32F4 flasher against a scripted ROM boot loader and preloader, and
// the line settings its port record asks for.
#include <asm/termbits.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <string>

#include "engine/catalogue.h"
#include "engine/target_table.h"
#include "loaders/loader_image.h"
#include "pty_peer.h"
#include "recorder.h"
#include "serial/comport.h"
#include "sim_board.h"
#include "engine/target_table.h"
#include "targets/flash_stm32f4.h"

using namespace qtx;
using namespace qtx::test;
using Bytes = std::vector<uint8_t>;

namespace {

// True when this process has a descriptor open on path.
bool OpenInProcess(const std::string& path) {
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path(), ec) == path) return true;
    }
    return false;
}

struct Block {
    Bytes address;  // the 5 address bytes
    Bytes data;
};

class Stm32Flasher : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SelectTarget(ctx, 11), 0);
        ASSERT_EQ(OpenTargetPort(ctx), 0) << ctx.lastPortError;
        ctx.FlashFilePath = File(PatternBytes(1001, 3));
    }
    void TearDown() override { DestroyActivePort(ctx); }
    X_Flash& F() { return *ctx.ActiveFlasher; }
    std::string File(const Bytes& data, const std::string& name = "fw.bin") {
        const std::string path = peer.Dir() + "/" + name;
        WriteFileBytes(path, data);
        return path;
    }
    // Answers one step: ACK, or NACK when this is step nackAt. False after a NACK.
    bool Answer(int nackAt) {
        const bool nack = step++ == nackAt;
        peer.Send({nack ? uint8_t(0x1F) : uint8_t(0x79)});
        return !nack;
    }
    // Plays the ROM from Write Memory to Go, then the preloader's size answer.
    // Checks every checksum; stops after a NACK at step nackAt.
    std::vector<Block> PlayRom(int nackAt = -1) {
        std::vector<Block> blocks;
        for (;;) {
            const Bytes cmd = peer.Receive(2);
            if (cmd != Bytes{0x31, 0xCE}) {
                EXPECT_EQ(cmd, (Bytes{0x21, 0xDE}));
                if (!Answer(nackAt)) return blocks;
                EXPECT_EQ(peer.Receive(5), (Bytes{0x20, 0x01, 0xD0, 0x00, 0xF1}));
                if (!Answer(nackAt)) return blocks;
                const Bytes size = peer.Receive(5);
                EXPECT_EQ(size, (Bytes{0x22, 0xE9, 0x03, 0x00, 0x00})) << "1001 bytes, not made even";
                peer.Send({0x00});
                return blocks;
            }
            if (!Answer(nackAt)) return blocks;
            Block b;
            b.address = peer.Receive(5);
            EXPECT_EQ(b.address.size(), 5u);
            EXPECT_EQ(b.address[4], b.address[0] ^ b.address[1] ^ b.address[2] ^ b.address[3]);
            if (!Answer(nackAt)) return blocks;
            const Bytes n = peer.Receive(1);
            b.data = peer.Receive(std::size_t(n.at(0)) + 1);
            uint8_t x = n[0];
            for (uint8_t d : b.data) x ^= d;
            EXPECT_EQ(peer.Receive(1), Bytes{x}) << "block checksum";
            blocks.push_back(b);
            if (!Answer(nackAt)) return blocks;
        }
    }

    PtyPeer peer;
    Recorder rec;
    Context ctx{rec};
    int step = 0;
};

TEST(Stm32LineSettings, TheRecordPutsEvenParityOnTheLine) {
    Recorder rec;
    Context ctx{rec};
    const struct {
        int32_t code;
        uint32_t parity;
    } cases[] = {{11, PARENB}, {9, 0}, {10, 0}};
    for (const auto& c : cases) {
        ctx.setup.SetDeviceCode(c.code);
        LineSettings s;
        ASSERT_TRUE(BuildLineSettings(*ctx.SelectedPortRecord(), CS7 | PARODD | CSTOPB, 0, 0, 0, s, nullptr));
        EXPECT_EQ(s.cflag & (CSIZE | PARENB | PARODD | CSTOPB | CBAUD), CS8 | c.parity | B115200) << c.code;
        EXPECT_EQ(s.iflag & INPCK, c.parity ? uint32_t(INPCK) : 0u) << c.code;
        EXPECT_EQ(s.BitsPerChar, c.parity ? 11u : 10u);
    }
}

TEST_F(Stm32Flasher, SendLoaderWritesTheImageInBlocksThenAnnouncesTheSize) {
    rec.recordProgress = true;
    auto run = std::async(std::launch::async, [&] { return F().SendLoader(); });
    const std::vector<Block> blocks = PlayRom();
    EXPECT_EQ(run.get(), 0) << rec.status;
    ASSERT_EQ(blocks.size(), 28u);
    EXPECT_EQ(blocks[0].address, (Bytes{0x20, 0x01, 0xD0, 0x00, 0xF1}));
    EXPECT_EQ(blocks[1].address, (Bytes{0x20, 0x01, 0xD1, 0x00, 0xF0}));
    EXPECT_EQ(blocks[27].address, (Bytes{0x20, 0x01, 0xEB, 0x00, 0xCA}));
    Bytes image;
    for (const Block& b : blocks) image.insert(image.end(), b.data.begin(), b.data.end());
    EXPECT_EQ(blocks[27].data.size(), 180u);
    EXPECT_EQ(image, Bytes(kLoaderStm32f4.data, kLoaderStm32f4.data + kLoaderStm32f4.size));
    EXPECT_EQ(F().EraseCommand, 0x62);
    EXPECT_EQ(rec.status, " Preloader running...");
    // The gauge appears before the second block at 6 and reaches 100 before the final one.
    ASSERT_GE(rec.progressValues.size(), 27u);
    EXPECT_EQ(rec.progressValues.front(), 6);
    EXPECT_EQ(rec.progressValues[26], 100);
    EXPECT_EQ(*std::max_element(rec.progressValues.begin(), rec.progressValues.end()), 100);

    // The file changes after its size went out: Program refuses it and sends nothing.
    File(PatternBytes(1003, 3));
    EXPECT_THROW(F().Program(ctx.FlashFilePath), X_Flash::ProgramException);
    EXPECT_NE(rec.status.find("1001 bytes announced, 1003 now"), std::string::npos) << rec.status;
    EXPECT_TRUE(peer.Drain(50).empty());
    EXPECT_FALSE(OpenInProcess(ctx.FlashFilePath));
}

TEST_F(Stm32Flasher, ANackAtAnyStepNamesTheAckWaitAndBothBytes) {
    // Steps: 0 command, 1 address, 2 data of the first block, ... 84 Go, 85 Go address.
    for (int nackAt : {0, 1, 2, 5, 84, 85}) {
        SCOPED_TRACE(nackAt);
        step = 0;
        auto run = std::async(std::launch::async, [&] { return F().SendBootstrap(); });
        ASSERT_EQ(peer.Receive(1), Bytes{0x7F});
        peer.Send({0x79});
        PlayRom(nackAt);
        EXPECT_EQ(run.get(), -1);
        EXPECT_EQ(rec.status, "\nError waiting for ACK\nReceived byte: 1Fh Expected: 79h\n");
        EXPECT_EQ(rec.Caption(Panel::Bsl), "CHAR ERR");
        peer.Drain(50);
    }
}

TEST_F(Stm32Flasher, TheFinalBlockIsNeverEmpty) {
    const struct {
        std::size_t length;
        std::vector<std::size_t> blocks;
    } cases[] = {{100, {100}}, {256, {256}}, {512, {256, 256}}, {700, {256, 256, 188}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const Bytes data = PatternBytes(c.length, 11);
        // The target with another preloader image, for lengths the real one does not have.
        TargetRow target = *FindTargetByCode(11);
        const LoaderImage image{"test", data.data(), data.size(), target.loader->loadAddress, "test"};
        target.loader = &image;
        Flash_stm32f4 flasher(ctx, target);
        step = 0;
        auto run = std::async(std::launch::async, [&] { return flasher.SendLoader(); });
        const std::vector<Block> blocks = PlayRom();
        EXPECT_EQ(run.get(), 0) << rec.status;
        std::vector<std::size_t> sizes;
        Bytes sent;
        for (const Block& b : blocks) {
            sizes.push_back(b.data.size());
            sent.insert(sent.end(), b.data.begin(), b.data.end());
        }
        EXPECT_EQ(sizes, c.blocks);
        EXPECT_EQ(sent, data);
    }
}

TEST_F(Stm32Flasher, ProgramSendsPairsAndClosesTheFileOnEveryWayOut) {
    const Bytes fw = PatternBytes(1001, 8);
    const std::string path = File(fw);
    for (bool answer : {true, false}) {
        auto run = std::async(std::launch::async, [&] { return F().Program(path); });
        const Bytes data = peer.Receive(1 + 1002);
        ASSERT_EQ(data.size(), 1003u);
        EXPECT_EQ(data[0], 0x42);
        EXPECT_TRUE(std::equal(fw.begin(), fw.end(), data.begin() + 1));
        EXPECT_EQ(data.back(), 0x00) << "the odd last byte travels with 0x00";
        if (answer) {
            peer.Send({0x00, 0x00});
            EXPECT_EQ(peer.Receive(1), Bytes{0x43});
            peer.Send(ContentAnswer(Bytes(data.begin() + 1, data.end())));
            EXPECT_EQ(peer.Receive(1), Bytes{0x01});
            EXPECT_EQ(run.get(), 0) << rec.status;
        } else {
            EXPECT_THROW(run.get(), X_Flash::TimeoutException);
            EXPECT_EQ(rec.status, "Timeout waiting after last flash block has been sent.");
        }
        EXPECT_FALSE(OpenInProcess(path));
    }
}

TEST_F(Stm32Flasher, NoVerifyReportIsPolledAfterTheLastPair) {
    // A 0x00 placed in the receive queue right after the first pair: a report
    // poll takes it for the start of a report, the final wait for the answer.
    const struct {
        std::size_t size;
        const char* outcome;
    } cases[] = {{2, "content check"}, {4, "Timeout reading verify result."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const std::string path = File(PatternBytes(c.size, 2));
        bool planted = false;
        rec.progressValues.clear();
        rec.onPump = [&] {
            if (planted || rec.progressValues.empty()) return;
            planted = true;
            peer.Send({0x00});
            ctx.ActivePort->WaitReadable(2000);
        };
        auto run = std::async(std::launch::async, [&]() -> std::string {
            try {
                F().Program(path);
                return "done";
            } catch (const X_Flash::TimeoutException&) {
                return rec.status;
            } catch (const X_Flash::ProgramException&) {
                // Both answers were taken: the run reached the content check,
                // which this peer leaves unanswered.
                return rec.status.find("content check") != std::string::npos ? "content check" : rec.status;
            }
        });
        EXPECT_EQ(peer.Receive(3).size(), 3u) << "0x42 and the first pair";
        peer.Send({0x00});
        EXPECT_EQ(run.get(), c.outcome);
        peer.Drain(50);
        rec.onPump = nullptr;
    }
}

}  // namespace
