// The STM32F4 family behind the STM32 ROM board (stm32_board.h).
#include "sim/arm_periph_flash.h"
#include "sim/boards.h"
#include "sim/stm32_board.h"

namespace qtx::sim {

namespace {

// RM0090 3.3 Table 5: four sectors of 16 KiB, one of 64 KiB, seven of 128 KiB.
uint32_t SectorStart(int sector) {
    if (sector <= 4) return uint32_t(sector) * 0x4000;
    return uint32_t(sector - 4) * 0x20000;
}

uint32_t SectorSize(int sector) {
    if (sector < 4) return 0x4000;
    return sector == 4 ? 0x10000 : 0x20000;
}

// RM0090 2.3 "Memory map": the flash interface at 0x40023C00; RM0090 39.2:
// the flash size register at 0x1FFF7A22. The erase-fail fault is not modelled here.
std::unique_ptr<ArmDevice> MapFlash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck, uint32_t flashBase,
                                    bool /*eraseFails*/) {
    auto f = std::make_unique<Stm32Flash>(cpu, flash, std::move(stuck));
    cpu.MapDevice(0x40023C00, 0x18, *f);
    cpu.MapDevice(flashBase, uint32_t(flash.Size()), f->Array());
    cpu.MapDevice(0x1FFF7A20, 4, f->SizeRegister());
    return f;
}

}  // namespace

// STM32F405/407: 128 KiB of SRAM1 and SRAM2, 1 MiB of flash, boot loader 3.1
// with Extended Erase. The ROM boot loader runs on the 16 MHz HSI (AN2606,
// STM32F40xxx/41xxx boot loader configuration); USART1 at 0x40011000 (RM0090 2.3).
const Stm32Traits kStm32f4Traits{.name = "stm32f4",
                                 .preloader = &kLoaderStm32f4,
                                 .sramSize = 128 * 1024,
                                 .flashBase = 0x08000000,
                                 .flashSize = 1024 * 1024,
                                 .productId = 0x0413,
                                 .version = 0x31,
                                 .clockHz = 16000000,
                                 .core = ArmCpu::Core::CortexM4,
                                 .usartBase = 0x40011000,
                                 .romRamEnd = 0x20000000,  // not modelled
                                 .commands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44},
                                 .eraseUnits = 12,
                                 .unitStart = &SectorStart,
                                 .unitSize = &SectorSize,
                                 .mapFlash = &MapFlash,
                                 .f4Dma = true};

std::unique_ptr<Board> MakeStm32f4Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Stm32RomBoard>(kStm32f4Traits, config, io);
}

namespace {

const BoardRegistration kRegistered{
    {"stm32f4", "STM32F4 USART boot loader (0x7F, ACK 0x79, 8E1), 7092-byte preloader, 1 MiB flash",
     MakeStm32f4Board, 100, true}};

}  // namespace

}  // namespace qtx::sim
