// The XC164/167 and XE167 boards' common part on the emulated C166 core
// (C166S V2): the ROM bootstrap loader (zero byte, identification byte 0xD5,
// 32 bytes into the PSRAM, then the core runs them), the PSRAM, the on-chip
// program flash (sim/xc16x_flash.h) and the line in emulated time. Each chip's
// serial unit is a subclass: ASC0 (sim/xc164_board.h), USIC (sim/xe167_board.h).
//
// Time is the board's own: the core's state count at its clock. A byte from the
// host lands in the serial unit at max(now, previous landing + one character).
// When the program keeps polling a status that cannot change before the next
// event (nothing received, a transmission running, the flash busy), the clock
// jumps to that event; on a paced line never past the wall clock (sim/wall_tie.h).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/c166_cpu.h"
#include "sim/wall_tie.h"
#include "sim/xc16x_flash.h"

namespace qtx::sim {

struct Xc16xChip {
    const char* name;
    uint32_t clockHz;
    uint32_t romBaud;         // 0: the ROM loader measures the host's rate on the zero byte
    uint32_t imageStart;      // where the ROM loader stores the 32 bytes and starts them
    unsigned flashModules;    // of 256 KiB
    uint32_t psramBytes;
    uint8_t erasedByte;       // what an erased flash cell reads
    bool reservedC0F000;      // the flash's reserved sector (sim/xc16x_flash.h)
    // The watchdog runs from the start of the 32 bytes and resets the chip this
    // long after unless DISWDT (before EINIT) or SRVWDT; 0: not modelled.
    uint64_t watchdogNs;
};

class Xc16xBoard : public Board, protected C166Io {
public:
    Xc16xBoard(const Xc16xChip& chip, const BoardConfig& config, BoardIo& io);
    ~Xc16xBoard() override;   // a board that ends with its program running logs its summary

    static constexpr uint32_t kPsramBase = 0xE00000;

    std::string Name() const override { return chip_.name; }
    uint32_t ListenBaud() const override;
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_.Content(); }

protected:
    uint64_t NowNs() const;   // the board's emulated time
    // The serial unit.
    virtual uint32_t LineBaud() const = 0;
    // The ROM loader has answered a zero byte that came at hostBaud: its set-up.
    virtual void RomSetUp(uint32_t hostBaud) = 0;
    // The 32 bytes are in: what the ROM loader leaves for the program.
    virtual void RomHandOver() = 0;
    virtual void Land(uint8_t byte) = 0;   // a received byte is complete
    virtual void SentOne() = 0;            // the shifter has finished a character
    // Peripheral registers outside the memories: true when the address is the unit's.
    virtual bool UnitRead(uint32_t addr, bool sfr, uint16_t& value) = 0;
    virtual bool UnitWrite(uint32_t addr, bool sfr, uint16_t value, bool byte) = 0;
    virtual void UnitReset() = 0;

    void Transmit(uint8_t byte);   // the shifter starts a character now
    bool Sending() const { return txBusy_; }
    // A byte lands within one character from now: its frame is on the line.
    bool Receiving() const;
    void Poll(bool fruitless) { polls_ = fruitless ? polls_ + 1 : 0; }
    void Misuse(const std::string& what) override;
    void Log(const std::string& text) { io_.Log(text); }
    uint64_t CharNs() const;   // one 8N1 character at the unit's current rate

    C166Cpu cpu_;
    WallTie tie_;
    HostTimer hostTime_;

private:
    enum class Rom { WaitZero, FirstStage, Running, Stopped };

    // C166Io
    uint16_t ReadSfr(uint16_t addr) override;
    void WriteSfr(uint16_t addr, uint16_t value) override;
    uint16_t ReadExternal(uint32_t addr) override;
    uint16_t FetchExternal(uint32_t addr) override;
    void WriteExternal(uint32_t addr, uint16_t value, bool byte) override;
    int AccessStates(uint32_t addr) const override;
    void WatchdogInstruction(const std::string& mnemonic) override;

    void StartCore();
    void Run();
    void Advance();
    void SkipTo(uint64_t ns);
    bool WatchdogFired();   // true once the watchdog has reset the chip
    void Summary();

    Xc16xChip chip_;
    BoardConfig config_;
    BoardIo& io_;
    Xc16xFlash flash_;
    std::vector<uint8_t> psram_;
    // Fetch ahead (config.fetchAhead): PSRAM stores of the last instructions,
    // which a fetch may not see yet: instruction count, byte offset, old byte.
    struct Store {
        uint64_t at;
        uint32_t offset;
        uint8_t old;
    };
    std::deque<Store> stores_;
    uint64_t staleRuns_ = 0;   // instruction words executed as they were before a store
    Rom rom_ = Rom::WaitZero;
    std::size_t firstStage_ = 0;
    uint64_t ignored_ = 0;

    std::map<uint16_t, uint16_t> sfr_;              // SFRs no model owns
    std::deque<std::pair<uint64_t, uint8_t>> rx_;   // landing time, byte
    uint64_t lastLanding_ = 0;
    bool txBusy_ = false;
    uint64_t txEnd_ = 0;

    bool wdtRunning_ = false;
    bool einit_ = false;
    uint64_t wdtDeadline_ = 0;

    int polls_ = 0;
    bool more_ = false;
    std::map<std::string, uint64_t> misuse_;
    uint64_t bytesIn_ = 0, bytesOut_ = 0;
};

}  // namespace qtx::sim
