// GP4020 board: the boot ROM's UART1 download, then the downloaded program
// on an emulated ARM7TDMI with UART1, the memory controller's area registers,
// IO_REV and the board's 16-bit CFI NOR flash (an Am29LV400BB on NSCS[0])
// modelled from the GP4020 Design Manual (Zarlink DM5280) and the Firefly MF1
// Core Design Manual (Zarlink DM5003).
//
// The ROM model follows DM5280 4.1 and 4.2: a three-byte length, most
// significant first (the host's "zero byte, 16-bit length" is that length
// with a zero top byte; any first byte is the length's top), then the bytes
// into the internal RAM with no error checking, then the memory swap
// (internal RAM at 0, the NCS[0] space at 0x60000000) and a start at 0.
// UART1 runs at 20 MHz / (16 x 22) = 56.8 kbaud, 1.4 % below the nominal
// 57600 the host uses (DM5280 Table 17.1): the line is judged at 57600, the
// program's answers take 56.8-kbaud character times.
//
// What the program finds, and what a real chip would punish (sim/gp4020_board.cpp
// cites the tables):
//  - the memory controller's area registers at their reset values, Area 1
//    (NCS[0]) and Area 3 (PCL, IO_REV) read-only; a write into a read-only
//    area, and any access to the registers that is not 32 bits wide, is a
//    data abort: reported as misuse, not done, and the program stops;
//  - 0x60000000 shows the boot ROM until EXT_NCS0 (IO_REV bit 9) is set;
//  - UART1 as the ROM leaves it: receiving at 56.8 kbaud, the transmitter
//    off (its reset value; the ROM never sends); any access that is not
//    8 bits wide is a data abort. A divider the program sets runs the line
//    at its rate and holds the host to it within 1.5 % (RatesMatch); one
//    set while a character is sent is misuse. The loader's sync wait counts
//    polls, and an idle poll loop waits for input without running (ArmCpu),
//    so here that wait ends with the next byte rather than after its count.
#pragma once

#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/arm_program.h"
#include "sim/board.h"
#include "sim/cfi_nor16.h"

namespace qtx::sim {

class Gp4020Uart;

class Gp4020Board : public Board {
public:
    static constexpr uint32_t kRomBaud = 57600;            // as the host sends; the chip's 56.8k is close enough
    static constexpr uint32_t kUartHz = 20'000'000;        // BuILD_CLK, DM5280 4.2 and 17.2
    static constexpr uint32_t kRomBaudDivisor = 21;        // 16 x baud = 20 MHz / (21 + 1) = 0.90909 MHz
    static constexpr uint32_t kCpuHz = 20'000'000;         // see Start()
    static constexpr uint32_t kRamBytes = 0x1000;          // the part of the internal RAM the loader may use
    static constexpr uint32_t kUart1 = 0xE0018000;
    static constexpr uint32_t kMpc = 0xE0008000;
    static constexpr uint32_t kIoRev = 0x4010100C;         // PCL base + 0x00C, DM5280 12.7 and Table 12.4
    static constexpr uint32_t kNcs0 = 0x60000000;

    Gp4020Board(const BoardConfig& config, BoardIo& io);
    ~Gp4020Board() override;

    std::string Name() const override { return "gp4020"; }
    uint32_t ListenBaud() const override;
    bool ChecksHostRate() const override;
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_.Content(); }

    // The running program, if any (tests look at its CPU).
    ArmProgram* Program() { return program_.get(); }

private:
    enum class Rom { Length, Image, Running, Silent };

    void Start();
    // BuILD_CLK, which clocks the core and UART1 (DM5280 14.1); the no-fast
    // fault runs it 3 % fast, a reference off its frequency.
    uint32_t ClockHz() const { return config_.fastClock ? kUartHz / 100 * 103 : kUartHz; }
    void Silence(const std::string& why);

    BoardConfig config_;
    BoardIo& io_;
    CfiNor16 flash_;
    std::vector<uint8_t> ram_;
    std::unique_ptr<ArmProgram> program_;
    Gp4020Uart* uart_ = nullptr;   // the running program's UART1
    Rom rom_ = Rom::Length;
    int lengthBytes_ = 0;
    uint32_t length_ = 0;
    uint32_t received_ = 0;
};

std::unique_ptr<Board> MakeGp4020Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
