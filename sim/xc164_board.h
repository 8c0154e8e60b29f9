// XC164/167 board: the common C166S V2 board (sim/xc16x_board.h) with the ROM
// bootstrap loader at a fixed 19200 baud, the 32 bytes at E0'0004h, ASC0, and
// one 256 KiB flash module, as firmware/c166/xc16x.inc states them. A byte not
// read from S0RBUF before the next lands is lost with S0OE set.
#pragma once

#include "sim/xc16x_board.h"

namespace qtx::sim {

std::unique_ptr<Board> MakeXc164EmuBoard(const BoardConfig& config, BoardIo& io);

class Xc164Board : public Xc16xBoard {
public:
    Xc164Board(const BoardConfig& config, BoardIo& io);

    static constexpr uint32_t kClockHz = 20'000'000;
    static constexpr uint32_t kRomBaud = 19200;

private:
    uint32_t LineBaud() const override;
    void RomSetUp(uint32_t hostBaud) override;
    void RomHandOver() override;
    void Land(uint8_t byte) override;
    void SentOne() override;
    bool UnitRead(uint32_t addr, bool sfr, uint16_t& value) override;
    bool UnitWrite(uint32_t addr, bool sfr, uint16_t value, bool byte) override;
    void UnitReset() override;

    std::map<uint16_t, uint16_t> asc_;   // ASC0's SFRs by address
    uint16_t rbuf_ = 0;
    bool rbufUnread_ = false;
    bool tbufFull_ = false;
    uint8_t tbuf_ = 0;
};

}  // namespace qtx::sim
