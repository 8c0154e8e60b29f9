// GP4020 board: the ROM's serial download (at a fixed 57600 baud) takes a
// zero byte, a 16-bit length, most significant byte first, and that many
// bytes, then starts them. Only the exact loader image runs: its behavioural
// model is the base loader protocol (erase, size, data with verify reports,
// final acknowledgement, end byte), the same as the C166-family loader's.
#pragma once

#include "loaders/loader_image.h"
#include "sim/board.h"
#include "sim/c16x_board.h"

namespace qtx::sim {

class Gp4020Board : public Board {
public:
    static constexpr uint32_t kRomBaud = 57600;
    static constexpr std::size_t kFlashSize = 512 * 1024;

    Gp4020Board(const BoardConfig& config, BoardIo& io);

    std::string Name() const override { return "gp4020"; }
    uint32_t ListenBaud() const override { return kRomBaud; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

private:
    enum class Rom { WaitZero, LengthHigh, LengthLow, Image, Dead, Running };

    void ImageByte(uint8_t byte);

    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    C166Program program_;
    Rom rom_ = Rom::WaitZero;
    std::size_t length_ = 0;       // announced length
    std::size_t received_ = 0;     // image bytes so far
    uint64_t ignored_ = 0;         // bytes before the zero byte
};

// Factory for the board list.
std::unique_ptr<Board> MakeGp4020Board(const BoardConfig& config, BoardIo& io);

}  // namespace qtx::sim
