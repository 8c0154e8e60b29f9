#include "targets/flash_sam3.h"

#include "engine/target_table.h"
#include "settings/setup.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "loaders/loader_image.h"

namespace qtx {

namespace {

// How long the monitor must stay quiet after the last write command has left
// the line before its answers count as all in: the answer to the last command
// is a few characters, and a USB adapter holds received bytes up to its
// latency timer; twice that leaves room for the host's estimate of when its
// bytes left.
constexpr int kMonitorQuietMs = 2 * kAdapterLatencyMs;
// More monitor text than this before the preloader's 0x00 is not late answers.
constexpr int kMonitorTextLimit = 3 * 4096;
// The pause the monitor gets after the write commands before the start command.
constexpr int kAfterWritesMs = 400;

// Reads single bytes until the port has nothing more.
void Drain(Comport& port) {
    uint8_t b;
    while (port.Read(&b, 1) == 1) {
    }
}


// The 32-bit little-endian word at offset; bytes beyond the image count as 0.
unsigned long WordAt(const LoaderImage& image, std::size_t offset) {
    unsigned long word = 0;
    for (std::size_t i = 0; i < 4; ++i)
        if (offset + i < image.size) word |= static_cast<unsigned long>(image.data[offset + i]) << (8 * i);
    return word;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace



int Flash_sam3u::Identify() {
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    Drain(port);
    WriteText("V#");
    Expect(0x0A, "waiting for controller ID", false);
    // The rest of the version text is of no interest.
    Drain(port);
    port.ClearErrors();
    port.PurgeTransmit();
    return 0;
}

int Flash_sam3u::SendLoader() {
    Comport& port = Port();
    const LoaderImage& image = Loader();

    // Reset on every call: a run never continues an earlier one.
    struct {
        int state = 1;
        unsigned long address = 0;
        std::size_t offset = 0;
        std::size_t length = 0;
        bool idlePass = false;
    } s;

    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    PumpingSleep(ctx, 500);
    for (;;) {
        PumpAndCheckAbort();
        if (s.length != 0) Ui().SetProgress(static_cast<int>(s.offset * 100 / s.length));
        if (s.state == 1) {
            s.address = Loader().loadAddress;
            s.offset = 0;
            s.length = image.size;
            s.state = s.length != 0 ? 2 : 11;
        }
        if (s.state == 2) {
            // The monitor's answers are not read: the commands go out back to
            // back and the answers are purged before the start command.
            if (s.idlePass) {
                s.idlePass = false;
                if (s.offset >= s.length) s.state = 11;
                continue;
            }
            char command[32];
            std::snprintf(command, sizeof command, "W%08lX,%08lX#", s.address, WordAt(image, s.offset));
            s.address += 4;
            s.offset += 4;
            WriteText(command);
            s.idlePass = true;
            continue;
        }
        char command[16];
        std::snprintf(command, sizeof command, "G%lX#", static_cast<unsigned long>(Loader().loadAddress));
        Ui().SetStatusText(" Starting Preloader...");
        // The write commands went out without waiting for the monitor's
        // answers. The pause runs from the last write while they are still on
        // the line; it ends no earlier than the commands have left and their
        // answers are in, so that the purge below takes them all.
        MarkPause(ctx, kAfterWritesMs);
        AwaitQuietLine(kMonitorQuietMs, kAfterWritesMs);
        port.ClearErrors();
        port.PurgeReceive();
        WriteText(command);
        port.PurgeTransmit();
        PumpingSleep(ctx, 400);
        break;
    }
    // The monitor's line end before it jumps; then the preloader says it runs.
    // Answers to the write commands that a busy host or board let come after
    // the purge are monitor text too: skipped, never taken for the 0x00.
    const char* what = "waiting after BSL has been sent";
    for (int skipped = 0;; ++skipped) {
        const int b = Expect(0xFF, what, false);
        if (b == 0x00) break;
        if ((b != '\n' && b != '\r' && b != '>') || skipped >= kMonitorTextLimit) {
            char text[128];
            std::snprintf(text, sizeof text, "\nError %s\nReceived byte: %02Xh Expected: 00h\n", what, b);
            Ui().SetStatusText(text);
            throw CharErrorException{what, b, 0x00};
        }
    }
    Drain(port);
    PumpingSleep(ctx, 200);
    Ui().SetStatusText(" Preloader running...");
    SwitchDataRate();
    return 0;
}

std::string Flash_sam3u::ImageProblem(const std::vector<uint8_t>& image) const {
    const uint64_t fileSize = image.size();
    char text[512];
    // Between one bank and the start of bank 2 a file fits neither layout:
    // its tail would be sent as a bank-2 count that makes no sense.
    if (fileSize > kBankSize && fileSize < kBank2Offset) {
        std::snprintf(text, sizeof text,
                      "FLASH file %s has %llu bytes: it must fit one bank (at most 0x%llX bytes) or be a "
                      "two-bank image of at least 0x%llX bytes (bank 2 from offset 0x%llX)",
                      Quoted(ctx.FlashFilePath).c_str(), static_cast<unsigned long long>(fileSize),
                      static_cast<unsigned long long>(kBankSize), static_cast<unsigned long long>(kBank2Offset),
                      static_cast<unsigned long long>(kBank2Offset));
        return text;
    }
    // Bytes between the banks would be dropped without a word.
    if (fileSize >= kBank2Offset) {
        for (uint64_t i = kBankSize; i < kBank2Offset; ++i) {
            if (image[i] == 0xFF) continue;
            std::snprintf(text, sizeof text,
                          "FLASH file %s holds %02Xh at offset 0x%llX, between the banks (0x%llX to 0x%llX) where "
                          "the chip has no flash: that part of a two-bank image must be 0xFF",
                          Quoted(ctx.FlashFilePath).c_str(), image[i], static_cast<unsigned long long>(i),
                          static_cast<unsigned long long>(kBankSize), static_cast<unsigned long long>(kBank2Offset - 1));
            return text;
        }
    }
    return {};
}

int Flash_sam3u::Program(const std::string& path) {
    const std::vector<uint8_t>& image = Image(path);
    const uint64_t fileSize = image.size();
    if (const std::string problem = ImageProblem(image); !problem.empty()) {
        Ui().SetStatusText(problem);
        throw ProgramException{};
    }
    // What goes on the line: bank 1, then bank 2 from its file offset, padded to whole pairs.
    std::vector<uint8_t> data;
    TransferPlan plan;
    plan.blockSize = kBlockSize;
    plan.lastBlockWhat = "waiting after last flash block has been sent.";
    plan.pauseAfterLastBlockMs = 200;
    if (fileSize > kBankSize) {
        data.resize(kBankSize + (fileSize - kBank2Offset));
        std::memcpy(data.data(), image.data(), kBankSize);
        std::memcpy(data.data() + kBankSize, image.data() + kBank2Offset, fileSize - kBank2Offset);
        plan.marks.push_back({kBankSize, "Sending FLASH file " + Quoted(path) + " to FLASH 2"});
    } else {
        data = image;
    }
    data = Padded(data, 2);

    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    port.PurgeTransmit();
    // The preloader erases each page as its data come: the size command starts it all.
    BeforeFlashIsTouched();
    WriteByte(0x22);
    if (fileSize > kBankSize) Ui().SetStatusText("Sending FLASH file " + Quoted(path) + " to FLASH 1");
    const uint64_t size = data.size();
    for (int i = 0; i < 4; ++i) WriteByte(static_cast<uint8_t>(size >> (8 * i)));
    Expect(0x00, "waiting after size has been sent.", false);
    WriteByte(0x42);
    Transfer(data, plan);
    Finish();
    return 0;
}

namespace {

// The two-bank file layout (bank 2 from offset 0x80000, 128 KiB each) sets the
// largest image; the preloaders erase as they write. Both share a port record.
constexpr const char* kRates[] = {"57600", "115200"};
// The image's two banks as an application sees them. SAM3U4: IFLASH0 at
// 0x80000 and IFLASH1 at 0x100000, 128 KiB each (sam3u4e.h, ASF), so the bank-2
// offset 0x80000 is address - 0x80000. SAM3S4: one 256 KiB plane at 0x400000
// (sam3s4c.h, ASF) whose upper half the preloader takes from bank 2.
constexpr FlashWindow kWindowsU[] = {{0x080000, 0x20000, 0}, {0x100000, 0x20000, 0x80000}};
constexpr FlashWindow kWindowsS[] = {{0x400000, 0x20000, 0}, {0x420000, 0x20000, 0x80000}};
// The preloader's UART divides MCK by 16 x CD; with the monitor's CD of 26 for
// 115200 (MCK 48 MHz) these come within 0.2 % (docs/fast-rates.md). Every
// 256-byte page is answered, so the flash's page time never overruns the line.
constexpr uint32_t kFastRates[] = {230400, 500000, 1000000};
const TargetRow kTargetU{.itemText = "SAM3U", .deviceCode = 9, .listPosition = 80, .className = "Flash_sam3u",
                         .make = &MakeFlasher<Flash_sam3u>, .eraseCommand = 0x00, .eraseAck = 0x00, .idByte = 0x00,
                         .portRecord = PortRecordIndex(9), .framing = "8N1", .dialogRates = kRates,
                         .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderSam3u, .maxImageSize = 0xA0000,
                         .erasedValue = 0xFF, .hasEraseStage = false, .forcesBootMode = true,
                         .finishAfterRun = false, .simBoard = "sam3u", .baseAddress = 0x080000,
                         .flashWindows = kWindowsU, .elfMachines = kElfMachinesArm,
                         .fastRates = kFastRates};
const TargetRow kTargetS{.itemText = "SAM3S", .deviceCode = 10, .listPosition = 90, .className = "Flash_sam3s",
                         .make = &MakeFlasher<Flash_sam3s>, .eraseCommand = 0x00, .eraseAck = 0x00, .idByte = 0x00,
                         .portRecord = PortRecordIndex(10), .framing = "8N1", .dialogRates = kRates,
                         .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = &kLoaderSam3s, .maxImageSize = 0xA0000,
                         .erasedValue = 0xFF, .hasEraseStage = false, .forcesBootMode = true,
                         .finishAfterRun = false, .simBoard = "sam3s", .baseAddress = 0x400000,
                         .flashWindows = kWindowsS, .elfMachines = kElfMachinesArm,
                         .fastRates = kFastRates};
const TargetRegistration kRegisteredU(kTargetU);
const TargetRegistration kRegisteredS(kTargetS);

}  // namespace

}  // namespace qtx
