#include "targets/flash_xe167.h"

#include "loaders/loader_image.h"

namespace qtx {

int Flash_XE167::SendLoader() {
    // The stored record keeps the bootstrap rate for the next run; only the
    // open line moves to the loader's rate.
    PortRecord line = PortRecord::Make("COM1", "8N1", kLoaderBaud);
    if (const PortRecord* stored = ctx.SelectedPortRecord()) line.SetName(stored->Name());
    WriteLoaderImage(kLoaderXE167);
    Expect(0x00, "waiting after BSL has been sent", false);
    Port().Configure(line);
    Ui().ShowPortRecord(line);
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
        EraseCommand = 0x62;
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

}  // namespace qtx
