// libFuzzer target: the loading of firmware files fed arbitrary bytes: Intel
// HEX and S-records through srecord, ELF through libelf, and the placement
// into a target's flash. Three kinds of target (one window, two banks, a flash
// that erases to 00h) and five names (each format's extension, and none), so
// that both the content and the name pick the reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "engine/firmware_load.h"
#include "engine/target_table.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

constexpr qtx::FlashWindow kTwoBanks[] = {{0x080000, 0x20000, 0}, {0x100000, 0x20000, 0x80000}};

qtx::TargetRow Row(const char* text, uint64_t maxImageSize, uint8_t erased, uint32_t base,
                   std::span<const qtx::FlashWindow> windows, std::span<const uint16_t> machines) {
    qtx::TargetRow row{};
    row.itemText = text;
    row.maxImageSize = maxImageSize;
    row.erasedValue = erased;
    row.baseAddress = base;
    row.flashWindows = windows;
    row.elfMachines = machines;
    return row;
}

const qtx::TargetRow kTargets[] = {
    Row("one window", 0x40000, 0xFF, 0x08000000, {}, qtx::kElfMachinesArm),
    Row("two banks", 0xA0000, 0xFF, 0x080000, kTwoBanks, qtx::kElfMachinesArm),
    Row("erased 00h", 0x10000, 0x00, 0, {}, qtx::kElfMachinesC166),
};
const char* const kNames[] = {"fw", "fw.hex", "fw.s19", "fw.elf", "fw.bin"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const qtx::TargetRow& target = kTargets[size % 3];
    const std::string name = kNames[(size / 3) % 5];
    qtx::LoadedFirmware firmware;
    std::string why;
    if (qtx::DecodeFirmware(name, std::span<const uint8_t>(data, size), target, firmware, why)) {
        Check(why.empty());
        Check(!firmware.image.empty() && firmware.image.size() <= target.maxImageSize);
        Check(!qtx::FirmwareSummary(firmware, target).empty());
    } else {
        Check(firmware.image.empty());
        Check(why.find("nothing was sent") != std::string::npos);
    }
    return 0;
}
