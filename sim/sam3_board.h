// SAM3U and SAM3S boards: the ROM monitor on the UART (fixed 115200 baud,
// text commands ending in '#', terminal mode with line ends and a '>' prompt
// until "N#" asks for the plain mode), an SRAM into which "W" writes, and
// behind "G" a behavioural model of our preloader: size, data acknowledged
// every 256 bytes, each page erased and written as it completes, one or two
// flash banks.
//
// Flash model layout: offset 0 is the address of bank 1; bank 2 (SAM3U) sits
// 0x80000 further, exactly where a two-bank firmware file carries it. The
// space between the banks is not flash and stays 0xFF.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/board.h"
#include "sim/content_crc.h"

namespace qtx::sim {

struct Sam3Traits {
    const char* name;               // board name on the command line
    const LoaderImage* preloader;   // the only program "G" can start
    uint32_t sramSize;              // bytes of SRAM at 0x20000000
    uint32_t flashBase;             // address of bank 1
    uint32_t bankSize;              // bytes per bank
    bool twoBanks;                  // bank 2 at flashBase + 0x80000
    const char* version;            // the monitor's version text
};

extern const Sam3Traits kSam3uTraits;
extern const Sam3Traits kSam3sTraits;

std::unique_ptr<Board> MakeSam3uBoard(const BoardConfig& config, BoardIo& io);
std::unique_ptr<Board> MakeSam3sBoard(const BoardConfig& config, BoardIo& io);

// The preloader as the board runs it. verify-error addresses may be given as
// flash addresses or as offsets into the flash model.
class Sam3Preloader {
public:
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kBank2Offset = 0x80000;

    Sam3Preloader(const Sam3Traits& traits, FlashModel& flash, BoardIo& io, const BoardConfig& config)
        : traits_(traits), flash_(flash), io_(io), config_(config) {}

    void Start();                  // runs and says so with 0x00
    void Stop();
    void Receive(uint8_t byte);
    // Data bytes the preloader can take: one bank, or two.
    uint32_t Capacity() const;
    // Flash model offset of data byte index.
    uint32_t FlashOffset(uint32_t index) const;

private:
    enum class State { Stopped, Command, Size, Data, Failed };

    void Command(uint8_t byte);
    void DataByte(uint8_t byte);
    // Erases the page of the buffered bytes, writes and verifies them; false
    // (report sent) on a verify failure.
    bool WritePage();
    bool Faulty(uint32_t offset) const;

    const Sam3Traits& traits_;
    FlashModel& flash_;
    BoardIo& io_;
    const BoardConfig& config_;
    ContentCrc crc_;               // over the data bytes received
    State state_ = State::Stopped;
    uint32_t count_ = 0;           // data bytes announced
    uint32_t field_ = 0;
    int fieldCount_ = 0;
    uint32_t received_ = 0;        // data bytes so far
    uint32_t pageStart_ = 0;       // data index of the first buffered byte
    std::vector<uint8_t> page_;
};

class Sam3Board : public Board {
public:
    // What runs on the chip. Power-up and every reset start the monitor.
    enum class Mode { Monitor, Preloader, Halted };
    static constexpr uint32_t kSramBase = 0x20000000;
    static constexpr uint32_t kBaud = 115200;

    Sam3Board(const Sam3Traits& traits, const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return traits_.name; }
    uint32_t ListenBaud() const override { return kBaud; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

    // Starts the ROM monitor as after power-up: terminal mode, SRAM content undefined.
    void EnterMonitor();
    Mode CurrentMode() const { return mode_; }

private:
    void MonitorByte(uint8_t byte);
    void Execute();
    void Go(uint32_t address);
    void Halt(const std::string& why);
    bool InSram(uint32_t address, uint32_t n) const;
    bool InFlash(uint32_t address, uint32_t n) const;
    uint8_t ReadByte(uint32_t address) const;
    void Store(uint32_t address, uint32_t value, int bytes);
    std::string Read(uint32_t address, int bytes) const;

    Sam3Traits traits_;
    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    std::vector<uint8_t> sram_;
    Sam3Preloader preloader_;
    Mode mode_ = Mode::Monitor;
    bool terminal_ = true;
    uint8_t command_ = 0;
    uint32_t number_ = 0;
    uint32_t address_ = 0;         // the field before ','
    uint64_t writes_ = 0;          // "W" commands since the monitor started
    uint64_t ignored_ = 0;         // stores outside SRAM
};

}  // namespace qtx::sim
