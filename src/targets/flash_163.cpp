#include "targets/flash_163.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_163::SendLoader() {
    WriteLoaderImage(Loader());
    Expect(0x00, "waiting after BSL has been sent.", false);
    SwitchDataRate();
    return 0;
}

namespace {

// The C163's bootstrap loader answers 0xD5; the board's flash is an
// Am29F400BB of 512 KiB (docs/loaders.md).
constexpr const char* kRates[] = {"4800", "9600", "19200", "38400", "57600"};
// fCPU / (32 x (S0BG + 1)) at the board's 20 MHz: 312500 with S0BG 1, exact
// (docs/fast-rates.md, "C166/167 and C163"; the loader scales the ROM's S0BG).
constexpr uint32_t kFastRates[] = {312500};
const TargetRow kTarget{.itemText = "C163", .deviceCode = 3, .listPosition = 30, .className = "Flash_163",
                        .make = &MakeFlasher<Flash_163>, .eraseCommand = 0x62, .eraseAck = 0x00, .idByte = 0xD5,
                        .portRecord = PortRecordIndex(3), .framing = "8N1", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderC163, .maxImageSize = 512 * 1024,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "c163",
                        // The board's flash, on /CS0, at 0 as for C166/167 (docs/loaders.md,
                        // "Firmware files and base addresses").
                        .baseAddress = 0x000000, .flashWindows = {}, .elfMachines = kElfMachinesC166, .fastRates = kFastRates};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
