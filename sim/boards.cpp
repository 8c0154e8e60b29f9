#include "sim/boards.h"

#include "sim/ac2_board.h"
#include "sim/c166_board.h"
#include "sim/c509_board.h"
#include "sim/gp4020_board.h"
#include "sim/sam3_board.h"
#include "sim/stm32f4_board.h"
#include "sim/xc164_board.h"
#include "sim/xe167_board.h"

namespace qtx::sim {

const std::vector<BoardKind>& KnownBoards() {
    static const std::vector<BoardKind> kinds = {
        {"c167", "C166/167 bootstrap loader (id 0x55), 810-byte loader on the C166 core, Am29F400BB 512 KiB",
         [](const BoardConfig& c, BoardIo& io) { return MakeC166EmuBoard(kC167EmuBoard, c, io); }},
        {"c163", "C163 bootstrap loader (id 0xD5), 702-byte loader on the C166 core, Am29F400BB 512 KiB",
         [](const BoardConfig& c, BoardIo& io) { return MakeC166EmuBoard(kC163EmuBoard, c, io); }},
        {"xc164", "XC164/167 bootstrap loader at 19200 (id 0xD5), 1854-byte loader on the C166 core at 57600, 256 KiB on-chip flash", MakeXc164EmuBoard},
        {"c509", "C509 ROM loader (id 0x55, XOR-checked blocks), 466-byte loader, 64 KiB flash", MakeC509Board},
        {"t89c5xacx", "T89C5xACx ISP boot loader (autobaud \"U\", Intel-HEX records with echo), 64 KiB flash", MakeAc2Board},
        {"gp4020", "GP4020 ROM download at 57600 (24-bit length), 2012-byte loader on the ARM7TDMI, Am29LV400BB 512 KiB", MakeGp4020Board},
        {"xe167", "XE167 UART bootstrap loader (measured rate, id 0xD5), 2074-byte loader on the C166 core at 57600, USIC, 768 KiB on-chip flash", MakeXe167EmuBoard},
        {"sam3u", "SAM3U ROM monitor at 115200 (V#, W, G), 3252-byte preloader, two 128 KiB flash banks", MakeSam3uBoard},
        {"sam3s", "SAM3S ROM monitor at 115200 (V#, W, G), 2532-byte preloader, one 128 KiB flash bank", MakeSam3sBoard},
        {"stm32f4", "STM32F4 USART boot loader (0x7F, ACK 0x79, 8E1), 7092-byte preloader, 1 MiB flash", MakeStm32f4Board},
    };
    return kinds;
}

const BoardKind* FindBoard(const std::string& name) {
    for (const auto& k : KnownBoards())
        if (k.name == name) return &k;
    return nullptr;
}

std::string KnownBoardNames() {
    std::string s;
    for (const auto& k : KnownBoards()) s += (s.empty() ? "" : ", ") + k.name;
    return s;
}

}  // namespace qtx::sim
