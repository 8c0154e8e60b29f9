#include "engine/catalogue.h"

#include <cctype>

#include "engine/flash_c16x.h"

namespace qtx {

namespace {

template <class T>
std::unique_ptr<X_Flash> Make(Context& ctx) {
    return std::make_unique<T>(ctx);
}

// List order of the processor list. Further targets join as their flashers land.
const TargetRow kRows[] = {
    {"C166/167", 1, "Flash_166", 0x62, 0x00, 0x55, 1, &Make<Flash_166>, &kLoaderC166, "c167"},
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
