// Flasher for the XE167. Its C166-family ROM bootstrap loader is woken with a
// zero byte at 19200 baud; the loader sent to it switches the line to 57600
// and acknowledges the firmware every 128 bytes. After a good run the caller
// sends the end-of-programming byte (Finish).
#pragma once

#include "engine/x_flash.h"

namespace qtx {

class Flash_XE167 : public X_Flash {
public:
    using X_Flash::X_Flash;

    static constexpr int32_t kLoaderBaud = 57600;
    static constexpr uint64_t kBlockSize = 128;

    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int ProgramFile(const std::string& path, int kind) override;
    int SetControl(uint8_t) override { return 0; }
    int EraseAndProgram() override;
    const char* ClassName() const override { return "Flash_XE167"; }
};

}  // namespace qtx
