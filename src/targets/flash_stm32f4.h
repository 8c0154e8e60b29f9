// Flasher for the STM32F4, and for any STM32 family whose ROM boot loader
// speaks the same USART protocol: ACK 0x79 / NACK 0x1F at 8E1,
// synchronisation 0x7F, Write Memory places the description's preloader in
// SRAM at its load address in blocks of up to 256 bytes, Go starts it there.
// The preloader is told the firmware size at the end of SendLoader, erases on
// 0x62 and then takes the data without block acknowledgements.
#pragma once

#include <optional>

#include "engine/x_flash.h"

namespace qtx {

struct LoaderImage;

class Flash_stm32f4 : public X_Flash {
public:
    using X_Flash::X_Flash;

    int Identify() override;
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_stm32f4"; }

    static constexpr uint8_t kAck = 0x79;
    // Largest Write Memory block the ROM takes.
    static constexpr std::size_t kBlockSize = 256;

private:
    // Write Memory of n (1..256) bytes at address, each step answered by ACK.
    void WriteMemory(uint32_t address, const uint8_t* data, std::size_t n);
    // Sends the bytes, then expects ACK.
    void SendAcked(const uint8_t* data, std::size_t n);
    // Size of the firmware file; ProgramException with a clear text when it
    // cannot be read or its size does not fit the 32-bit size field.
    uint64_t FirmwareSize(const std::string& path);

    // The size told to the preloader by the last SendLoader: the data that
    // Program sends must match it.
    std::optional<uint64_t> announcedSize_;
};

}  // namespace qtx
