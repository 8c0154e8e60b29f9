#include "engine/target_table.h"

#include <cctype>

#include "settings/setup.h"

namespace qtx {

namespace {

// The processor list, in list order. The largest image is what the target's
// flash holds (the board's flash chip for the C16x family, C509 and GP4020; see
// docs/loaders.md); for the C509 also the 16-bit size of its program command;
// for T89C5xACx the 16-bit record address; for SAM3 the two-bank file layout
// (bank 2 from offset 0x80000, 128 KiB each).
const TargetRow kRows[] = {
    {.itemText = "C509", .deviceCode = 2, .className = "Flash_509", .eraseCommand = 0x02, .eraseAck = 0x02,
     .idByte = 0x55, .portRecord = PortRecordIndex(2), .loader = &kLoaderC509,
     .maxImageSize = 0xFFFF, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "C166/167", .deviceCode = 1, .className = "Flash_166", .eraseCommand = 0x62, .eraseAck = 0x00,
     .idByte = 0x55, .portRecord = PortRecordIndex(1), .loader = &kLoaderC166,
     .maxImageSize = 512 * 1024, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "C163", .deviceCode = 3, .className = "Flash_163", .eraseCommand = 0x62, .eraseAck = 0x00,
     .idByte = 0xD5, .portRecord = PortRecordIndex(3), .loader = &kLoaderC163,
     .maxImageSize = 512 * 1024, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "GP4020", .deviceCode = 4, .className = "Flash_4020", .eraseCommand = 0x62, .eraseAck = 0x00,
     .idByte = 0x55, .portRecord = PortRecordIndex(4), .loader = &kLoaderGP4020,
     .maxImageSize = 512 * 1024, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "XC164/167", .deviceCode = 5, .className = "Flash_164", .eraseCommand = 0x62, .eraseAck = 0x00,
     .idByte = 0xD5, .portRecord = PortRecordIndex(5), .loader = &kLoaderXC164,
     .maxImageSize = 256 * 1024, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "T89C5xACx", .deviceCode = 7, .className = "Flash_AC2", .eraseCommand = 0x00, .eraseAck = 0x00,
     .idByte = 0x55, .portRecord = PortRecordIndex(7), .loader = nullptr,
     .maxImageSize = 0x10000, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = false},
    {.itemText = "XE167", .deviceCode = 8, .className = "Flash_XE167", .eraseCommand = 0x62, .eraseAck = 0x00,
     .idByte = 0xD5, .portRecord = PortRecordIndex(8), .loader = &kLoaderXE167,
     .maxImageSize = 768 * 1024, .hasEraseStage = true, .forcesBootMode = false, .finishAfterRun = true},
    {.itemText = "SAM3U", .deviceCode = 9, .className = "Flash_sam3u", .eraseCommand = 0x00, .eraseAck = 0x00,
     .idByte = 0x00, .portRecord = PortRecordIndex(9), .loader = &kLoaderSam3u,
     .maxImageSize = 0xA0000, .hasEraseStage = false, .forcesBootMode = true, .finishAfterRun = false},
    {.itemText = "SAM3S", .deviceCode = 10, .className = "Flash_sam3s", .eraseCommand = 0x00, .eraseAck = 0x00,
     .idByte = 0x00, .portRecord = PortRecordIndex(10), .loader = &kLoaderSam3s,
     .maxImageSize = 0xA0000, .hasEraseStage = false, .forcesBootMode = true, .finishAfterRun = false},
    {.itemText = "STM32F4", .deviceCode = 11, .className = "Flash_stm32f4", .eraseCommand = 0x00, .eraseAck = 0x00,
     .idByte = 0x00, .portRecord = PortRecordIndex(11), .loader = &kLoaderStm32f4,
     .maxImageSize = 1024 * 1024, .hasEraseStage = true, .forcesBootMode = true, .finishAfterRun = false},
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

}  // namespace qtx
