// The STM32F1 flash interface model driven register by register on a core that
// runs no code: what PM0075 forbids is refused and reported, and the busy and
// end-of-operation flags follow the datasheet's times.
#include <gtest/gtest.h>

#include "sim/arm_cpu.h"
#include "sim/stm32f1_flash.h"

namespace qtx::sim {
namespace {

constexpr EmuNs kUs = 1000, kMs = 1000000;

// PM0075 3: KEYR 0x04, SR 0x0C, CR 0x10, AR 0x14. SR: BSY 0, PGERR 2, EOP 5.
// CR: PG 0, PER 1, MER 2, STRT 6, LOCK 7.
constexpr uint32_t kKeyr = 0x04, kSr = 0x0C, kCr = 0x10, kAr = 0x14;
constexpr uint32_t kBsy = 1u << 0, kPgerr = 1u << 2, kEop = 1u << 5;
constexpr uint32_t kPg = 1u << 0, kPer = 1u << 1, kMer = 1u << 2, kStrt = 1u << 6, kLock = 1u << 7;

void Unlock(Stm32f1Flash& f) {
    f.Write(kKeyr, 4, 0x45670123);
    f.Write(kKeyr, 4, 0xCDEF89AB);
}

TEST(Stm32f1FlashModel, KeysHalfWordsAndErasedCellsAsPm0075Says) {
    ArmCpu cpu(ArmCpu::Core::CortexM3, 8000000);
    FlashModel flash(128 * 1024);
    Stm32f1Flash f(cpu, flash, {0x201}, 1024);
    ArmDevice& array = f.Array();

    f.Write(kCr, 4, kPg);                 // still locked
    EXPECT_EQ(cpu.MisuseCount("flash written without unlock"), 1u);
    array.Write(0x100, 2, 0x1234);
    EXPECT_EQ(cpu.MisuseCount("flash written without unlock"), 2u);
    EXPECT_EQ(flash.Read(0x100), 0xFF);

    Unlock(f);
    EXPECT_FALSE(f.Read(kCr, 4) & kLock);
    array.Write(0x100, 2, 0x1234);        // PG not set
    EXPECT_EQ(cpu.MisuseCount("flash written without PG"), 1u);
    f.Write(kCr, 4, kPg);
    array.Write(0x100, 4, 0x12345678);    // a word: bus error, nothing programmed
    array.Write(0x100, 1, 0x12);
    EXPECT_EQ(cpu.MisuseCount("flash write not half-word"), 2u);
    EXPECT_EQ(flash.Read(0x100), 0xFF);

    array.Write(0x100, 2, 0x1234);
    EXPECT_EQ(flash.Read(0x100), 0x34);
    EXPECT_EQ(flash.Read(0x101), 0x12);
    EXPECT_EQ(f.Read(kSr, 4), kBsy) << "52.5 us typical (DS5319 Table 28)";
    f.Write(kCr, 4, 0);                   // registers take no writes while BSY
    EXPECT_EQ(cpu.MisuseCount("flash register written while BSY"), 1u);
    EXPECT_TRUE(f.Read(kCr, 4) & kPg);
    cpu.AdvanceTo(52 * kUs);
    EXPECT_TRUE(f.Read(kSr, 4) & kBsy);
    cpu.AdvanceTo(53 * kUs);
    EXPECT_EQ(f.Read(kSr, 4), kEop);
    f.Write(kSr, 4, kEop);                // write 1 to clear
    EXPECT_EQ(f.Read(kSr, 4), 0u);

    array.Write(0x100, 2, 0x0204);        // not erased: skipped, PGERR
    EXPECT_EQ(f.Read(kSr, 4), kPgerr) << "no BSY, no EOP";
    EXPECT_EQ(flash.Read(0x100), 0x34);
    EXPECT_EQ(cpu.MisuseCount("programming a non-erased cell"), 1u);
    f.Write(kSr, 4, kPgerr);
    array.Write(0x100, 2, 0x0000);        // the one value allowed over programmed cells
    cpu.AdvanceTo(cpu.Now() + 60 * kUs);
    EXPECT_EQ(f.Read(kSr, 4), kEop);
    EXPECT_EQ(flash.Read(0x100), 0x00);
    EXPECT_EQ(cpu.MisuseCount("programming a non-erased cell"), 1u);

    array.Write(0x200, 2, 0x0000);        // cell 0x201 is stuck: its lowest bit stays set
    EXPECT_EQ(array.Read(0x200, 2), 0x0100u) << "the read stalls until BSY clears";
    EXPECT_EQ(cpu.MisuseCount("access to busy flash"), 1u);

    f.Write(kCr, 4, kLock);
    Unlock(f);
    EXPECT_FALSE(f.Read(kCr, 4) & kLock) << "LOCK set by software: the keys open it again";
    f.Write(kKeyr, 4, 0x45670123);        // KEY1 while unlocked: a wrong sequence
    EXPECT_EQ(cpu.MisuseCount("wrong flash key sequence"), 1u);
    Unlock(f);
    EXPECT_TRUE(f.Read(kCr, 4) & kLock) << "locked until the next reset (PM0075 2.3.2)";
}

TEST(Stm32f1FlashModel, PageEraseTakesThePageFlashArPointsInto) {
    for (const uint32_t page : {1024u, 2048u}) {
        SCOPED_TRACE(page == 1024 ? "medium density" : "high density");
        ArmCpu cpu(ArmCpu::Core::CortexM3, 8000000);
        FlashModel flash(page == 1024 ? 128 * 1024 : 512 * 1024);
        for (uint32_t at = 0; at < 3 * page; at += 256) flash.Program(at, 0x00);
        Stm32f1Flash f(cpu, flash, {}, page);
        Unlock(f);
        f.Write(kCr, 4, kPer);
        f.Write(kAr, 4, 0x08000000 + page + page / 2);   // any address within page 1
        f.Write(kCr, 4, kPer | kStrt);
        EXPECT_EQ(flash.Read(page - 256), 0x00);
        EXPECT_EQ(flash.Read(page), 0xFF);
        EXPECT_EQ(flash.Read(2 * page - 256), 0xFF);
        EXPECT_EQ(flash.Read(2 * page), 0x00);
        EXPECT_TRUE(f.Read(kCr, 4) & kStrt) << "STRT reads set until BSY clears";
        cpu.AdvanceTo(19 * kMs);
        EXPECT_EQ(f.Read(kSr, 4), kBsy) << "20 ms, the datasheet's minimum";
        cpu.AdvanceTo(20 * kMs);
        EXPECT_EQ(f.Read(kSr, 4), kEop);
        EXPECT_FALSE(f.Read(kCr, 4) & kStrt);

        f.Write(kAr, 4, 0x08000000 + uint32_t(flash.Size()));
        f.Write(kCr, 4, kPer | kStrt);
        EXPECT_EQ(cpu.MisuseCount("erase of a page the part does not have"), 1u);
        f.Write(kCr, 4, kStrt);
        EXPECT_EQ(cpu.MisuseCount("flash STRT without PER or MER"), 1u);
        f.Write(kCr, 4, kMer | kStrt);
        EXPECT_EQ(flash.Read(0), 0xFF);
        EXPECT_TRUE(f.Read(kSr, 4) & kBsy);
    }
}

}  // namespace
}  // namespace qtx::sim
