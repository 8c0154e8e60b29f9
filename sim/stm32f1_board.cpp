// The STM32F103 family behind the STM32 ROM board (stm32_board.h): a
// high-density part (STM32F103xE: 512 KiB in 2 KiB pages, 64 KiB of SRAM) as
// "stm32f1", and a medium-density one (STM32F103xB: 128 KiB in 1 KiB pages,
// 20 KiB of SRAM) as "stm32f1-md", so that both page sizes are exercised.
#include "sim/boards.h"
#include "sim/stm32_board.h"
#include "sim/stm32f1_flash.h"

namespace qtx {
extern const LoaderImage kLoaderStm32f1;
}

namespace qtx::sim {

namespace {

// RM0008 3.3.3 Tables 5 and 6: pages of 1 KiB (medium density), 2 KiB (high density).
uint32_t PageStart1K(int page) { return uint32_t(page) * 0x400; }
uint32_t PageSize1K(int) { return 0x400; }
uint32_t PageStart2K(int page) { return uint32_t(page) * 0x800; }
uint32_t PageSize2K(int) { return 0x800; }

// RM0008 3.3 Table 3: the flash interface at 0x40022000; RM0008 30.1.1: the
// flash size register at 0x1FFFF7E0.
template <uint32_t kPage>
std::unique_ptr<ArmDevice> MapFlash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck, uint32_t flashBase,
                                    bool eraseFails) {
    auto f = std::make_unique<Stm32f1Flash>(cpu, flash, std::move(stuck), kPage, eraseFails);
    cpu.MapDevice(0x40022000, 0x24, *f);
    cpu.MapDevice(flashBase, uint32_t(flash.Size()), f->Array());
    cpu.MapDevice(0x1FFFF7E0, 4, f->SizeRegister());
    return f;
}

// The ROM boot loader runs on the 8 MHz HSI (RM0008 3.4; DS5319 Table 24) and
// talks on USART1 at 0x40013800 (RM0008 3.3 Table 3). It keeps the SRAM from
// 0x20000000 to 0x200001FF for itself (AN2606, STM32F10xxx). Its version
// byte 0x22 (boot loader 2.2, with Erase 0x43 rather than Extended Erase) was
// not found in a primary source. Product ids: 0x414 high, 0x410 medium density.
Stm32Traits F1Traits(const char* name, uint32_t sram, uint32_t flash, uint16_t id, bool pages2K) {
    return Stm32Traits{.name = name,
                       .preloader = &kLoaderStm32f1,
                       .sramSize = sram,
                       .flashBase = 0x08000000,
                       .flashSize = flash,
                       .productId = id,
                       .version = 0x22,
                       .clockHz = 8000000,
                       .core = ArmCpu::Core::CortexM3,
                       .usartBase = 0x40013800,
                       .romRamEnd = 0x20000200,
                       .commands = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x43},
                       .eraseUnits = int(flash / (pages2K ? 0x800 : 0x400)),
                       .unitStart = pages2K ? &PageStart2K : &PageStart1K,
                       .unitSize = pages2K ? &PageSize2K : &PageSize1K,
                       .mapFlash = pages2K ? &MapFlash<0x800> : &MapFlash<0x400>};
}

const Stm32Traits kHighDensity = F1Traits("stm32f1", 64 * 1024, 512 * 1024, 0x0414, true);
const Stm32Traits kMediumDensity = F1Traits("stm32f1-md", 20 * 1024, 128 * 1024, 0x0410, false);

const BoardRegistration kHigh{
    {"stm32f1", "STM32F103xE USART boot loader (0x7F, ACK 0x79, 8E1), 1052-byte preloader, 512 KiB flash in 2 KiB pages",
     [](const BoardConfig& c, BoardIo& io) -> std::unique_ptr<Board> {
         return std::make_unique<Stm32RomBoard>(kHighDensity, c, io);
     },
     110, true}};
const BoardRegistration kMedium{
    {"stm32f1-md", "STM32F103xB, as stm32f1 with 128 KiB flash in 1 KiB pages and 20 KiB SRAM",
     [](const BoardConfig& c, BoardIo& io) -> std::unique_ptr<Board> {
         return std::make_unique<Stm32RomBoard>(kMediumDensity, c, io);
     },
     111, true}};

}  // namespace

}  // namespace qtx::sim
