// STM32F4 DMA2 (RM0090 10, registers 10.5) as far as a loader can use it to
// receive from USART1: stream 2 or 5 on channel 4 (RM0090 Table 43, "DMA2
// request mapping"), peripheral to memory, bytes, memory increment, circular
// or not, direct mode. Every other set-up halts the program, since a model
// that moved data its own way would prove nothing. The stream moves each byte
// as the USART's request comes (its few bus cycles are not modelled) and
// counts NDTR down; in circular mode NDTR reloads at 0.
//
// The RCC model holds AHB1ENR only (RM0090 7.3.10): DMA2EN must be set before
// the stream is used, as on the chip, where the ROM's choice is not known.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/arm_cpu.h"
#include "sim/arm_periph_uart.h"

namespace qtx::sim {

class Stm32Rcc : public ArmDevice {
public:
    static constexpr uint32_t kBase = 0x40023800;   // RM0090 2.3 memory map
    static constexpr uint32_t kSize = 0x88;
    explicit Stm32Rcc(ArmCpu& cpu) : cpu_(cpu) {}
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;
    bool Dma2Clock() const { return ahb1enr_ & (1u << 22); }

private:
    ArmCpu& cpu_;
    uint32_t ahb1enr_ = 0x00100000;   // reset value: CCMDATARAMEN only
};

class Stm32Dma2 : public ArmDevice {
public:
    static constexpr uint32_t kBase = 0x40026400;   // RM0090 2.3 memory map
    static constexpr uint32_t kSize = 0xD0;

    // The stream writes into ram (at ramBase) and serves usart's requests.
    Stm32Dma2(ArmCpu& cpu, const Stm32Rcc& rcc, Stm32Usart& usart, std::vector<uint8_t>& ram, uint32_t ramBase);
    uint32_t Read(uint32_t offset, unsigned size) override;
    void Write(uint32_t offset, unsigned size, uint32_t value) override;

private:
    struct Stream {
        uint32_t cr = 0, ndtr = 0, par = 0, m0ar = 0, m1ar = 0, fcr = 0x21;
        uint32_t count = 0;     // NDTR as the stream was enabled, for the circular reload
        uint32_t index = 0;     // bytes written since the start of the buffer
    };
    bool Request(uint8_t byte);
    void Enable(int s);

    ArmCpu& cpu_;
    const Stm32Rcc& rcc_;
    Stm32Usart& usart_;
    std::vector<uint8_t>& ram_;
    uint32_t ramBase_;
    Stream streams_[8];
    uint32_t lisr_ = 0, hisr_ = 0;
    int serving_ = -1;          // the stream USART1_RX is connected to
};

}  // namespace qtx::sim
