// Flasher for the GP4020. Its ROM takes a length-prefixed program and starts
// it; the loader sent that way then speaks the base loader protocol. There is
// no identification handshake and no control byte.
#pragma once

#include "engine/x_flash.h"

namespace qtx {

class Flash_4020 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int Identify() override { return 0; }
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_4020"; }
};

}  // namespace qtx
