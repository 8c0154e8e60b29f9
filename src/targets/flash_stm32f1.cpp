// The STM32F103 family: the same ROM boot loader protocol as STM32F4 (AN3155),
// so the STM32F4 flasher with this family's preloader, load address and flash.
#include "engine/target_table.h"
#include "settings/setup.h"
#include "targets/flash_stm32f4.h"

namespace qtx {

// Written by firmware/cortexm/build.sh from stm32f1.c.
extern const LoaderImage kLoaderStm32f1;

namespace {

class Flash_stm32f1 : public Flash_stm32f4 {
public:
    using Flash_stm32f4::Flash_stm32f4;
    const char* ClassName() const override { return "Flash_stm32f1"; }
};

// Medium and high density, up to 512 KiB (RM0008 3.3.3); the ROM boot loader
// autobauds from 1200 to 115200 baud at 8E1 (AN3155). Device code 6 and its
// port record were unused; the record's stored framing is replaced by 8E1 when
// the target is selected.
constexpr const char* kRates[] = {"9600", "19200", "38400", "57600", "115200"};
const TargetRow kTarget{.itemText = "STM32F1", .deviceCode = 6, .listPosition = 110,
                        .className = "Flash_stm32f1", .make = &MakeFlasher<Flash_stm32f1>, .eraseCommand = 0x62,
                        .eraseAck = 0x00, .idByte = 0x00, .portRecord = PortRecordIndex(6), .framing = "8E1",
                        .dialogRates = kRates, .dialogSetsBaud = true, .dialogSetsFraming = false,
                        .loader = &kLoaderStm32f1, .maxImageSize = 512 * 1024, .erasedValue = 0xFF,
                        .hasEraseStage = true, .forcesBootMode = true, .finishAfterRun = false,
                        .simBoard = "stm32f1",
                        // Main flash memory from 0x0800 0000 (RM0008 3.3.3, Tables 5 and 6).
                        .baseAddress = 0x08000000, .flashWindows = {}, .elfMachines = kElfMachinesArm, .fastRates = {}};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
