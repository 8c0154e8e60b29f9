// Serial ports of the emulated ARM chips. UartLine is the line side that every
// UART shares: host bytes land in the receive register one character time
// apart in emulated time (never before the program's now), a byte that lands
// while the register is still full is an overrun, and the transmitter holds
// one byte in its data register while the shift register sends the previous
// one. The register views below are the chips' own layouts.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "sim/arm_cpu.h"
#include "sim/board.h"

namespace qtx::sim {

class UartLine {
public:
    // What an overrun keeps in the receive register.
    enum class OnOverrun { KeepOld, KeepNew };

    UartLine(ArmCpu& cpu, BoardIo& io, OnOverrun mode, int bitsPerChar)
        : cpu_(cpu), io_(io), mode_(mode), bits_(bitsPerChar) {}

    // A byte the host sent at hostBaud; returns when it lands.
    EmuNs Deliver(uint8_t byte, uint32_t hostBaud);
    // The rate the UART's divider makes. The divider the ROM left is the
    // host's rate (the rig garbles bytes sent at another, by the board's
    // ListenBaud); once the program sets its own, a byte sent at a rate it
    // does not match (RatesMatch) lands garbled here, at its landing time.
    // A program that puts the ROM's divider back calls InitRate too.
    void InitRate(uint32_t baud) {
        rate_ = baud;
        checking_ = false;
    }
    void SetRate(uint32_t baud) {
        rate_ = baud;
        checking_ = true;
    }
    uint32_t Rate() const { return rate_; }
    bool Checking() const { return checking_; }
    // With a sink, landed bytes go there, in landing order, instead of the
    // receive register (a DMA request served at once); a sink that returns
    // false leaves the byte to the register.
    void SetSink(std::function<bool(uint8_t)> sink) { sink_ = std::move(sink); }
    // Lands what is due by now; when nothing is left before then, the time
    // the next byte lands (kNever: none on its way).
    EmuNs Settled() {
        Settle();
        return queue_.empty() ? kNever : queue_.front().at;
    }
    uint64_t Garbled() const { return garbled_; }
    bool RxReady();          // a poll: an empty register counts as idle
    uint8_t TakeRx();        // the register's byte; empties it
    bool OverrunFlag() {
        Settle();
        return overrunFlag_;
    }
    void ClearOverrun() { overrunFlag_ = false; }
    bool TxReady();          // data register free
    bool TxEmpty();          // shift register done too
    bool Sending() const { return cpu_.Now() < txShiftFreeAt_; }   // TxEmpty without counting a poll
    void Transmit(uint8_t byte, uint32_t txBaud);
    uint64_t Overruns() const { return overruns_; }
    std::size_t OnTheirWay() const { return queue_.size(); }
    EmuNs LastLanding() const { return lastLanding_; }
    uint64_t Sent() const { return sent_; }

private:
    struct Landing {
        uint8_t byte;
        EmuNs at;
        uint32_t hostBaud;
    };
    void Settle();

    ArmCpu& cpu_;
    BoardIo& io_;
    OnOverrun mode_;
    int bits_;
    std::deque<Landing> queue_;
    EmuNs lastLanding_ = 0;
    bool any_ = false;
    bool full_ = false;
    uint8_t rx_ = 0;
    bool overrunFlag_ = false;
    uint64_t overruns_ = 0;
    uint64_t sent_ = 0;
    uint32_t rate_ = 0;
    bool checking_ = false;
    uint64_t garbled_ = 0;
    std::function<bool(uint8_t)> sink_;
    EmuNs txDataFreeAt_ = 0;   // the data register moves into the shift register
    EmuNs txShiftFreeAt_ = 0;
};

// STM32F4 USART (RM0090 30.6): SR, DR, BRR, CR1-3, GTPR at 0x00-0x18.
// ORE keeps the old byte (RM0090 30.6.1: "the RDR register content will not
// be lost but the shift register will be overwritten"); it clears by reading
// SR then DR.
//
// BRR may change between characters (RM0090 30.6.3: "should not be changed
// during communication"): the line then runs at pclk / BRR (OVER8 = 0; other
// framing changes are flagged). CR3.DMAR hands received bytes to the DMA
// stream connected with SetDmaSink.
class Stm32Usart : public ArmDevice {
public:
    Stm32Usart(ArmCpu& cpu, BoardIo& io, uint32_t pclkHz, uint32_t baud);
    UartLine& Line() { return line_; }
    // The rate the line runs at now.
    uint32_t Rate() const { return line_.Rate(); }
    // Where DMA requests go while CR3.DMAR is set (nullptr: no stream serves them).
    void SetDmaSink(std::function<bool(uint8_t)> sink) { dmaSink_ = std::move(sink); }
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;

private:
    ArmCpu& cpu_;
    UartLine line_;
    uint32_t pclk_;
    uint32_t brr_, cr1_, cr2_ = 0, cr3_ = 0;
    bool srReadWithOre_ = false;
    std::function<bool(uint8_t)> dmaSink_;
};

// SAM3 UART (sam3u instance/uart.h; SAM3X/A 34.6, sibling): CR, MR, IER,
// IDR, IMR, SR, RHR, THR, BRGR. An overrun sets OVRE, which only CR.RSTSTA clears; the register takes
// the new byte.
// BRGR may change once the transmitter is empty: the line then runs at
// MCK / (16 x CD).
class Sam3Uart : public ArmDevice {
public:
    Sam3Uart(ArmCpu& cpu, BoardIo& io, uint32_t mckHz, uint32_t baud);
    UartLine& Line() { return line_; }
    uint32_t Rate() const { return line_.Rate(); }
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;

private:
    ArmCpu& cpu_;
    UartLine line_;
    uint32_t mck_;
    uint32_t mr_ = 4u << 9;    // no parity, as the monitor sets it
    uint32_t brgr_;
    uint32_t imr_ = 0;
};

}  // namespace qtx::sim
