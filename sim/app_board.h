// A device that starts in its own application firmware instead of its ROM boot
// loader (qtxsim --app-running). The application listens on its console at
// one rate; there the text "\nDFC\n" switches it to its command interface at
// 19200 baud 8N1, where the framed boot-mode command makes it acknowledge and
// restart into the ROM boot loader of the wrapped board. Bytes sent at another
// rate reach it garbled and are ignored. Closing the port does not reset a
// running application (only the ROM model is reset by a close).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/board.h"

namespace qtx::sim {

struct AppFirmwareOptions {
    enum class Answer { Accept, Refuse, NoFlag, Silent };

    bool running = false;      // --app-running
    uint32_t baud = 115200;    // --app-baud: the application's console rate
    Answer answer = Answer::Accept;  // --app-answer
};

// Handles --app-running, --app-baud and --app-answer: true when opt is one of
// them (value is ignored for the flag); error receives a usage error.
bool ParseAppOption(const std::string& opt, const std::string& value, AppFirmwareOptions& options,
                    std::string& error);
bool IsAppFlag(const std::string& opt);
// The lines of the usage text.
std::string AppUsageText();
// An empty string, or why the options do not fit the board.
std::string CheckAppOptions(const AppFirmwareOptions& options, const std::string& board);

using BoardFactory = std::function<std::unique_ptr<Board>(const BoardConfig&, BoardIo&)>;
// The factory itself without --app-running, else one that wraps its board.
BoardFactory WithAppFirmware(BoardFactory rom, const AppFirmwareOptions& options);

class AppFirmwareBoard : public Board {
public:
    enum class Mode { Application, Command, Rom };
    static constexpr uint32_t kCommandBaud = 19200;
    static constexpr uint16_t kBootModeWord = 0x840D;
    static constexpr uint16_t kBootModeKey = 0x3C95;

    AppFirmwareBoard(std::unique_ptr<Board> rom, const AppFirmwareOptions& options, BoardIo& io);

    std::string Name() const override { return rom_->Name(); }
    uint32_t ListenBaud() const override;
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return rom_->Flash(); }

    Mode CurrentMode() const { return mode_; }

private:
    void TextByte(uint8_t byte);
    void FrameByte(uint8_t byte);
    void Frame(uint16_t word, const std::vector<uint8_t>& data);
    void Answer(uint16_t word);
    void EndSession();

    std::unique_ptr<Board> rom_;
    AppFirmwareOptions options_;
    BoardIo& io_;
    Mode mode_ = Mode::Application;

    // The host's current session (from one close to the next).
    uint64_t sessionBytes_ = 0;
    uint32_t sessionBaud_ = 0;
    std::string recent_;           // last bytes on the console, for the autobaud text

    // Frame receiver of the command interface.
    std::vector<uint8_t> frame_;   // header and data so far (no start byte)
    bool inFrame_ = false;
};

}  // namespace qtx::sim
