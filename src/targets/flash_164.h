// Flasher for the XC164/167: a C166-family ROM bootstrap loader that takes a
// small loader program first.
#pragma once

#include <string>

#include "engine/x_flash.h"

namespace qtx {

// ROM loader at 19200 baud, loaded program at 57600; acknowledges every 128-byte block.
class Flash_164 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int SendLoader() override;
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_164"; }
};

}  // namespace qtx
