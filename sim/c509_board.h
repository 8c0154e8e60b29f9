// C509 boards: the on-chip ROM loader (zero byte, identification byte, then
// blocks closed by an XOR checksum) and a behavioural model of the loaded
// flash program with its 16-bit size protocol.
#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/board.h"
#include "sim/content_crc.h"

namespace qtx::sim {

// Answers and block layout of the ROM loader.
namespace c509 {
constexpr uint8_t kId = 0x55;            // answer to the zero byte
constexpr uint8_t kAck = 0x55;           // block taken
constexpr uint8_t kChecksumError = 0xFE; // block dropped: its XOR does not match
constexpr uint8_t kMalformed = 0xFF;     // block dropped: type or content not understood
constexpr uint8_t kModeBlock = 0x00;     // 8 bytes: type, mode, address high, low, 3 parameters, XOR
constexpr uint8_t kDataBlock = 0x01;     // 15 bytes: type, 13 data bytes, XOR
constexpr uint8_t kLastBlock = 0x02;     // 15 bytes: type, count r, r data bytes, 12 - r zeros, XOR
constexpr std::size_t kModeBlockLength = 8;
constexpr std::size_t kDataBlockLength = 15;
constexpr std::size_t kFlashSize = 64 * 1024;
// The loaded image starts with a 32-byte header; its code follows.
constexpr uint16_t kCodeOffset = 0x20;

// Checksum byte of a block: XOR of every byte before it, type byte included.
uint8_t BlockChecksum(const uint8_t* data, std::size_t n);
}  // namespace c509

// The loaded program: 0x02 erase (answered 0x02), 0x04 program (16-bit size,
// optional echo, 0x03, data bytes, 0x04), a 9-byte report when a byte fails.
class C509Program {
public:
    // Without its echo the program must hold 0x03 back until the host has
    // waited out both echo bytes (1000 ms each), or the host would take 0x03
    // for a wrong echo.
    static constexpr auto kLateStart = std::chrono::milliseconds(2500);

    C509Program(FlashModel& flash, BoardIo& io, const BoardConfig& config)
        : flash_(flash), io_(io), config_(config) {}

    void Start();
    void Receive(uint8_t byte);
    std::optional<Clock::time_point> NextTimer() const;
    void OnTimer();
    void Reset();

private:
    enum class State { Stopped, Command, SizeLow, SizeHigh, Starting, Data, Erasing, Failed };

    void Command(uint8_t byte);
    void SizeComplete();
    void BeginData();
    void DataByte(uint8_t byte);
    void WorkThroughPending();

    FlashModel& flash_;
    BoardIo& io_;
    const BoardConfig& config_;
    ContentCrc crc_;               // over the data bytes received
    State state_ = State::Stopped;
    uint32_t size_ = 0;
    uint32_t addr_ = 0;
    Clock::time_point due_{};      // end of the erase, or when 0x03 goes out without echo
    std::deque<uint8_t> pending_;  // bytes that came while the program was busy
};

class C509Board : public Board {
public:
    C509Board(const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return "c509"; }
    uint32_t ListenBaud() const override { return baud_; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

private:
    enum class Rom { WaitZero, Blocks, Dead, Running };

    void Block();
    void ModeBlock();
    void StoreData(const uint8_t* data, std::size_t n, bool last);
    void Answer(uint8_t answer, const std::string& what);
    std::string BlockName() const;

    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    C509Program program_;
    Rom rom_ = Rom::WaitZero;
    uint32_t baud_ = 0;
    uint64_t ignored_ = 0;                 // non-zero bytes before the zero byte
    std::vector<uint8_t> block_;           // the block being received
    std::size_t blockLength_ = 0;
    uint64_t blocks_ = 0;                  // blocks received since the zero byte
    std::optional<uint16_t> loadAddress_;  // from the last mode-0 block
    std::vector<uint8_t> loaded_;          // stored from loadAddress_ on
    bool lastBlockSeen_ = false;
};

std::unique_ptr<Board> MakeC509Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
