// A board model fed byte by byte on a fake clock: the tests play the host and
// see every byte the board sends, at the rate it sent it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/boards.h"

namespace qtx::sim {

class ByteFedIo : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override {
        for (std::size_t i = 0; i < n; ++i) {
            sent.push_back(data[i]);
            sentBaud.push_back(board ? board->ListenBaud() : 0);
        }
    }
    void Log(const std::string& line) override { log += line + "\n"; }
    Clock::time_point Now() const override { return now; }
    std::vector<uint8_t> Take() {
        sentBaud.clear();
        return std::exchange(sent, {});
    }
    std::string TakeText() {
        const std::vector<uint8_t> b = Take();
        return std::string(b.begin(), b.end());
    }

    const Board* board = nullptr;
    std::vector<uint8_t> sent;
    std::vector<uint32_t> sentBaud;   // the board's rate when it sent each byte
    std::string log;
    Clock::time_point now{};
};

// Not in an anonymous namespace: the suites of several files share it.
class ByteFedBoard : public ::testing::Test {
protected:
    void Make(const std::string& name) {
        const BoardKind* kind = FindBoard(name);
        ASSERT_NE(kind, nullptr) << name;
        board = kind->make(config, io);
        io.board = board.get();
    }
    void Feed(const std::vector<uint8_t>& bytes, uint32_t baud = 57600) {
        for (uint8_t b : bytes) board->Receive(b, baud);
    }
    void FeedText(const std::string& text) { Feed(std::vector<uint8_t>(text.begin(), text.end())); }
    void RunTimers() {
        while (auto t = board->NextTimer()) {
            io.now = *t;
            board->OnTimer();
        }
    }

    BoardConfig config;
    ByteFedIo io;
    std::unique_ptr<Board> board;
};

inline std::vector<uint8_t> Image(const LoaderImage& image) {
    return std::vector<uint8_t>(image.data, image.data + image.size);
}

}  // namespace qtx::sim
