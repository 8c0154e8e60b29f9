// Flash controllers of the emulated ARM chips, strict as the manuals are:
// each one owns a window of registers and the flash array's window, works on
// the board's FlashModel, keeps its busy flag for the datasheet's typical
// time, and reports misuse to the CPU (writes without the unlock or key,
// writes while busy, programming cells that are not erased, wrong access
// widths). A stuck cell cannot clear the lowest bit a write asks it to clear,
// so a loader's read-back finds it.
#pragma once

#include <cstdint>
#include <set>

#include "sim/arm_cpu.h"
#include "sim/flash_model.h"

namespace qtx::sim {

// An STM32 flash size register (F_SIZE, KiB) in a read-only window that
// starts fieldOffset bytes before it; the rest of the window reads 0.
struct FlashSizeView : ArmDevice {
    uint16_t kib = 0;
    uint32_t fieldOffset = 0;
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t, unsigned, uint32_t) override {}
};

// STM32F4 flash interface (RM0090 3.9): ACR, KEYR, OPTKEYR, SR, CR, OPTCR at
// 0x40023C00, the 1 MiB array at 0x08000000 in the sectors of RM0090 3.3
// Table 5, and the flash size register of RM0090 39.2.
class Stm32Flash : public ArmDevice {
public:
    Stm32Flash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck);
    ArmDevice& Array() { return array_; }
    ArmDevice& SizeRegister() { return sizeRegister_; }
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;

private:
    struct ArrayView : ArmDevice {
        Stm32Flash* f;
        uint32_t Read(uint32_t offset, unsigned size) override { return f->ArrayRead(offset, size); }
        void Write(uint32_t offset, unsigned size, uint32_t value) override { f->ArrayWrite(offset, size, value); }
    };
    uint32_t ArrayRead(uint32_t offset, unsigned size);
    void ArrayWrite(uint32_t offset, unsigned size, uint32_t value);
    void StartOperation();
    void WaitIfBusy(const char* what);
    bool Busy();

    ArmCpu& cpu_;
    FlashModel& flash_;
    std::set<uint32_t> stuck_;
    ArrayView array_;
    FlashSizeView sizeRegister_;
    bool locked_ = true;
    bool lockedUntilReset_ = false;
    int keyStage_ = 0;
    uint32_t cr_ = 1u << 31;
    uint32_t sr_ = 0;            // error and EOP flags
    bool eopPending_ = false;
    EmuNs busyUntil_ = 0;
};

// SAM3 Enhanced Embedded Flash Controller and its plane (register layout and
// commands as in libopencm3 sam/eefc.h, write rules from the SAM4E datasheet
// 21.4.3.2, same controller): FMR, FCR, FSR, FRR; a 256-byte latch buffer written with 32-bit
// words in ascending order at the page's addresses; commands with key 0x5A.
class Sam3Eefc : public ArmDevice {
public:
    // The plane at planeBase holds planeSize bytes, kept at modelOffset of flash.
    Sam3Eefc(ArmCpu& cpu, FlashModel& flash, uint32_t modelOffset, uint32_t planeSize, std::set<uint32_t> stuck);
    ArmDevice& Plane() { return plane_; }
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;
    uint32_t Fws() const { return (fmr_ >> 8) & 0xF; }

private:
    struct PlaneView : ArmDevice {
        Sam3Eefc* e;
        uint32_t Read(uint32_t offset, unsigned size) override { return e->PlaneRead(offset, size); }
        void Write(uint32_t offset, unsigned size, uint32_t value) override { e->PlaneWrite(offset, size, value); }
    };
    uint32_t PlaneRead(uint32_t offset, unsigned size);
    void PlaneWrite(uint32_t offset, unsigned size, uint32_t value);
    void Command(uint32_t value);
    void ProgramLatch(uint32_t page);
    bool Busy();

    static constexpr uint32_t kPage = 256;
    ArmCpu& cpu_;
    FlashModel& flash_;
    uint32_t modelOffset_;
    uint32_t planeSize_;
    std::set<uint32_t> stuck_;
    PlaneView plane_;
    uint32_t fmr_ = 0;
    uint32_t fsrErrors_ = 0;
    uint32_t frr_ = 0;
    uint8_t latch_[kPage];
    int lastLatchWord_ = -1;      // none since the last command
    EmuNs busyUntil_ = 0;
};

// The value a cell holds after programming value over old, with a stuck cell
// failing to clear the lowest bit it was asked to clear.
uint8_t ProgrammedCell(uint8_t old, uint8_t value, bool stuck);

}  // namespace qtx::sim
