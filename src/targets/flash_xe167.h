// Flasher for the XE167. Its C166-family ROM bootstrap loader is woken with a
// zero byte at 19200 baud; the loader sent to it switches the line to 57600
// and acknowledges the firmware every 128 bytes. After a good run the caller
// sends the end-of-programming byte (Finish).
//
// The chip reserves C0'F000h..C0'FFFFh, image offsets F000h..FFFFh: software
// cannot reach it (XC2000 UM V1.0 Table 3-1 note 3 and the XC2765X data sheet
// Table 3 note 1, as voledyaev/openm74 docs/FINDINGS.md 203-213 and 482-484
// quote them). An image with data there is refused; 00h or FFh (what readers
// and linkers fill a gap with) passes, is not programmed, and is left out of
// the content check on both sides.
#pragma once

#include "engine/x_flash.h"

namespace qtx {

class Flash_XE167 : public X_Flash {
public:
    using X_Flash::X_Flash;

    static constexpr int32_t kLoaderBaud = 57600;
    static constexpr uint64_t kBlockSize = 128;
    static constexpr std::size_t kReservedFrom = 0xF000, kReservedTo = 0x10000;

    int Identify() override;
    std::string ImageProblem(const std::vector<uint8_t>& image) const override;
    uint32_t ContentCrc(const std::vector<uint8_t>& data) const override;

    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int ProgramFile(const std::string& path, int kind) override;
    int SetControl(uint8_t) override { return 0; }
    int EraseAndProgram() override;
    const char* ClassName() const override { return "Flash_XE167"; }
};

}  // namespace qtx
