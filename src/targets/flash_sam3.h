// Flashers for the SAM3U and SAM3S. The ROM monitor takes text commands: "V#"
// wakes it, "W" places our preloader in SRAM word by word and "G" starts it.
// The preloader then takes the firmware with the size/data/acknowledge
// protocol of the other loaders, acknowledging every 256 bytes, and writes it
// into one or two flash banks. There is no erase stage: the preloader erases
// what it programs.
#pragma once

#include "engine/x_flash.h"

namespace qtx {

struct LoaderImage;

class Flash_sam3u : public X_Flash {
public:
    using X_Flash::X_Flash;

    int Identify() override;
    int SendEpldName() override { return 0; }
    int SendLoader() override;
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    const char* ClassName() const override { return "Flash_sam3u"; }
    // An image between one bank and a two-bank image fits neither layout; a
    // two-bank image must hold nothing but 0xFF where the chip has no flash.
    std::string ImageProblem(const std::vector<uint8_t>& image) const override;

    // A firmware file larger than one bank is a two-bank image: bank 1 in its
    // first kBankSize bytes, bank 2 from file offset kBank2Offset to the end.
    static constexpr uint64_t kBankSize = 0x20000;
    static constexpr uint64_t kBank2Offset = 0x80000;
    // The preloader acknowledges every this many data bytes (one flash page).
    static constexpr uint64_t kBlockSize = 256;
};

// Same protocol with the SAM3S preloader.
class Flash_sam3s : public Flash_sam3u {
public:
    using Flash_sam3u::Flash_sam3u;
    const char* ClassName() const override { return "Flash_sam3s"; }
};

}  // namespace qtx
