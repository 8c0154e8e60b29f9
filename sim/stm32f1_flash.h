// STM32F101/103 flash interface, strict as PM0075 is: the FPEC registers at
// 0x40022000 (ACR, KEYR, OPTKEYR, SR, CR, AR, OBR, WRPR; PM0075 3), the array
// at 0x08000000 in pages of 1 KiB (medium density) or 2 KiB (high density,
// RM0008 3.3.3), and the flash size register of RM0008 30.1.1 at 0x1FFFF7E0.
// Half-word programming only, PGERR over cells that are not erased, BSY for
// the datasheet's times, EOP after each operation that succeeded. Misuse goes
// to the CPU; stuck cells behave as ProgrammedCell says.
#pragma once

#include <cstdint>
#include <set>

#include "sim/arm_cpu.h"
#include "sim/arm_periph_flash.h"
#include "sim/flash_model.h"

namespace qtx::sim {

class Stm32f1Flash : public ArmDevice {
public:
    // pageSize: 1024 or 2048 bytes; the part's size is flash.Size(). With
    // eraseFails every erase ends as on a write-protected page: WRPRTERR set,
    // no EOP, nothing erased (PM0075 3.4).
    Stm32f1Flash(ArmCpu& cpu, FlashModel& flash, std::set<uint32_t> stuck, uint32_t pageSize,
                 bool eraseFails = false);
    ArmDevice& Array() { return array_; }
    ArmDevice& SizeRegister() { return sizeRegister_; }
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;
    uint32_t Latency() const { return acr_ & 7u; }

private:
    struct ArrayView : ArmDevice {
        Stm32f1Flash* f;
        uint32_t Read(uint32_t offset, unsigned size) override { return f->ArrayRead(offset, size); }
        void Write(uint32_t offset, unsigned size, uint32_t value) override { f->ArrayWrite(offset, size, value); }
    };
    uint32_t ArrayRead(uint32_t offset, unsigned size);
    void ArrayWrite(uint32_t offset, unsigned size, uint32_t value);
    void StartErase();
    void WaitIfBusy(const char* what);
    void Settle();
    bool Busy() const;

    ArmCpu& cpu_;
    FlashModel& flash_;
    std::set<uint32_t> stuck_;
    uint32_t pageSize_;
    ArrayView array_;
    FlashSizeView sizeRegister_;  // the window starts at F_SIZE, 0x1FFFF7E0
    uint32_t acr_ = 0x30;        // PM0075 3.1 reset value: prefetch on, zero wait states
    bool locked_ = true;
    bool lockedUntilReset_ = false;
    int keyStage_ = 0;
    uint32_t cr_ = 0;            // without LOCK (locked_) and STRT (erasing_ while busy)
    uint32_t sr_ = 0;            // PGERR, WRPRTERR, EOP
    uint32_t ar_ = 0;
    bool erasing_ = false;
    bool eopPending_ = false;    // set once the running operation ends
    bool eraseFails_ = false;
    bool errorPending_ = false;  // WRPRTERR once the running erase ends
    EmuNs busyUntil_ = 0;
};

}  // namespace qtx::sim
