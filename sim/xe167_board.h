// XE167 board: the common C166S V2 board (sim/xc16x_board.h) with the UART
// bootstrap loader measuring the host's rate on the zero byte, the 32 bytes at
// E0'0000h, the USIC channel U0C0 in ASC mode, and 768 KiB of flash in three
// modules, as firmware/c166/xe167.inc states them.
//
// The USIC model (register offsets from an XE164FN SFR header, bit fields from
// XMC1100.h, docs/xe167-facts.md section 1): the two-word receive buffer
// RBUF0/RBUF1 with RDV0/RDV1 in RBUFSR, read in order through RBUF; a third word
// while both are full is lost (PSR.DLIF). TBUF00 with TCSR.TDV; the shifter takes
// the word at once when idle (TBIF, TSIF) and sets PSR.TFF at the stop bit. PSCR
// clears PSR bits. The rate is fFD / ((PDIV+1)(PCTQ+1)(DCTQ+1)) with fFD from
// FDR's normal or fractional divider.
#pragma once

#include <deque>

#include "sim/xc16x_board.h"

namespace qtx::sim {

std::unique_ptr<Board> MakeXe167EmuBoard(const BoardConfig& config, BoardIo& io);

class Xe167Board : public Xc16xBoard {
public:
    Xe167Board(const BoardConfig& config, BoardIo& io);

    // Assumed: the start-up clock the bootstrap loader runs on (xe167.inc).
    static constexpr uint32_t kClockHz = 10'000'000;
    static constexpr uint32_t kU0c0 = 0x204000;

private:
    uint32_t LineBaud() const override;
    void RomSetUp(uint32_t hostBaud) override;
    void RomHandOver() override;
    void Land(uint8_t byte) override;
    void SentOne() override;
    bool UnitRead(uint32_t addr, bool sfr, uint16_t& value) override;
    bool UnitWrite(uint32_t addr, bool sfr, uint16_t value, bool byte) override;
    void UnitReset() override;

    uint16_t Reg(uint32_t offset) const;
    void StartFrame();   // TBUF's word to the shifter

    std::map<uint32_t, uint16_t> regs_;          // by offset within the channel
    std::deque<std::pair<int, uint8_t>> rbuf_;   // RBUF0/RBUF1 in arrival order: slot, byte
    int nextSlot_ = 0;
    uint16_t lastRead_ = 0;
    uint16_t psr_ = 0;
    bool tdv_ = false;
    uint16_t tbuf_ = 0;
};

}  // namespace qtx::sim
