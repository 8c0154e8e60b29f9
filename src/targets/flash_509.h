// Flasher for the C509: an 8051-family ROM loader with checksummed blocks,
// which takes a small loader program first.
#pragma once

#include <string>

#include "engine/x_flash.h"

namespace qtx {

// Its loaded program takes a 16-bit size.
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
