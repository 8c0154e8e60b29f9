// C509 boards: the on-chip boot ROM (zero byte, identification byte, then
// blocks closed by an XOR checksum) and, once mode 1 starts what it loaded,
// that program on an MCS-51 core with the chip's XRAM, serial interface 0 and
// the board's external Am29F010 flash.
#pragma once

#include "serial/deadline.h"

#include <array>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/am29f010_flash.h"
#include "sim/board.h"
#include "sim/mcs51_cpu.h"
#include "sim/wall_tie.h"

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
// The board's flash as the host sees it: the lower 64 KiB of an Am29F010.
constexpr std::size_t kFlashSize = 64 * 1024;
// Board clock (the C509-L's highest rated oscillator frequency) and the
// chip's 6 oscillator periods per machine cycle (C509-L User's Manual
// 1997-10-01, 2.2 "CPU Timing").
constexpr uint64_t kClockHz = 16'000'000;
constexpr int kClocksPerCycle = 6;
// The ROM loader's serial format is 8N2 (10.1): 11 bits per character.
constexpr int kBitsPerChar = 11;
// On-chip XRAM, F400h-FFFFh (3.1, 10.1).
constexpr uint16_t kXramBase = 0xF400;

// Checksum byte of a block: XOR of every byte before it, type byte included.
uint8_t BlockChecksum(const uint8_t* data, std::size_t n);
}  // namespace c509

// The chip once the ROM has started a loaded program: the core, its XRAM,
// serial interface 0 and the flash, in emulated time (oscillator clocks).
class C509Chip : private Mcs51Bus {
public:
    C509Chip(const BoardConfig& config, BoardIo& io, std::array<uint8_t, 0x10000 - c509::kXramBase>& xram);

    void Start(uint16_t pc, uint32_t baud);
    // A byte from the line. The program runs until it waits for the next one,
    // but never past the moment the next byte could land: the host may be
    // sending back to back. It resumes when that byte comes, or at Resume().
    void Receive(uint8_t byte);
    // When the program, held at that moment, runs on without a next byte (the
    // host has stopped sending, so no byte can land there any more).
    // A paced chip is also held while its clock would pass the wall's.
    std::optional<Clock::time_point> ResumeAt() const;
    void Resume();
    // The host closed the port: logs what the run did and stops the core.
    void Stop();
    bool Running() const { return running_; }
    const Am29F010& Flash() const { return flash_; }
    uint64_t Clocks() const { return clocks_; }

private:
    uint8_t Code(uint16_t addr) override;
    uint8_t ReadX(uint16_t addr) override;
    void WriteX(uint16_t addr, uint8_t v) override;
    bool ReadSfr(uint8_t addr, uint8_t& v) override;
    bool WriteSfr(uint8_t addr, uint8_t v) override;

    void Run();
    void Events();
    void Poll(uint8_t value);
    void Misuse(const std::string& what);
    void Halt(const std::string& why);
    Am29F010::Ns Ns() const;
    uint32_t FlashAddress(uint16_t addr) const;

    const BoardConfig& config_;
    BoardIo& io_;
    std::array<uint8_t, 0x10000 - c509::kXramBase>& xram_;
    Mcs51 cpu_;
    Am29F010 flash_;
    bool running_ = false;
    uint64_t clocks_ = 0;
    uint64_t charClocks_ = 0;
    // Serial interface 0: bytes on their way in, with the clock they land at.
    std::deque<std::pair<uint64_t, uint8_t>> rx_;
    uint64_t lastLanding_ = 0;
    uint8_t rxBuffer_ = 0;
    std::optional<uint64_t> txDoneAt_;
    std::optional<uint64_t> horizon_;          // the earliest clock the next host byte can land at
    std::optional<Clock::time_point> resumeAt_;
    WallTie tie_;
    HostTimer hostTime_;
    // Instructions since the last byte came or the held program went on: a
    // wall hold does not start the count again.
    uint64_t steps_ = 0;
    int idlePolls_ = 0;               // the same status read in a row
    uint16_t pollPc_ = 0;
    uint8_t pollValue_ = 0;
    std::vector<std::string> misuses_;
    uint64_t lost_ = 0;
};

// Watches the loader protocol on the wire for the log, and injects the
// C509 echo faults into the program's answers (as a loader variant without
// the optional echo, or with a wrong one, would send them).
class C509Wire {
public:
    static constexpr auto kLateStart = std::chrono::milliseconds(2500);
    // Past the host's two echo waits, which a test rig may stretch by its deadline factor.
    static std::chrono::milliseconds LateStart() {
        return std::chrono::milliseconds(ScaledDeadlineMs(static_cast<int>(kLateStart.count())));
    }

    C509Wire(const BoardConfig& config, BoardIo& io) : config_(config), io_(io) {}
    void FromHost(uint8_t byte);
    void FromProgram(uint8_t byte);
    std::optional<Clock::time_point> NextTimer() const;
    void OnTimer();
    void Reset();

private:
    enum class Host { Command, SizeLow, SizeHigh, Data };
    void Out(uint8_t byte);

    const BoardConfig& config_;
    BoardIo& io_;
    Host host_ = Host::Command;
    uint32_t size_ = 0;
    uint32_t left_ = 0;
    int echoLeft_ = 0;            // answer bytes still due for the size echo and 0x03
    std::vector<uint8_t> echo_;
    bool dataDone_ = false;       // all data received: the next 0x04 is the final answer
    bool eraseDue_ = false;       // the next answer is the erase answer
    std::deque<uint8_t> held_;    // answers held back by the no-echo fault
    std::optional<Clock::time_point> release_;
};

class C509Board : public Board, private BoardIo {
public:
    C509Board(const BoardConfig& config, BoardIo& io);
    ~C509Board() override { chip_.Stop(); }

    std::string Name() const override { return "c509"; }
    uint32_t ListenBaud() const override { return baud_; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return chip_.Flash().Cells(); }

private:
    enum class Rom { WaitZero, Blocks, Running };

    // BoardIo for the chip: its answers pass the wire watch first.
    void Send(const uint8_t* data, std::size_t n) override;
    void Log(const std::string& line) override { io_.Log(line); }
    Clock::time_point Now() const override { return io_.Now(); }

    void Block();
    void ModeBlock();
    void StoreData(const uint8_t* data, std::size_t n, bool last);
    void Answer(uint8_t answer, const std::string& what);
    std::string BlockName() const;

    BoardConfig config_;
    BoardIo& io_;
    std::array<uint8_t, 0x10000 - c509::kXramBase> xram_{};
    C509Chip chip_;
    C509Wire wire_;
    Rom rom_ = Rom::WaitZero;
    uint32_t baud_ = 0;
    uint64_t ignored_ = 0;                 // non-zero bytes before the zero byte
    std::vector<uint8_t> block_;           // the block being received
    std::size_t blockLength_ = 0;
    uint64_t blocks_ = 0;                  // blocks received since the zero byte
    std::optional<uint16_t> loadAddress_;  // from the last mode-0 block
    uint32_t loaded_ = 0;                  // bytes stored from loadAddress_ on
    bool lastBlockSeen_ = false;
};

std::unique_ptr<Board> MakeC509Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
