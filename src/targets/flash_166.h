// Flasher for the C166/167: its ROM bootstrap loader takes a small loader
// program first, which then speaks the base loader protocol.
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

}  // namespace qtx
