// Flasher for the C163: a C166-family ROM bootstrap loader that takes a small
// loader program first.
#pragma once

#include "engine/x_flash.h"

namespace qtx {

// Keeps the base control bytes: its board needs 0x14 before the erase and 0x04 at the end.
class Flash_163 : public X_Flash {
public:
    using X_Flash::X_Flash;
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    const char* ClassName() const override { return "Flash_163"; }
};

}  // namespace qtx
