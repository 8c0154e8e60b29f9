// Flashers for the C16x family and the C509, whose ROM loaders take a small
// loader program first.
#pragma once

#include "engine/x_flash.h"

namespace qtx {

class Flash_166 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int SendLoader() override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_166"; }
};

// Keeps the base control bytes: its board needs 0x14 before the erase and 0x04 at the end.
class Flash_163 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    const char* ClassName() const override { return "Flash_163"; }
};

// ROM loader at 19200 baud, loaded program at 57600; acknowledges every 128-byte block.
class Flash_164 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int SendLoader() override;
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_164"; }
};

// 8051-family ROM loader with checksummed blocks; its loaded program takes a 16-bit size.
class Flash_509 : public X_Flash {
public:
    using X_Flash::X_Flash;
    // The base step, after a check that the firmware file can be sent at all.
    int Identify() override;
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_509"; }

    // One mode block: type 0, mode, address 0xF4xx, 0x00 0x00 0x0F, checksum.
    void SetMode(unsigned mode, uint8_t addressLow);
};

}  // namespace qtx
