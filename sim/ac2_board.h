// T89C5xACx board: the ROM's in-system-programming boot loader on the UART.
// It measures the host's rate on "U" and echoes it; then it takes Intel-HEX
// records in ASCII, echoes every character as it arrives, checks each
// record's checksum itself and answers one status character and CR LF:
// "." done, "X" checksum error (or a character that is no upper-case hex
// digit), "P" security error (a write the loader refuses). Records:
//   type 00        program the data bytes at the record's address
//   type 01        end of file
//   type 03 07     full chip erase (answered when the erase is done)
//   type 03 0A 08 v  / 0A 04 v   X2 / boot-loader-jump fuse bit := v
//   type 03 03 00  hardware reset: the application starts, nothing is answered
//   type 04 s s e e 00  Read Flash s..e inclusive: lines "AAAA=" with up to 16
//                  bytes as upper-case hex digits and CR LF, no status; "L" CR
//                  LF when reading is forbidden ("A/T89C51AC2 UART Bootloader",
//                  4231C-CAN-03/05, "Read the Flash or EEPROM Data")
// A verify-error fault address makes every data record that touches it a
// refused write ("P"), the only failure this protocol can report. Faults of
// this board alone: erase-fail confirms the erase but erases nothing,
// preloaded starts with an earlier image in the flash, read-locked answers
// every Read Flash with "L". A Read Flash of more than 400h bytes is answered
// "X": the AT89C51AC3's document (4386A-8051-10/04, same section) sets that
// limit, and the board holds the host to it.
#pragma once

#include <deque>
#include <string>

#include "sim/board.h"

namespace qtx::sim {

class Ac2Board : public Board {
public:
    static constexpr std::size_t kFlashSize = 64 * 1024;

    Ac2Board(const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return "t89c5xacx"; }
    uint32_t ListenBaud() const override { return baud_; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    // The host let go of the port: the test rig holds the ISP pin, so the
    // chip comes back in its boot loader whatever the fuses say.
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

    // Fuse bits as the last command records set them; -1 while never set.
    int X2Fuse() const { return x2_; }
    int BljbFuse() const { return bljb_; }
    bool ApplicationStarted() const { return state_ == State::Application; }

private:
    enum class State { Autobaud, Records, Erasing, Application };

    void RecordChar(uint8_t c);
    void Execute();
    void ExecuteData(uint16_t address, const std::vector<uint8_t>& data);
    void ExecuteCommand(const std::vector<uint8_t>& data);
    void ExecuteRead(const std::vector<uint8_t>& data);
    void Answer(char status);

    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    State state_ = State::Autobaud;
    uint32_t baud_ = 0;
    std::string record_;           // the record so far, from its ":"
    std::size_t recordLength_ = 0; // total characters, once the count is in
    uint64_t ignored_ = 0;         // bytes outside records, for the log
    Clock::time_point eraseDone_{};
    std::deque<uint8_t> pending_;  // characters that came during the erase
    int x2_ = -1;
    int bljb_ = -1;
    uint64_t records_ = 0;         // data records programmed since the erase
};

// Factory for the board list.
std::unique_ptr<Board> MakeAc2Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
