// STM32 boards: the ROM's USART boot loader (synchronisation on 0x7F, which
// also sets the rate; every command a byte and its complement; ACK 0x79 or
// NACK 0x1F; addresses and blocks with XOR checksums), SRAM and flash behind
// it, and behind Go whatever the host wrote to SRAM, run on an emulated
// Cortex-M core at the clock the ROM leaves, with USART1 and the family's
// flash interface modelled. A family is its traits: memory, core, the ROM's
// commands, the erase units and the flash interface (stm32f4_board.cpp).
//
// Modelled commands: Get, Get Version, Get ID, Read Memory, Go, Write Memory
// (SRAM and flash), and Erase or Extended Erase (all or listed units), as the
// family's boot loader version has them. Others are answered with NACK. The line's even parity cannot be seen through a
// pseudo-terminal; the flasher's line settings are checked on its side.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "loaders/loader_image.h"
#include "sim/arm_program.h"
#include "sim/board.h"
#include "sim/flash_model.h"

namespace qtx::sim {

struct Stm32Traits {
    const char* name;
    const LoaderImage* preloader;  // our image, for the log
    uint32_t sramSize;             // bytes at 0x20000000
    uint32_t flashBase;
    uint32_t flashSize;
    uint16_t productId;            // Get ID
    uint8_t version;               // boot loader version
    uint32_t clockHz;              // core clock the ROM leaves (HSI)
    ArmCpu::Core core;
    uint32_t usartBase;            // USART1, where the ROM leaves the line
    uint32_t romRamEnd;            // SRAM below this is the boot loader's own: Write Memory there is refused
    std::vector<uint8_t> commands; // as Get lists them: 0x43 Erase or 0x44 Extended Erase
    int eraseUnits;                // sectors or pages
    uint32_t (*unitStart)(int unit);  // offset into the flash
    uint32_t (*unitSize)(int unit);
    // Creates the flash interface over flash and maps its registers, the array
    // at flashBase and its size register onto cpu. eraseFails: the erase-fail
    // fault, for the interfaces that model it.
    std::unique_ptr<ArmDevice> (*mapFlash)(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck,
                                           uint32_t flashBase, bool eraseFails);
    bool f4Dma = false;            // the STM32F4's RCC and DMA2 are modelled for USART1 reception
};

extern const Stm32Traits kStm32f4Traits;

std::unique_ptr<Board> MakeStm32f4Board(const BoardConfig& config, BoardIo& io);

class Stm32RomBoard : public Board {
public:
    enum class Mode { Rom, Program, Halted };
    static constexpr uint32_t kSramBase = 0x20000000;
    static constexpr uint8_t kAck = 0x79;
    static constexpr uint8_t kNack = 0x1F;

    Stm32RomBoard(const Stm32Traits& traits, const BoardConfig& config, BoardIo& io);
    ~Stm32RomBoard() override;

    std::string Name() const override { return traits_.name; }
    // The ROM measured the host's rate; a program may set another divider.
    uint32_t ListenBaud() const override { return usart_ && usart_->Line().Checking() ? usart_->Rate() : baud_; }
    bool ChecksHostRate() const override { return usart_ && usart_->Line().Checking(); }
    // 8E1 for the ROM boot loader (AN3155, "USART bootloader code sequence":
    // even parity) and for the preloader, which keeps the USART as it finds it.
    int FrameBits() const override { return 11; }
    void Receive(uint8_t byte, uint32_t hostBaud) override;
    std::optional<Clock::time_point> NextTimer() const override;
    void OnTimer() override;
    void Reset() override;
    const FlashModel& Flash() const override { return flash_; }

    // Starts the ROM boot loader as after a reset with the boot pins set:
    // waiting for 0x7F, rate unknown.
    void EnterRom();
    Mode CurrentMode() const;
    ArmProgram* Program() { return program_.get(); }

private:
    enum class Rom { Sync, Command, Complement, Address, ReadLength, WriteData, EraseCount, EraseList, PageCount, PageList, Erasing };

    void RomByte(uint8_t byte, uint32_t hostBaud);
    void Dispatch();
    void AddressDone();
    void ReadDone();
    void WriteDone();
    void EraseCountDone();
    void EraseListDone();
    void PageCountDone();
    void PageListDone();
    void StartErase();
    void Jump(uint32_t address);
    void Ack();
    void Nack(const std::string& why);
    void Halt(const std::string& why);
    // Where [address, address + n) lies: 1 SRAM, 2 flash, 0 neither.
    int Region(uint32_t address, uint32_t n) const;
    uint32_t ClockHz() const { return config_.fastClock ? traits_.clockHz / 100 * 103 : traits_.clockHz; }
    uint8_t* Memory(uint32_t address);
    std::set<uint32_t> StuckCells() const;

    Stm32Traits traits_;
    BoardConfig config_;
    BoardIo& io_;
    FlashModel flash_;
    std::vector<uint8_t> sram_;
    std::unique_ptr<ArmProgram> program_;
    Stm32Usart* usart_ = nullptr;  // the running program's, owned by it
    Mode mode_ = Mode::Rom;
    Rom rom_ = Rom::Sync;
    uint32_t baud_ = 0;
    uint8_t command_ = 0;
    uint32_t address_ = 0;
    std::vector<uint8_t> in_;      // bytes of the current step
    std::size_t need_ = 0;         // bytes the current step takes
    std::vector<int> eraseList_;   // units of the running erase (all for a mass erase)
    Clock::time_point eraseDone_{};
    std::deque<uint8_t> pending_;
    uint64_t ignored_ = 0;         // bytes before the synchronisation
    uint64_t writes_ = 0;          // Write Memory commands since the ROM started
};

}  // namespace qtx::sim
