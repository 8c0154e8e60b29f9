#include "engine/catalogue.h"

#include <cctype>

#include "engine/flash_c16x.h"
#include "targets/flash_4020.h"
#include "targets/flash_ac2.h"
#include "targets/flash_sam3.h"
#include "targets/flash_stm32f4.h"
#include "targets/flash_xe167.h"

namespace qtx {

namespace {

template <class T>
std::unique_ptr<X_Flash> Make(Context& ctx) {
    return std::make_unique<T>(ctx);
}

// The processor list, in list order. Targets join as their flashers land.
// item text, device code, class, EraseCommand, EraseAck, IdByte, port record, factory, loader,
// largest image, board. The largest image is what the target's flash holds (the board's flash
// chip for the C16x family, C509 and GP4020; see docs/loaders.md); for the C509 also the
// 16-bit size of its program command; for T89C5xACx the 16-bit record address; for SAM3 the
// two-bank file layout (bank 2 from offset 0x80000, 128 KiB each).
const TargetRow kRows[] = {
    {"C509", 2, "Flash_509", 0x02, 0x02, 0x55, 0, &Make<Flash_509>, &kLoaderC509, 0xFFFF, "c509"},
    {"C166/167", 1, "Flash_166", 0x62, 0x00, 0x55, 1, &Make<Flash_166>, &kLoaderC166, 512 * 1024, "c167"},
    {"C163", 3, "Flash_163", 0x62, 0x00, 0xD5, 2, &Make<Flash_163>, &kLoaderC163, 512 * 1024, "c163"},
    {"GP4020", 4, "Flash_4020", 0x62, 0x00, 0x55, 3, &Make<Flash_4020>, &kLoaderGP4020, 512 * 1024, "gp4020"},
    {"XC164/167", 5, "Flash_164", 0x62, 0x00, 0xD5, 4, &Make<Flash_164>, &kLoaderXC164, 256 * 1024, "xc164"},
    {"T89C5xACx", 7, "Flash_AC2", 0x00, 0x00, 0x55, 6, &Make<Flash_AC2>, nullptr, 0x10000, "t89c5xacx"},
    {"XE167", 8, "Flash_XE167", 0x62, 0x00, 0xD5, 7, &Make<Flash_XE167>, &kLoaderXE167, 768 * 1024, "xe167"},
    {"SAM3U", 9, "Flash_sam3u", 0x00, 0x00, 0x00, 8, &Make<Flash_sam3u>, &kLoaderSam3u, 0xA0000, "sam3u"},
    {"SAM3S", 10, "Flash_sam3s", 0x00, 0x00, 0x00, 8, &Make<Flash_sam3s>, &kLoaderSam3s, 0xA0000, "sam3s"},
    {"STM32F4", 11, "Flash_stm32f4", 0x00, 0x00, 0x00, 9, &Make<Flash_stm32f4>, &kLoaderStm32f4, 1024 * 1024,
     "stm32f4"},
};

}  // namespace

std::span<const TargetRow> Catalogue() { return kRows; }

const TargetRow* FindTargetByCode(int32_t deviceCode) {
    for (const TargetRow& row : kRows)
        if (row.deviceCode == deviceCode) return &row;
    return nullptr;
}

const TargetRow* FindTargetByText(std::string_view text) {
    for (const TargetRow& row : kRows) {
        std::string_view item = row.itemText;
        if (item.size() != text.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < item.size() && same; ++i)
            same = std::tolower(static_cast<unsigned char>(item[i])) == std::tolower(static_cast<unsigned char>(text[i]));
        if (same) return &row;
    }
    return nullptr;
}

int ListIndexOfCode(int32_t deviceCode) {
    for (std::size_t i = 0; i < std::size(kRows); ++i)
        if (kRows[i].deviceCode == deviceCode) return static_cast<int>(i);
    return -1;
}

int SelectTarget(Context& ctx, int32_t deviceCode) {
    const TargetRow* row = FindTargetByCode(deviceCode);
    if (!row) return -1;
    ctx.ActiveFlasher.reset();
    ctx.setup.SetDeviceCode(row->deviceCode);
    ctx.display.ShowPortRecord(ctx.setup.Ports[row->portRecord]);
    auto flasher = row->create(ctx);
    flasher->EraseCommand = row->eraseCommand;
    flasher->EraseAck = row->eraseAck;
    flasher->IdByte = row->idByte;
    ctx.ActiveFlasher = std::move(flasher);
    return 0;
}

}  // namespace qtx
