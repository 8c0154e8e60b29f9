// SAM3U and SAM3S boards: the ROM monitor on the UART (fixed 115200 baud,
// text commands ending in '#', terminal mode with line ends and a '>' prompt
// until "N#" asks for the plain mode), an SRAM into which "W" writes, and
// behind "G" whatever the host wrote there, run on an emulated Cortex-M3 with
// the UART and the flash controllers (EEFC) modelled.
//
// Flash model layout: offset 0 is the first plane's address. SAM3U4: planes
// at 0x80000 and 0x100000, the second kept at offset 0x80000, where a two-bank
// firmware file carries it (the gap between them is not flash and stays
// 0xFF). SAM3S4: one 256 KiB plane at 0x400000.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/arm_program.h"
#include "sim/board.h"

namespace qtx::sim {

struct Sam3Plane {
    uint32_t base;         // address
    uint32_t size;         // bytes
    uint32_t efc;          // its EEFC's registers
    uint32_t modelOffset;  // where the flash model keeps it
};

struct Sam3Traits {
    const char* name;               // board name on the command line
    const LoaderImage* preloader;   // our image, for the log
    uint32_t sramSize;              // bytes of SRAM at 0x20000000
    uint32_t flashBase;             // address of flash model offset 0
    uint32_t flashModelSize;
    Sam3Plane planes[2];
    int nplanes;
    uint32_t mckHz;                 // master clock the monitor leaves
    const char* version;            // the monitor's version text
};

extern const Sam3Traits kSam3uTraits;
extern const Sam3Traits kSam3sTraits;

std::unique_ptr<Board> MakeSam3uBoard(const BoardConfig& config, BoardIo& io);
std::unique_ptr<Board> MakeSam3sBoard(const BoardConfig& config, BoardIo& io);

class Sam3Board : public Board {
public:
    // What runs on the chip. Power-up and every reset start the monitor.
    enum class Mode { Monitor, Program, Halted };
    static constexpr uint32_t kSramBase = 0x20000000;
    static constexpr uint32_t kUart = 0x400E0600;   // sam3u4e.h UART, sam3s4c.h UART0
    static constexpr uint32_t kBaud = 115200;

    Sam3Board(const Sam3Traits& traits, const BoardConfig& config, BoardIo& io);
    ~Sam3Board() override;

    std::string Name() const override { return traits_.name; }
    // A program may set another divider than the monitor's.
    uint32_t ListenBaud() const override { return uart_ && uart_->Line().Checking() ? uart_->Rate() : kBaud; }
    bool ChecksHostRate() const override { return uart_ && uart_->Line().Checking(); }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

    // Starts the ROM monitor as after power-up: terminal mode, SRAM content undefined.
    void EnterMonitor();
    Mode CurrentMode() const;
    // The running program, if any (tests look at its CPU).
    ArmProgram* Program() { return program_.get(); }

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
    std::set<uint32_t> StuckCells() const;
    uint32_t MckHz() const { return config_.fastClock ? traits_.mckHz / 100 * 103 : traits_.mckHz; }

    Sam3Traits traits_;
    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    std::vector<uint8_t> sram_;
    std::unique_ptr<ArmProgram> program_;
    Sam3Uart* uart_ = nullptr;     // the running program's, owned by it
    Mode mode_ = Mode::Monitor;
    bool terminal_ = true;
    uint8_t command_ = 0;
    uint32_t number_ = 0;
    uint32_t address_ = 0;         // the field before ','
    uint64_t writes_ = 0;          // "W" commands since the monitor started
    uint64_t ignored_ = 0;         // stores outside SRAM
};

}  // namespace qtx::sim
