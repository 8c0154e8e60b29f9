// XE167 board: the C166-family ROM bootstrap loader (zero byte, rate taken
// from it, identification byte 0xD5, a 32-byte first stage that finds the
// image length in bytes 2 and 3 and receives the rest) and a behavioural model
// of the loaded program. That program answers 0x00 at the bootstrap rate and
// then talks only at 57600 baud: erase, size, data acknowledged after every
// complete 128-byte block but the last, 0x00 after the last byte, 0x00 again
// when all is in flash, and the end byte 0x01.
#pragma once

#include <deque>
#include <string>

#include "loaders/loader_image.h"
#include "sim/board.h"

namespace qtx::sim {

class Xe167Program {
public:
    static constexpr uint32_t kBlockSize = 128;

    Xe167Program(FlashModel& flash, BoardIo& io, const BoardConfig& config)
        : flash_(flash), io_(io), config_(config) {}

    void Start();                  // announces itself with 0x00
    void Receive(uint8_t byte);
    std::optional<Clock::time_point> NextTimer() const;
    void OnTimer();
    void Reset();

private:
    enum class State { Stopped, Command, Size, Data, Erasing, Failed };

    void Command(uint8_t byte);
    void DataByte(uint8_t byte);
    void ProgramWord();
    void Report(uint32_t addr, uint16_t expected, uint16_t reread);

    FlashModel& flash_;
    BoardIo& io_;
    const BoardConfig& config_;
    State state_ = State::Stopped;
    uint32_t size_ = 0;
    uint32_t field_ = 0;
    int fieldCount_ = 0;
    uint32_t received_ = 0;        // data bytes of the current transfer
    uint32_t blockAcks_ = 0;
    uint8_t word_[2] = {0, 0};
    int wordFill_ = 0;
    Clock::time_point eraseDone_{};
    std::deque<uint8_t> pending_;
};

class Xe167Board : public Board {
public:
    static constexpr uint8_t kIdByte = 0xD5;
    static constexpr uint32_t kProgramBaud = 57600;
    static constexpr std::size_t kFlashSize = 768 * 1024;

    Xe167Board(const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return "xe167"; }
    uint32_t ListenBaud() const override { return baud_; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

private:
    enum class Rom { WaitZero, Image, Dead, Running };
    static constexpr std::size_t kFirstStage = 32;

    void ImageByte(uint8_t byte);

    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    Xe167Program program_;
    Rom rom_ = Rom::WaitZero;
    uint32_t baud_ = 0;
    std::size_t received_ = 0;
    std::size_t imageLength_ = 0;
    uint8_t lengthLow_ = 0;
    uint64_t ignored_ = 0;
};

// Factory for the board list.
std::unique_ptr<Board> MakeXe167Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
