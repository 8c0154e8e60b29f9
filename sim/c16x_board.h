// C166-family boards: the on-chip bootstrap loader (zero byte, identification
// byte, 32-byte first stage, rest of the image) and a behavioural model of the
// loaded flash program and its single-byte command protocol.
#pragma once

#include <deque>
#include <memory>
#include <string>

#include "loaders/loader_image.h"
#include "sim/board.h"
#include "sim/content_crc.h"

namespace qtx::sim {

struct C16xTraits {
    const char* name;               // board name on the command line
    uint8_t idByte;                 // what the ROM answers to the zero byte
    const LoaderImage* loader;      // the only image on which the loaded program runs
    std::size_t flashSize;          // bytes
    // 0: the ROM loader measures the host's rate on the zero byte. Otherwise the
    // only rate it hears: bytes at another rate arrive garbled.
    uint32_t romBaud = 0;
    // 0: the loaded program keeps the ROM's rate. Otherwise it announces itself
    // at the ROM's rate and then talks only at this one.
    uint32_t programBaud = 0;
    // The image's length word holds the offset of its last byte within its
    // 64 KiB page instead of the length (the image starts at loader->loadAddress).
    bool lengthIsPageOffset = false;
    // The loaded program writes in 128-byte blocks and acknowledges each.
    bool blockAcks = false;
};

// XE167: ROM loader measuring the rate, 2074-byte loader whose length word is
// the length, loaded program at 57600 with block acknowledges; 768 KiB flash.
extern const C16xTraits kXE167Board;

// C166/167 (identification byte 0x55), C163 (0xD5, control bytes switch the
// flash's write enable) and XC164/167 (0xD5, on-chip flash): the real loaders
// on the C166 core.
std::unique_ptr<Board> MakeC167Board(const BoardConfig& config, BoardIo& io);
std::unique_ptr<Board> MakeC163Board(const BoardConfig& config, BoardIo& io);
std::unique_ptr<Board> MakeXC164Board(const BoardConfig& config, BoardIo& io);
std::unique_ptr<Board> MakeXE167Board(const BoardConfig& config, BoardIo& io);

// The loaded program: erase, size, data, finish, name and control commands,
// all answered with single bytes; a 9-byte report when a word fails to program.
class C166Program {
public:
    C166Program(FlashModel& flash, BoardIo& io, const BoardConfig& config, bool blockAcks = false)
        : flash_(flash), io_(io), config_(config), blockAcks_(blockAcks) {}

    static constexpr uint32_t kBlockSize = 128;   // with block acknowledges

    void Start();                  // the program runs and announces itself with 0x00
    void Receive(uint8_t byte);
    std::optional<Clock::time_point> NextTimer() const;
    void OnTimer();
    void Reset();

private:
    enum class State { Stopped, Command, Size, Data, Name, Erasing, Failed };

    void Command(uint8_t byte);
    void DataByte(uint8_t byte);
    void ProgramWord();
    void Report(uint32_t addr, uint16_t expected, uint16_t reread);

    FlashModel& flash_;
    BoardIo& io_;
    const BoardConfig& config_;
    bool blockAcks_;
    ContentCrc crc_;               // over the data bytes received
    State state_ = State::Stopped;
    uint32_t size_ = 0;            // byte count the next data command takes
    uint32_t field_ = 0;           // size or name bytes collected so far
    int fieldCount_ = 0;
    std::string name_;
    uint32_t addr_ = 0;            // next flash address of the data transfer
    uint32_t remaining_ = 0;
    uint8_t word_[2] = {0, 0};
    int wordFill_ = 0;
    Clock::time_point eraseDone_{};
    std::deque<uint8_t> pending_;  // bytes that arrived while the flash was being erased
};

class C16xBoard : public Board {
public:
    C16xBoard(const C16xTraits& traits, const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return traits_.name; }
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
    // Bytes the first stage receives in all, from the image's length word.
    std::size_t ImageLength(std::size_t word) const;

    C16xTraits traits_;
    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    C166Program program_;
    Rom rom_ = Rom::WaitZero;
    uint32_t baud_ = 0;
    std::size_t received_ = 0;     // image bytes so far
    std::size_t imageLength_ = 0;  // from the image's length word, once received
    uint8_t lengthLow_ = 0;
    uint64_t ignored_ = 0;         // non-zero bytes before the zero byte
};

}  // namespace qtx::sim
