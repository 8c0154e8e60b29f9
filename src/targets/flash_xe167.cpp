#include "targets/flash_xe167.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "engine/firmware_file.h"
#include "loaders/loader_image.h"

namespace qtx {

int Flash_XE167::Identify() {
    // D5h, which a one-wire line can turn into F5h: the identification byte's
    // start bit overlaps the zero byte's stop bit (erratum BSL_X.004, quoted in
    // voledyaev/openm74 docs/PROTOCOL.md 45-53: the host should tolerate it).
    constexpr uint8_t kOneWireId = 0xF5;
    const char* what = "waiting for controller ID";
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    uint8_t b;
    while (port.Read(&b, 1) == 1) {
    }
    WriteByte(0x00);
    const uint8_t id = static_cast<uint8_t>(IdByte & 0xFF);
    if (!ReceiveByteTimed(b, what)) {
        Ui().SetStatusText(std::string("Timeout ") + what);
        throw TimeoutException{what};
    }
    if (b == id || b == kOneWireId) return 0;
    char text[96];
    std::snprintf(text, sizeof text, "\nError %s\nReceived byte: %02Xh Expected: %02Xh\n", what, b, id);
    Ui().SetStatusText(text);
    throw CharErrorException{what, b, id};
}

std::string Flash_XE167::ImageProblem(const std::vector<uint8_t>& image) const {
    const std::size_t end = std::min(image.size(), kReservedTo);
    for (std::size_t i = kReservedFrom; i < end; ++i) {
        if (image[i] == 0x00 || image[i] == 0xFF) continue;
        char text[200];
        std::snprintf(text, sizeof text,
                      "The file holds data at offset %05zXh, in C0'F000h-C0'FFFFh (file offsets F000h-FFFFh), "
                      "which the XE167 reserves: no program can be stored there. Fill that range with 00h or FFh.",
                      i);
        return text;
    }
    return {};
}

uint32_t Flash_XE167::ContentCrc(const std::vector<uint8_t>& data) const {
    // The loader reads the flash back around the reserved range, never in it.
    if (data.size() <= kReservedFrom) return Crc32(data.data(), data.size());
    const uint32_t below = Crc32(data.data(), kReservedFrom);
    if (data.size() <= kReservedTo) return below;
    return Crc32(data.data() + kReservedTo, data.size() - kReservedTo, below);
}

int Flash_XE167::SendLoader() {
    // The stored record keeps the bootstrap rate for the next run; only the
    // open line moves to the loader's rate.
    PortRecord line = PortRecord::Make("COM1", "8N1", kLoaderBaud);
    if (const PortRecord* stored = ctx.SelectedPortRecord()) line.SetName(stored->Name());
    WriteLoaderImage(Loader());
    Expect(0x00, "waiting after BSL has been sent", false);
    Port().Configure(line);
    Ui().ShowPortRecord(line);
    SwitchDataRate(&line);
    return 0;
}

int Flash_XE167::EraseAndProgram() {
    Display& d = Ui();
    // The loader switches its line right after its first answer and the erase
    // command follows at once: no pause before the erase, unlike the base.
    d.SetPanelColor(Panel::Erase, Color::Lime);
    const bool erased = RunStep(Panel::Erase, [&] {
        SetControl(0x10);
        d.SetStatusText("Waiting while flash ROM being erased ");
        Erase();
    });
    if (!erased) return -1;
    ctx.ByteTimeoutMs = 1000;
    d.SetStatusText("Sending FLASH file \"" + ctx.FlashFilePath + "\"");
    d.SetPanelColor(Panel::Erase, Color::InactiveBorder);
    d.SetPanelColor(Panel::Flash, Color::Lime);
    if (!RunStep(Panel::Flash, [&] { ProgramFile(ctx.FlashFilePath, 0); })) return -1;
    SetControl(0x00);
    ShowProgrammingOk();
    return 0;
}

int Flash_XE167::ProgramFile(const std::string& path, int kind) {
    if (kind != 0) return -1;  // only the firmware file is ever sent
    const std::vector<uint8_t> data = Padded(Image(path), 2);
    WriteByte(0x22);
    const uint64_t size = data.size();
    for (int i = 0; i < 4; ++i) WriteByte(static_cast<uint8_t>(size >> (8 * i)));
    Expect(0x00, "waiting after size has been sent.", false);
    WriteByte(0x42);
    TransferPlan plan;
    plan.blockSize = kBlockSize;
    plan.lastBlockWhat = "waiting after flash last block has been sent.";
    Transfer(data, plan);
    return 0;
}

namespace {

// 768 KiB of on-chip flash that erases to 0000h; the loader wants Finish
// after the run.
constexpr const char* kRates[] = {"19200"};
// Bit times T x 57600 / rate that PDIV'+1 times 8..32 quanta make exactly from
// any 57600 set-up of 16 quanta (at 10 MHz T = 176: 88, 44, 22). 921600 (11)
// would outrun the loader's work per byte on the start-up clock
// (docs/loaders.md, "Fast data").
constexpr uint32_t kFastRates[] = {115200, 230400, 460800};
const TargetRow kTarget{.itemText = "XE167", .deviceCode = 8, .listPosition = 70, .className = "Flash_XE167",
                        .make = &MakeFlasher<Flash_XE167>, .eraseCommand = 0x62, .eraseAck = 0x00, .idByte = 0xD5,
                        .portRecord = PortRecordIndex(8), .framing = "8N1", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderXE167, .maxImageSize = 768 * 1024,
                        .erasedValue = 0x00, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = true, .simBoard = "xe167",
                        // Program flash from C0'0000h ([UM22] 3.9.4 for the XC2000 sibling;
                        // docs/xe167-facts.md).
                        .baseAddress = 0xC00000, .flashWindows = {}, .elfMachines = kElfMachinesC166,
                        .fastRates = kFastRates};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
