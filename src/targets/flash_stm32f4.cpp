#include "targets/flash_stm32f4.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include <algorithm>
#include <cstdio>

#include "loaders/loader_image.h"

namespace qtx {

namespace {

void Drain(Comport& port) {
    uint8_t b;
    while (port.Read(&b, 1) == 1) {
    }
}

std::size_t AddressBytes(uint32_t address, uint8_t out[5]) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(address >> (24 - 8 * i));
    out[4] = static_cast<uint8_t>(out[0] ^ out[1] ^ out[2] ^ out[3]);
    return 5;
}

}  // namespace

int Flash_stm32f4::Identify() {
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    Drain(port);
    WriteByte(0x7F);
    Expect(kAck, "waiting for controller ID", false);
    Drain(port);
    port.ClearErrors();
    port.PurgeTransmit();
    return 0;
}

void Flash_stm32f4::SendAcked(const uint8_t* data, std::size_t n) {
    WriteBytes(data, n);
    Expect(kAck, "waiting for ACK", false);
}

void Flash_stm32f4::WriteMemory(uint32_t address, const uint8_t* data, std::size_t n) {
    static const uint8_t kWriteMemory[2] = {0x31, 0xCE};
    SendAcked(kWriteMemory, 2);
    uint8_t addr[5];
    SendAcked(addr, AddressBytes(address, addr));
    uint8_t block[kBlockSize + 2];
    block[0] = static_cast<uint8_t>(n - 1);
    uint8_t x = block[0];
    for (std::size_t i = 0; i < n; ++i) x ^= block[1 + i] = data[i];
    block[n + 1] = x;
    SendAcked(block, n + 2);
}

uint64_t Flash_stm32f4::FirmwareSize(const std::string& path) { return Image(path).size(); }

int Flash_stm32f4::SendLoader() {
    Comport& port = Port();
    const LoaderImage& image = Loader();
    announcedSize_.reset();
    // A file that cannot be sent is refused before the preloader goes out.
    FirmwareSize(ctx.FlashFilePath);

    int state = 1;
    uint32_t address = image.loadAddress;
    std::size_t offset = 0, length = 0, blocks = 0;
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    PumpingSleep(ctx, 500);
    for (;;) {
        PumpAndCheckAbort();
        if (length != 0) Ui().SetProgress(std::min<int>(100, static_cast<int>(offset * 100 / length + 3)));
        if (state == 1) {
            length = image.size;
            // The final block always carries 1 to 256 bytes: an image whose
            // length is a multiple of 256 sends its last whole block as the final one.
            blocks = length == 0 ? 0 : (length - 1) / kBlockSize;
            Ui().SetStatusText(" Starting Preloader...");
            state = 2;
        }
        if (state == 2) {
            if (blocks > 0) {
                WriteMemory(address, image.data + offset, kBlockSize);
                address += kBlockSize;
                offset += kBlockSize;
                --blocks;
                continue;
            }
            if (length > offset) WriteMemory(address, image.data + offset, length - offset);
            state = 11;
            continue;
        }
        static const uint8_t kGo[2] = {0x21, 0xDE};
        SendAcked(kGo, 2);
        uint8_t addr[5];
        SendAcked(addr, AddressBytes(image.loadAddress, addr));
        PumpingSleep(ctx, 100);
        port.ClearErrors();
        port.PurgeReceive();
        port.PurgeTransmit();
        const uint64_t size = FirmwareSize(ctx.FlashFilePath);
        WriteByte(0x22);
        for (int i = 0; i < 4; ++i) WriteByte(static_cast<uint8_t>(size >> (8 * i)));
        Expect(0x00, "waiting after size has been sent.", false);
        announcedSize_ = size;
        Ui().SetStatusText(" Preloader running...");
        SwitchDataRate();
        return 0;
    }
}

int Flash_stm32f4::Program(const std::string& path) {
    const std::vector<uint8_t>& image = Image(path);
    const uint64_t size = image.size();
    if (announcedSize_ && *announcedSize_ != size) {
        char text[512];
        std::snprintf(text, sizeof text, "FLASH file \"%s\" is not the one announced: %llu bytes announced, %llu now",
                      path.c_str(), static_cast<unsigned long long>(*announcedSize_),
                      static_cast<unsigned long long>(size));
        Ui().SetStatusText(text);
        throw ProgramException{};
    }
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    WriteByte(0x42);
    TransferPlan plan;
    plan.lastBlockWhat = "waiting after last flash block has been sent.";
    plan.pauseAfterLastBlockMs = 500;
    Transfer(Padded(image, 2), plan);
    Finish();
    return 0;
}

namespace {

// 1 MiB of flash behind the ROM's USART boot loader at 8E1; our preloader
// erases on 0x62 and acknowledges it with 0x00.
constexpr const char* kRates[] = {"115200"};
// USART1 divides the 16 MHz HSI by BRR >= 16 (OVER8 = 0): these come within
// 0.8 % (docs/fast-rates.md); the preloader takes the data by DMA.
constexpr uint32_t kFastRates[] = {230400, 460800, 500000, 1000000};
const TargetRow kTarget{.itemText = "STM32F4", .deviceCode = 11, .listPosition = 100,
                        .className = "Flash_stm32f4", .make = &MakeFlasher<Flash_stm32f4>, .eraseCommand = 0x62,
                        .eraseAck = 0x00, .idByte = 0x00, .portRecord = PortRecordIndex(11), .framing = "8E1",
                        .dialogRates = kRates, .dialogSetsBaud = true, .dialogSetsFraming = true, .loader = &kLoaderStm32f4,
                        .maxImageSize = 1024 * 1024, .erasedValue = 0xFF, .hasEraseStage = true,
                        .forcesBootMode = true, .finishAfterRun = false, .simBoard = "stm32f4",
                        // Sector 0 at 0x0800 0000 (RM0090 3.3, Table 5).
                        .baseAddress = 0x08000000, .flashWindows = {}, .elfMachines = kElfMachinesArm,
                        .fastRates = kFastRates};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
