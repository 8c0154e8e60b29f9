#include "sim/gp4020_board.h"

#include <cstdio>

namespace qtx::sim {

namespace {
std::string Hex(unsigned v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

Gp4020Board::Gp4020Board(const BoardConfig& config, BoardIo& io)
    : config_(config), io_(io), flash_(kFlashSize), program_(flash_, io_, config_) {}

void Gp4020Board::Receive(uint8_t byte, uint32_t) {
    switch (rom_) {
    case Rom::WaitZero:
        if (byte != 0x00) {
            if (ignored_++ == 0) io_.Log("ROM download waits for a zero byte: ignored " + Hex(byte));
            return;
        }
        if (ignored_ > 1) io_.Log("ROM download ignored " + std::to_string(ignored_) + " bytes before the zero byte");
        ignored_ = 0;
        rom_ = Rom::LengthHigh;
        return;
    case Rom::LengthHigh:
        length_ = std::size_t(byte) << 8;
        rom_ = Rom::LengthLow;
        return;
    case Rom::LengthLow:
        length_ |= byte;
        received_ = 0;
        io_.Log("ROM download: " + std::to_string(length_) + " bytes announced");
        if (length_ != kLoaderGP4020.size)
            io_.Log("that is not the loader's " + std::to_string(kLoaderGP4020.size) +
                    " bytes: what the ROM starts will not answer");
        rom_ = length_ == 0 ? Rom::Dead : Rom::Image;
        return;
    case Rom::Image:
        ImageByte(byte);
        return;
    case Rom::Dead:
        return;
    case Rom::Running:
        program_.Receive(byte);
        return;
    }
}

void Gp4020Board::ImageByte(uint8_t byte) {
    const LoaderImage& expected = kLoaderGP4020;
    const std::size_t off = received_++;
    if (off >= expected.size || byte != expected.data[off]) {
        io_.Log("loader image differs at offset " + std::to_string(off) + ": received " + Hex(byte) +
                (off < expected.size ? ", expected " + Hex(expected.data[off]) : ", beyond the image") +
                "; the board stays silent");
        rom_ = Rom::Dead;
        return;
    }
    if (received_ < length_) return;
    if (length_ != expected.size) {
        rom_ = Rom::Dead;
        io_.Log("a program of " + std::to_string(length_) + " bytes started; the board stays silent");
        return;
    }
    io_.Log("loader image received (" + std::to_string(length_) + " bytes): the loaded program runs");
    rom_ = Rom::Running;
    program_.Start();
}

std::optional<Clock::time_point> Gp4020Board::NextTimer() const {
    return rom_ == Rom::Running ? program_.NextTimer() : std::nullopt;
}

void Gp4020Board::OnTimer() {
    if (rom_ == Rom::Running) program_.OnTimer();
}

void Gp4020Board::Reset() {
    if (rom_ == Rom::Image)
        io_.Log("reset during the loader image: " + std::to_string(received_) + " of " + std::to_string(length_) +
                " bytes received");
    program_.Reset();
    rom_ = Rom::WaitZero;
    length_ = 0;
    received_ = 0;
    ignored_ = 0;
}

std::unique_ptr<Board> MakeGp4020Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Gp4020Board>(config, io);
}

}  // namespace qtx::sim
