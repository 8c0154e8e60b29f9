#include "targets/flash_166.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_166::SendLoader() {
    // One write: the ROM runs the first 32 bytes, which take the rest without a pause.
    WriteLoaderImage(Loader());
    Expect(0x00, "waiting after BSL has been sent", false);
    SwitchDataRate();
    return 0;
}

namespace {

// The C166/167 bootstrap loader answers 0x55; the board's flash is an
// Am29F400BB of 512 KiB (docs/loaders.md).
constexpr const char* kRates[] = {"4800", "9600", "19200", "38400", "57600"};
// fCPU / (32 x (S0BG + 1)) at the board's 20 MHz: 312500 with S0BG 1, exact
// (docs/fast-rates.md, "C166/167 and C163"; the loader scales the ROM's S0BG).
constexpr uint32_t kFastRates[] = {312500};
const TargetRow kTarget{.itemText = "C166/167", .deviceCode = 1, .listPosition = 20, .className = "Flash_166",
                        .make = &MakeFlasher<Flash_166>, .eraseCommand = 0x62, .eraseAck = 0x00, .idByte = 0x55,
                        .portRecord = PortRecordIndex(1), .framing = "8N1", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderC166, .maxImageSize = 512 * 1024,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "c167",
                        // The board's flash on /CS0 is what the core fetches from 00'0000h
                        // when it starts from external memory (docs/loaders.md, "Firmware
                        // files and base addresses").
                        .baseAddress = 0x000000, .flashWindows = {}, .elfMachines = kElfMachinesC166, .fastRates = kFastRates};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
