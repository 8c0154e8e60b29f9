// GP4020 board: the boot ROM's UART1 download, then the downloaded program
// on an emulated ARM7TDMI with UART1, the memory controller, the chip-select
// switch and the board's 16-bit CFI NOR flash (an Am29LV400BB on NSCS[0])
// modelled.
//
// The ROM model follows the GP4020 Design Manual (Zarlink DM5280), section 4
// "Boot ROM" and 4.2 "UART Download Data Protocol", and the three-byte length
// of the gpl-gps-project's download tool (examples/gp4020_echo/size-enc.c).
// Corrections to the earlier model of this board:
//  - the length is three bytes, most significant first; what the host sends
//    as "zero byte, 16-bit length" is that length with a zero top byte. The
//    ROM does not wait for a zero byte: any first byte is the length's top;
//  - the protocol has no error checking: the ROM starts whatever it received,
//    our image or not (the earlier model only ever ran the exact image);
//  - UART1 runs at 20 MHz / (16 x 22) = 56.8 kbaud, 1.3 % below the nominal
//    57600 the host uses, within what a UART tolerates; the line is judged
//    at 57600, the loader's answers take 56.8-kbaud character times;
//  - after the download the ROM swaps the memory spaces (internal RAM at 0,
//    the NCS[0] space at 0x60000000) and starts the image at address 0.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sim/arm_program.h"
#include "sim/board.h"
#include "sim/cfi_nor16.h"

namespace qtx::sim {

class Gp4020Board : public Board {
public:
    static constexpr uint32_t kRomBaud = 57600;            // as the host sends; the chip's 56.8k is close enough
    static constexpr uint32_t kUartHz = 20'000'000;        // DM5280 4.2
    static constexpr uint32_t kRomBaudDivisor = 21;        // 16 x baud = 20 MHz / (21 + 1) = 0.90909 MHz
    static constexpr uint32_t kCpuHz = 20'000'000;         // see Start()
    static constexpr uint32_t kRamBytes = 0x1000;          // the part of the internal RAM the loader may use
    static constexpr uint32_t kUart1 = 0xE0018000;
    static constexpr uint32_t kMpc = 0xE0008000;
    static constexpr uint32_t kIoRev = 0x40101000;         // UNCONFIRMED, as firmware/arm7/gp4020.h
    static constexpr uint32_t kNcs0 = 0x60000000;

    Gp4020Board(const BoardConfig& config, BoardIo& io);
    ~Gp4020Board() override;

    std::string Name() const override { return "gp4020"; }
    uint32_t ListenBaud() const override { return kRomBaud; }
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
    void Silence(const std::string& why);

    BoardConfig config_;
    BoardIo& io_;
    CfiNor16 flash_;
    std::vector<uint8_t> ram_;
    std::unique_ptr<ArmProgram> program_;
    Rom rom_ = Rom::Length;
    int lengthBytes_ = 0;
    uint32_t length_ = 0;
    uint32_t received_ = 0;
};

std::unique_ptr<Board> MakeGp4020Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
