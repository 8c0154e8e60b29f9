#include "targets/flash_509.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include <cstdio>
#include <vector>

#include "loaders/loader_image.h"

namespace qtx {

void Flash_509::SetMode(unsigned mode, uint8_t addressLow) {
    Checksum = 0;
    for (uint8_t b : {uint8_t{0x00}, static_cast<uint8_t>(mode), uint8_t{0xF4}, addressLow, uint8_t{0x00},
                      uint8_t{0x00}, uint8_t{0x0F}})
        SendByte(b);
    SendByte(Checksum);
    char what[32];
    std::snprintf(what, sizeof what, "setting mode %u.", mode);
    Expect(0x55, what, false);
}

int Flash_509::Identify() {
    // Found only in Program, a file that cannot be sent would be refused after
    // the erase had wiped the board's firmware: refuse it before the first byte
    // goes out. (No file: a bare bootstrap, nothing to check.)
    if (!ctx.FlashFilePath.empty()) Image(ctx.FlashFilePath);
    return X_Flash::Identify();
}

int Flash_509::SendLoader() {
    const LoaderImage& image = Loader();
    SetMode(0, 0x00);
    const std::size_t q = image.size / 13, r = image.size % 13;
    const uint8_t* p = image.data;
    for (std::size_t block = 0; block < q; ++block) {
        Checksum = 0;
        SendByte(0x01);
        for (int i = 0; i < 13; ++i) SendByte(*p++);
        SendByte(Checksum);
        Expect(0x55, "bsl data block", false);
    }
    Checksum = 0;
    SendByte(0x02);
    SendByte(static_cast<uint8_t>(r));
    for (std::size_t i = 0; i < r; ++i) SendByte(*p++);
    Ui().SetStatusText(" ...done");
    for (std::size_t i = r; i < 12; ++i) SendByte(0x00);
    SendByte(Checksum);
    Expect(0x55, "after BSL has been sent.", false);
    SetMode(1, 0x20);
    return 0;
}

int Flash_509::Program(const std::string& path) {
    // The size travels in 16 bits: the catalogue's limit for this target keeps
    // a larger file from being cut short without a word.
    const std::vector<uint8_t>& image = Image(path);
    const uint64_t size = image.size();
    SendByte(0x04);
    WriteByte(static_cast<uint8_t>(size));
    WriteByte(static_cast<uint8_t>(size >> 8));
    Expect(static_cast<uint8_t>(size & 0xFF), "after size has been sent.", true);
    Expect(static_cast<uint8_t>((size >> 8) & 0xFF), "after size has been sent.", true);
    Expect(0x03, "after size has been sent.", false);
    TransferPlan plan;
    plan.unit = 1;
    plan.finalAnswer = 0x04;
    Transfer(image, plan);
    return 0;
}

namespace {

// 64 KiB of flash; the largest image is also the 16-bit size of the program command.
constexpr const char* kRates[] = {"4800", "9600"};
const TargetRow kTarget{.itemText = "C509", .deviceCode = 2, .listPosition = 10, .className = "Flash_509",
                        .make = &MakeFlasher<Flash_509>, .eraseCommand = 0x02, .eraseAck = 0x02, .idByte = 0x55,
                        .portRecord = PortRecordIndex(2), .framing = "8N2", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderC509, .maxImageSize = 0xFFFF,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "c509",
                        // The board's flash is the external program memory from 0000H (C509-L
                        // User's Manual 1997-10-01, 3.1/3.2; docs/loaders.md, C509).
                        .baseAddress = 0x0000, .flashWindows = {}, .elfMachines = kElfMachines8051, .fastRates = {}};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
