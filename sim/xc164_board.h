// XC164/167 board on the emulated C166 core (C166S V2): the ROM bootstrap
// loader at 19200 baud (zero byte, identification byte 0xD5, 32 bytes to the
// PSRAM at E0'0004h, then the core runs them), ASC0 in emulated time, the
// PSRAM, and the on-chip program flash (sim/xc16x_flash.h).
//
// Time is the board's own: the core's state count at its clock. A byte from the
// host lands in S0RBUF at max(now, previous landing + one character); one not
// read before the next lands is lost with S0OE set. When the program keeps
// polling a status that cannot change before the next event (S0RIR clear, a
// transmission running, the flash busy), the clock jumps to that event.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"
#include "sim/c166_cpu.h"
#include "sim/xc16x_flash.h"

namespace qtx::sim {

std::unique_ptr<Board> MakeXc164EmuBoard(const BoardConfig& config, BoardIo& io);

class Xc164Board : public Board, private C166Io {
public:
    Xc164Board(const BoardConfig& config, BoardIo& io);
    ~Xc164Board() override;   // a board that ends with its program running logs its summary

    // Board choices, as firmware/c166/xc16x.inc states them.
    static constexpr uint32_t kClockHz = 20'000'000;
    static constexpr uint32_t kRomBaud = 19200;
    static constexpr uint32_t kPsramBase = 0xE00000, kPsramBytes = 6 * 1024;
    static constexpr uint32_t kImageStart = 0xE00004;

    std::string Name() const override { return "xc164"; }
    uint32_t ListenBaud() const override;
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_.Content(); }

    // For tests: emulated time and what the program did wrong.
    uint64_t NowNs() const;
    const std::map<std::string, uint64_t>& Misuses() const { return misuse_; }
    const Xc16xFlash& FlashModule() const { return flash_; }

private:
    enum class Rom { WaitZero, FirstStage, Running, Stopped };

    // C166Io
    uint16_t ReadSfr(uint16_t addr) override;
    void WriteSfr(uint16_t addr, uint16_t value) override;
    uint16_t ReadExternal(uint32_t addr) override;
    void WriteExternal(uint32_t addr, uint16_t value, bool byte) override;
    int AccessStates(uint32_t addr) const override;
    void Misuse(const std::string& what) override;

    void StartCore();
    void Run();
    void Advance();
    void Poll(bool fruitless);
    void Transmit(uint8_t byte);
    void SkipTo(uint64_t ns);
    uint64_t CharNs() const;   // one 8N1 character at the ASC0's current rate
    uint32_t AscBaud() const;
    void Summary();

    BoardConfig config_;
    BoardIo& io_;
    Xc16xFlash flash_;
    C166Cpu cpu_;
    std::vector<uint8_t> psram_;
    Rom rom_ = Rom::WaitZero;
    std::size_t firstStage_ = 0;
    uint64_t ignored_ = 0;

    std::map<uint16_t, uint16_t> sfr_;
    std::deque<std::pair<uint64_t, uint8_t>> rx_;   // landing time, byte
    uint64_t lastLanding_ = 0;
    uint16_t rbuf_ = 0;
    bool rbufUnread_ = false;
    bool txBusy_ = false;
    uint64_t txEnd_ = 0;
    bool tbufFull_ = false;
    uint8_t tbuf_ = 0;

    int polls_ = 0;
    bool more_ = false;
    std::map<std::string, uint64_t> misuse_;
    uint64_t bytesIn_ = 0, bytesOut_ = 0;
};

}  // namespace qtx::sim
