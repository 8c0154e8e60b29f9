// The peripheral models of the emulated ARM chips, driven register by register
// on a core that runs no code: what the strict flash refuses and what an
// overrun does, so that a model's own mistakes show.
#include <gtest/gtest.h>

#include "sim/arm_cpu.h"
#include "sim/arm_periph_flash.h"
#include "sim/arm_periph_uart.h"

namespace qtx::sim {
namespace {

class Io : public BoardIo {
public:
    void Send(const uint8_t* data, std::size_t n) override { sent.insert(sent.end(), data, data + n); }
    void Log(const std::string&) override {}
    Clock::time_point Now() const override { return {}; }
    std::vector<uint8_t> sent;
};

constexpr EmuNs kUs = 1000, kMs = 1000000;

// RM0090 3.9: KEYR 0x04, SR 0x0C, CR 0x10; CR: PG bit 0, SER bit 1, SNB from bit 3, PSIZE bits 8-9, STRT bit 16.
constexpr uint32_t kKeyr = 0x04, kSr = 0x0C, kCr = 0x10;
constexpr uint32_t kPgX32 = 0x201, kBsy = 1u << 16, kPgserr = 1u << 7, kPgperr = 1u << 6;

TEST(Stm32FlashModel, RefusesWhatTheManualForbids) {
    ArmCpu cpu(ArmCpu::Core::CortexM4, 16000000);
    FlashModel flash(1024 * 1024);
    Stm32Flash f(cpu, flash, {0x101});
    ArmDevice& array = f.Array();

    array.Write(0x100, 4, 0x12345678);   // still locked
    EXPECT_EQ(cpu.MisuseCount("flash written without unlock"), 1u);
    EXPECT_EQ(flash.Read(0x100), 0xFF);
    EXPECT_TRUE(f.Read(kSr, 4) & kPgserr);

    f.Write(kKeyr, 4, 0x45670123);
    f.Write(kKeyr, 4, 0xCDEF89AB);
    f.Write(kCr, 4, kPgX32);
    array.Write(0x100, 2, 0x5678);       // half-word with PSIZE x32
    EXPECT_EQ(cpu.MisuseCount("flash write width differs from PSIZE"), 1u);
    EXPECT_TRUE(f.Read(kSr, 4) & kPgperr);
    EXPECT_EQ(flash.Read(0x100), 0xFF);

    array.Write(0x104, 4, 0x00000000);
    EXPECT_TRUE(f.Read(kSr, 4) & kBsy) << "16 us typical per word (DS8626)";
    array.Write(0x108, 4, 0x11111111);   // before BSY clears: the bus stalls
    EXPECT_EQ(cpu.MisuseCount("access to busy flash"), 1u);
    EXPECT_GE(cpu.Now(), 16 * kUs);
    cpu.AdvanceTo(cpu.Now() + 20 * kUs);
    EXPECT_FALSE(f.Read(kSr, 4) & kBsy);

    array.Write(0x104, 4, 0xFFFF0000);   // over programmed cells
    EXPECT_EQ(cpu.MisuseCount("programming a non-erased cell"), 1u);
    cpu.AdvanceTo(cpu.Now() + 20 * kUs);
    array.Write(0x100, 4, 0x00000000);   // cell 0x101 is stuck: its lowest bit stays set
    EXPECT_EQ(flash.Read(0x100), 0x00);
    EXPECT_EQ(flash.Read(0x101), 0x01);
}

TEST(Stm32FlashModel, SectorEraseTakesTheDatasheetTimeAndAWrongKeyLocksUntilReset) {
    ArmCpu cpu(ArmCpu::Core::CortexM4, 16000000);
    FlashModel flash(1024 * 1024);
    flash.Program(0x4000, 0x00);   // sector 1
    flash.Program(0x8000, 0x00);   // sector 2
    Stm32Flash f(cpu, flash, {});
    f.Write(kKeyr, 4, 0x45670123);
    f.Write(kKeyr, 4, 0xCDEF89AB);
    f.Write(kCr, 4, 0x200 | 0x2 | (1u << 3) | (1u << 16));   // x32, SER, sector 1, STRT
    EXPECT_EQ(flash.Read(0x4000), 0xFF);
    EXPECT_EQ(flash.Read(0x8000), 0x00) << "only the sector named";
    EXPECT_TRUE(f.Read(kSr, 4) & kBsy);
    cpu.AdvanceTo(249 * kMs);
    EXPECT_TRUE(f.Read(kSr, 4) & kBsy);
    cpu.AdvanceTo(251 * kMs);
    EXPECT_FALSE(f.Read(kSr, 4) & kBsy);

    ArmCpu cpu2(ArmCpu::Core::CortexM4, 16000000);
    Stm32Flash g(cpu2, flash, {});
    g.Write(kKeyr, 4, 0xCDEF89AB);       // keys in the wrong order
    g.Write(kKeyr, 4, 0x45670123);
    g.Write(kKeyr, 4, 0xCDEF89AB);
    EXPECT_EQ(cpu2.MisuseCount("wrong flash key sequence"), 1u);
    EXPECT_TRUE(g.Read(kCr, 4) & (1u << 31)) << "locked until the next reset (RM0090 3.5.1)";
}

// SAM3 EEFC: FCR 0x04 (key 0x5A in bits 24-31), FSR 0x08 (FRDY bit 0, FCMDE bit 1).
TEST(Sam3EefcModel, RefusesWhatTheManualForbids) {
    ArmCpu cpu(ArmCpu::Core::CortexM3, 48000000);
    FlashModel flash(0x40000);
    Sam3Eefc e(cpu, flash, 0, 0x40000, {});
    ArmDevice& plane = e.Plane();

    e.Write(0x04, 4, 0x00000103);        // EWP page 1 without the key
    EXPECT_EQ(cpu.MisuseCount("flash command without key"), 1u);
    EXPECT_EQ(e.Read(0x08, 4), 0x3u) << "FRDY and FCMDE";
    EXPECT_EQ(e.Read(0x08, 4), 0x1u) << "FCMDE clears when read";

    plane.Write(0x100, 2, 0xABCD);
    EXPECT_EQ(cpu.MisuseCount("byte or half-word write to the latch buffer"), 1u);
    for (uint32_t w = 0; w < 64; ++w) plane.Write(0x100 + 4 * w, 4, w == 0 ? 0x11223344 : 0xFFFFFFFF);
    e.Write(0x04, 4, 0x5A000103);        // EWP page 1
    EXPECT_EQ(flash.Read(0x100), 0x44);
    EXPECT_EQ(flash.Read(0x104), 0xFF);
    EXPECT_EQ(e.Read(0x08, 4) & 1u, 0u) << "busy";
    e.Write(0x04, 4, 0x5A000203);
    EXPECT_EQ(cpu.MisuseCount("flash command while busy"), 1u);
    cpu.AdvanceTo(5 * kMs);
    EXPECT_EQ(e.Read(0x08, 4) & 1u, 1u);

    for (uint32_t w = 0; w < 64; ++w) plane.Write(0x100 + 4 * w, 4, 0);
    e.Write(0x04, 4, 0x5A000101);        // WP (no erase) over the programmed page
    EXPECT_EQ(cpu.MisuseCount("programming a non-erased cell"), 1u);
    cpu.AdvanceTo(10 * kMs);
    plane.Write(0x08, 4, 0);             // words out of order
    plane.Write(0x00, 4, 0);
    EXPECT_EQ(cpu.MisuseCount("latch buffer written out of order"), 1u);
    e.Write(0x04, 4, 0x5A00010B);        // set GPNVM bit 1
    EXPECT_EQ(cpu.MisuseCount("GPNVM bit changed"), 1u);
}

// Two bytes that land before the program reads: the second is an overrun.
TEST(UartModel, BytesLandOneCharacterApartAndAnUnreadByteIsOverrun) {
    for (const bool stm32 : {true, false}) {
        SCOPED_TRACE(stm32 ? "STM32 keeps the old byte" : "SAM3 takes the new byte");
        ArmCpu cpu(ArmCpu::Core::CortexM4, 16000000);
        Io io;
        UartLine line(cpu, io, stm32 ? UartLine::OnOverrun::KeepOld : UartLine::OnOverrun::KeepNew, 10);
        const EmuNs first = line.Deliver('a', 115200);
        const EmuNs second = line.Deliver('b', 115200);
        EXPECT_EQ(first, 86805u) << "10 bits at 115200 baud";
        EXPECT_EQ(second - first, 86805u);
        EXPECT_FALSE(line.RxReady()) << "nothing has landed at time 0";
        cpu.AdvanceTo(first);
        EXPECT_TRUE(line.RxReady());
        cpu.AdvanceTo(second);
        EXPECT_TRUE(line.OverrunFlag());
        EXPECT_EQ(line.TakeRx(), stm32 ? 'a' : 'b');
        EXPECT_EQ(line.Overruns(), 1u);
        EXPECT_EQ(cpu.MisuseCount("UART overrun"), 1u);
        // Read in time, a stream passes without loss.
        line.ClearOverrun();
        for (uint8_t c = 0; c < 4; ++c) {
            const EmuNs at = line.Deliver(c, 115200);
            cpu.AdvanceTo(at);
            ASSERT_TRUE(line.RxReady());
            EXPECT_EQ(line.TakeRx(), c);
        }
        EXPECT_FALSE(line.OverrunFlag());
    }
}

}  // namespace
}  // namespace qtx::sim
