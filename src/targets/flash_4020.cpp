#include "targets/flash_4020.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_4020::SendLoader() {
    const LoaderImage& image = Loader();
    // The port has just been opened: the zero byte is the first on the line.
    // Without an identification step a target that is not in its ROM loader
    // shows only as the timeout after the whole image.
    SendByte(0x00);
    SendByte(static_cast<uint8_t>(image.size >> 8));
    SendByte(static_cast<uint8_t>(image.size & 0xFF));
    WriteLoaderImage(image);
    Expect(0x00, "waiting after BSL has been sent", false);
    SwitchDataRate();
    return 0;
}

namespace {

// The ROM talks at the stored rate only, so the dialog sets the port name
// alone; the board's flash is an Am29LV400BB of 512 KiB (docs/loaders.md).
constexpr const char* kRates[] = {"57600"};
// UART1 divides BuILD_CLK, 20 MHz from the 40 MHz reference, by 16 x (BRR + 1)
// (GP4020 Design Manual DM5280, 14.6 and 17.2, Table 17.1): 312500 is BRR 3,
// exact. 625000 (BRR 1) kept up on the simulated board, but only with the
// flash's typical 11 us a word and little to spare: not before reception by DMA.
constexpr uint32_t kFastRates[] = {312500};
const TargetRow kTarget{.itemText = "GP4020", .deviceCode = 4, .listPosition = 40, .className = "Flash_4020",
                        .make = &MakeFlasher<Flash_4020>, .eraseCommand = 0x62, .eraseAck = 0x00, .idByte = 0x55,
                        .portRecord = PortRecordIndex(4), .framing = "8N1", .dialogRates = kRates,
                        .dialogSetsBaud = false, .dialogSetsFraming = false, .loader = &kLoaderGP4020, .maxImageSize = 512 * 1024,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "gp4020",
                        // Booting from its flash, the chip sees NCS[0] (the flash on NSCS[0]) at
                        // 0x00000000 (GP4020 Design Manual DM5280, 4.1 and 11.2); the loader
                        // writes it at 0x60000000 after the boot ROM's swap.
                        .baseAddress = 0x00000000, .flashWindows = {}, .elfMachines = kElfMachinesArm,
                        .fastRates = kFastRates};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
