// C166/167 and C163 boards on the emulated C166 core: the ROM bootstrap loader
// (zero byte, identification byte, 32 bytes to 0FA40h, then the core runs
// them), ASC0 in emulated time, and the external Am29F400BB on /CS0.
//
// Time is the board's own: the core's state count at its clock. A byte from the
// host lands in S0RBUF at max(now, previous landing + one character); one not
// read before the next lands is lost with S0OE set. ASC0 runs at the divider
// the ROM measured (taken as the host's rate) until the program writes its
// own S0BG; from then on the line runs at what S0BG and S0BRS make, and the
// rig garbles host bytes at a rate that does not match it. GPT1 timer T3
// counts in timer mode for the program's timeouts. When the program keeps
// polling a status that cannot change before the next event (S0RIR clear, a
// transmission running, the flash busy), the clock jumps to that event; on a
// paced line never past the wall clock (sim/wall_tie.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "loaders/loader_image.h"
#include "sim/board.h"
#include "sim/c166_cpu.h"
#include "sim/cfi_nor16.h"
#include "sim/wall_tie.h"

namespace qtx::sim {

// Where the boards differ. Board-level choices (flash chip, bus, the write
// gate) match firmware/c166/board.inc; docs/loaders.md explains them.
struct C166BoardTraits {
    const char* name;
    uint8_t idByte;            // the ROM loader's answer to the zero byte
    const LoaderImage* loader; // the host's image (its size is logged, nothing more)
    uint16_t iramStart;        // C167CR: 0F600h (2 KiB); C163: 0FA00h (1 KiB)
    bool writeGate;            // P2.8 gates the flash's write enable (C163 board)
    uint32_t clockHz;
};

extern const C166BoardTraits kC167EmuBoard;
extern const C166BoardTraits kC163EmuBoard;

std::unique_ptr<Board> MakeC166EmuBoard(const C166BoardTraits& traits, const BoardConfig& config, BoardIo& io);

class C166Board : public Board, private C166Io {
public:
    C166Board(const C166BoardTraits& traits, const BoardConfig& config, BoardIo& io);
    ~C166Board() override;   // a board that ends with its program running logs its summary

    std::string Name() const override { return traits_.name; }
    uint32_t ListenBaud() const override;
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_.Content(); }

    // For tests: emulated time and what the program did wrong.
    uint64_t NowNs() const;
    const std::map<std::string, uint64_t>& Misuses() const { return misuse_; }

private:
    enum class Rom { WaitZero, FirstStage, Running, Stopped };

    // C166Io
    uint16_t ReadSfr(uint16_t addr) override;
    void WriteSfr(uint16_t addr, uint16_t value) override;
    uint16_t ReadExternal(uint32_t addr) override;
    void WriteExternal(uint32_t addr, uint16_t value, bool byte) override;
    int ExternalStates() const override;
    void Misuse(const std::string& what) override;

    void StartCore();
    void Run();
    void Advance();
    void Poll(bool fruitless);
    void Transmit(uint8_t byte);
    void SkipTo(uint64_t ns);
    uint64_t ClocksPerBit() const;
    uint64_t TxCharNs() const;
    uint32_t ClockHz() const;
    uint64_t StatesToNs(uint64_t states) const;
    bool GeneratorRuns() const;
    void T3Rebase(uint16_t value);
    uint16_t T3Value() const;
    void Summary();

    C166BoardTraits traits_;
    BoardConfig config_;
    BoardIo& io_;
    CfiNor16 flash_;
    C166Cpu cpu_;
    WallTie tie_;
    HostTimer hostTime_;
    Rom rom_ = Rom::WaitZero;
    uint32_t baud_ = 0;
    uint64_t rxCharNs_ = 0;
    std::size_t firstStage_ = 0;
    uint64_t ignored_ = 0;

    // ASC0 (C167CR UM ch.11) and the few other SFRs the board answers.
    std::map<uint16_t, uint16_t> sfr_;
    std::deque<std::pair<uint64_t, uint8_t>> rx_;   // landing time, byte
    uint64_t lastLanding_ = 0;
    uint16_t romBg_ = 0;                  // S0BG as the ROM's measurement left it
    bool ownRate_ = false;                // the program has set a divider of its own
    uint16_t rbuf_ = 0;
    bool rbufUnread_ = false;
    bool txBusy_ = false;
    uint64_t txTir_ = 0;                  // S0TIR: before the last (stop) bit
    uint64_t txEnd_ = 0;
    bool tbufFull_ = false;
    uint8_t tbuf_ = 0;

    // GPT1 T3 (C167CR UM ch.10): the value at t3From_ (states), and when it next overflows.
    uint16_t t3At_ = 0;
    uint64_t t3From_ = 0;
    uint64_t t3Overflow_ = UINT64_MAX;

    int polls_ = 0;
    uint16_t pollSite_ = 0;
    bool more_ = false;                   // the last run slice ended on its budget
    std::map<std::string, uint64_t> misuse_;
    uint64_t overruns_ = 0;
    uint64_t bytesIn_ = 0, bytesOut_ = 0;
};

}  // namespace qtx::sim
