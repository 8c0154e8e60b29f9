#include "targets/flash_164.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_164::SendLoader() {
    // The ROM loader of this chip talks at 19200 only; the loaded program at 57600.
    const PortRecord* stored = ctx.SelectedPortRecord();
    const std::string name = stored ? stored->Name() : std::string("COM1");
    const PortRecord lineA = PortRecord::Make(name, "8N1", 19200);
    const PortRecord lineB = PortRecord::Make(name, "8N1", 57600);
    Comport& port = Port();
    port.Configure(lineA);
    Ui().ShowPortRecord(lineA);
    Ui().Pump();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    WriteLoaderImage(Loader());
    Expect(0x00, "waiting after BSL has been sent", false);
    port.Configure(lineB);
    Ui().ShowPortRecord(lineB);
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    return 0;
}

int Flash_164::Program(const std::string& path) {
    TransferPlan plan;
    plan.blockSize = 128;
    plan.lastBlockWhat = "waiting after flash last block has been sent.";
    SendSizeAndData(path, plan);
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    Finish();
    return 0;
}

namespace {

// 256 KiB of on-chip flash; the ROM loader talks at 19200 only.
constexpr const char* kRates[] = {"19200"};
const TargetRow kTarget{.itemText = "XC164/167", .deviceCode = 5, .listPosition = 50, .className = "Flash_164",
                        .make = &MakeFlasher<Flash_164>, .eraseCommand = 0x62, .eraseAck = 0x00, .idByte = 0xD5,
                        .portRecord = PortRecordIndex(5), .framing = "8N1", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderXC164, .maxImageSize = 256 * 1024,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "xc164",
                        // Program flash at C0'0000h (XC2200 Derivatives System Units UM V2.1,
                        // 3.9.4, taken for the XC16x: see docs/loaders.md, XC164/167).
                        .baseAddress = 0xC00000, .flashWindows = {}, .elfMachines = kElfMachinesC166, .fastRates = {}};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
