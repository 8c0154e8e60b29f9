// The C166 core: its decoder against the hand-checked encoding vectors, and
// the places where cores are usually got wrong.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/c166_cpu.h"

namespace qtx::sim {
namespace {

TEST(C166Decoder, EveryEncodingVector) {
    std::ifstream in(std::string(QTX_SOURCE_DIR) + "/tests/firmware/c166_encodings.tsv");
    ASSERT_TRUE(in.good());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string text, hex, ref;
        std::getline(fields, text, '\t');
        std::getline(fields, hex, '\t');
        std::getline(fields, ref, '\t');
        std::vector<uint8_t> bytes;
        std::istringstream hs(hex);
        unsigned v;
        while (hs >> std::hex >> v) bytes.push_back(uint8_t(v));
        bytes.resize(4, 0);
        const C166Insn insn = DecodeC166(bytes.data(), 0);
        EXPECT_EQ(FormatC166(insn), text) << hex << " (" << ref << ")";
        EXPECT_EQ(insn.length, hex.size() == 5 ? 2 : 4) << text;
        ++count;
    }
    EXPECT_GT(count, 100);
}

TEST(C166Decoder, RefusesUndefinedAndMalformedEncodings) {
    const uint8_t undefined[][4] = {
        {0x44, 0xF1, 0, 0},      // CMP has no memory destination
        {0xA5, 0x5A, 0xA5, 0},   // DISWDT with a wrong guard byte
        {0x4B, 0x12, 0, 0},      // DIV needs the same register in both nibbles
        {0xD1, 0x40, 0, 0},      // neither ATOMIC nor EXTR
        {0x8A, 0xB7, 0x00, 0x71},
        {0xCB, 0x01, 0, 0},
    };
    for (const auto& b : undefined) EXPECT_EQ(DecodeC166(b, 0).mnem, nullptr) << FormatC166(DecodeC166(b, 0));
}

// A bare core: internal RAM from 0xFA00, SFRs it does not own kept in a map,
// 64 KiB of external memory per segment on demand.
class Core : public C166Io {
public:
    Core() : cpu(*this, {0xFA00, 20000000}) {
        cpu.SetSfr(0xFE10, 0xFC00);   // CP: the register bank at FC00
        cpu.SetSfr(0xFE12, 0xFD00);   // SP
        cpu.SetSfr(0xFE14, 0xFC40);   // STKOV
        cpu.SetSfr(0xFE16, 0xFD00);   // STKUN
    }
    uint16_t ReadSfr(uint16_t a) override { return sfr[a]; }
    void WriteSfr(uint16_t a, uint16_t v) override { sfr[a] = v; }
    uint16_t ReadExternal(uint32_t a) override { return uint16_t(ext[a] | ext[a + 1] << 8); }
    void WriteExternal(uint32_t a, uint16_t v, bool byte) override {
        if (!byte || !(a & 1)) ext[a & ~1u] = uint8_t(v);
        if (!byte || (a & 1)) ext[a | 1u] = uint8_t(v >> 8);
    }
    void Misuse(const std::string& what) override { misuse += what + "\n"; }

    // Loads code at 0xFA40 and runs it to the end of the bytes.
    void Run(std::vector<uint8_t> code) {
        for (std::size_t i = 0; i < code.size(); ++i) cpu.WriteByte(0xFA40 + i, code[i]);
        cpu.SetIp(0xFA40);
        while (cpu.Ip() < 0xFA40 + code.size() && cpu.Step()) {}
        ASSERT_EQ(misuse, "");
    }
    bool Flag(uint16_t f) const { return cpu.Psw() & f; }

    C166Cpu cpu;
    std::map<uint16_t, uint16_t> sfr;
    std::map<uint32_t, uint8_t> ext;
    std::string misuse;
};

TEST(C166Core, ArithmeticFlags) {
    Core c;
    // mov r1,#0x7fff; add r1,#1: signed overflow, no carry, negative
    c.Run({0xE6, 0xF1, 0xFF, 0x7F, 0x08, 0x11});
    EXPECT_EQ(c.cpu.Gpr(1), 0x8000);
    EXPECT_TRUE(c.Flag(C166Cpu::kV));
    EXPECT_FALSE(c.Flag(C166Cpu::kC));
    EXPECT_TRUE(c.Flag(C166Cpu::kN));
    // mov r2,#0x1; sub r2,#2: borrow sets C, result 0xFFFF
    c.Run({0xE0, 0x12, 0x28, 0x22});
    EXPECT_EQ(c.cpu.Gpr(2), 0xFFFF);
    EXPECT_TRUE(c.Flag(C166Cpu::kC));
    EXPECT_FALSE(c.Flag(C166Cpu::kV));
    // mov r3,#0xffff; add r3,#1 -> 0 with carry; addc r4(=0),#0 -> 1 and Z clear
    c.Run({0xE6, 0xF3, 0xFF, 0xFF, 0x08, 0x31, 0xE0, 0x04, 0x18, 0x40});
    EXPECT_EQ(c.cpu.Gpr(4), 1);
    EXPECT_FALSE(c.Flag(C166Cpu::kZ));
    // cmpb rl1(=0x43),#0x43 sets Z; cmp r1,#0x44 (r1=0x43) sets C (unsigned less)
    c.Run({0xE6, 0xF1, 0x43, 0x00, 0x47, 0xF2, 0x43, 0x00});
    EXPECT_TRUE(c.Flag(C166Cpu::kZ));
    c.Run({0x46, 0xF1, 0x44, 0x00});
    EXPECT_TRUE(c.Flag(C166Cpu::kC));
    EXPECT_FALSE(c.Flag(C166Cpu::kZ));
}

TEST(C166Core, CompareAndStepRegisters) {
    Core c;
    // mov r2,#3; cmpd1 r2,#3 -> equal (Z), then r2 = 2; cmpi2 r2,#0 -> r2 = 4, greater (no C)
    c.Run({0xE0, 0x32, 0xA0, 0x32, 0x90, 0x02});
    EXPECT_EQ(c.cpu.Gpr(2), 4);
    EXPECT_FALSE(c.Flag(C166Cpu::kZ));
    EXPECT_FALSE(c.Flag(C166Cpu::kC));
    // cmpd2 r2,#0x1234 compares before stepping: borrow, then r2 = 2
    c.Run({0xB6, 0xF2, 0x34, 0x12});
    EXPECT_TRUE(c.Flag(C166Cpu::kC));
    EXPECT_EQ(c.cpu.Gpr(2), 2);
}

TEST(C166Core, ShiftsAndRotates) {
    Core c;
    // mov r1,#0x8001; shl r1,#1 -> 0x0002, C = the bit shifted out
    c.Run({0xE6, 0xF1, 0x01, 0x80, 0x5C, 0x11});
    EXPECT_EQ(c.cpu.Gpr(1), 0x0002);
    EXPECT_TRUE(c.Flag(C166Cpu::kC));
    // mov r2,#0x0007; shr r2,#2 -> 1, C = 1, V = a 1 left through C before the last step
    c.Run({0xE0, 0x72, 0x7C, 0x22});
    EXPECT_EQ(c.cpu.Gpr(2), 0x0001);
    EXPECT_TRUE(c.Flag(C166Cpu::kC));
    EXPECT_TRUE(c.Flag(C166Cpu::kV));
    // ashr keeps the sign: 0x8000 >> 15 = 0xFFFF
    c.Run({0xE6, 0xF3, 0x00, 0x80, 0xBC, 0xF3});
    EXPECT_EQ(c.cpu.Gpr(3), 0xFFFF);
    // rol through the top: 0x8001 rol 4 = 0x0018; ror 0x0001 by 1 = 0x8000
    c.Run({0xE6, 0xF4, 0x01, 0x80, 0x1C, 0x44, 0xE0, 0x15, 0x3C, 0x15});
    EXPECT_EQ(c.cpu.Gpr(4), 0x0018);
    EXPECT_EQ(c.cpu.Gpr(5), 0x8000);
    // the count comes from the low 4 bits of a register: shl by 16+1 shifts by 1
    c.Run({0xE0, 0x16, 0xE6, 0xF7, 0x11, 0x00, 0x4C, 0x67});
    EXPECT_EQ(c.cpu.Gpr(6), 2);
}

TEST(C166Core, MultiplyAndDivide) {
    Core c;
    // mov r1,#-3; mov r2,#1000; mul r1,r2 -> MD = -3000
    c.Run({0xE6, 0xF1, 0xFD, 0xFF, 0xE6, 0xF2, 0xE8, 0x03, 0x0B, 0x12});
    EXPECT_EQ(c.cpu.Sfr(0xFE0E), 0xF448);   // MDL
    EXPECT_EQ(c.cpu.Sfr(0xFE0C), 0xFFFF);   // MDH
    EXPECT_TRUE(c.Flag(C166Cpu::kN));
    // mulu 0xffff * 0xffff = 0xFFFE0001 with V
    c.Run({0xE6, 0xF1, 0xFF, 0xFF, 0x1B, 0x11});
    EXPECT_EQ(c.cpu.Sfr(0xFE0C), 0xFFFE);
    EXPECT_TRUE(c.Flag(C166Cpu::kV));
    // MD = 0x0001_0005; divlu by 2 -> quotient 0x8002, remainder 1
    c.cpu.SetSfr(0xFE0C, 0x0001);
    c.cpu.SetSfr(0xFE0E, 0x0005);
    c.Run({0xE0, 0x23, 0x7B, 0x33});
    EXPECT_EQ(c.cpu.Sfr(0xFE0E), 0x8002);
    EXPECT_EQ(c.cpu.Sfr(0xFE0C), 0x0001);
    // div by zero sets V and leaves MD alone
    c.Run({0xE0, 0x04, 0x4B, 0x44});
    EXPECT_TRUE(c.Flag(C166Cpu::kV));
    EXPECT_EQ(c.cpu.Sfr(0xFE0E), 0x8002);
    // signed: -7 / 2 = -3 remainder -1
    c.cpu.SetSfr(0xFE0E, 0xFFF9);
    c.Run({0x4B, 0x33});
    EXPECT_EQ(c.cpu.Sfr(0xFE0E), 0xFFFD);
    EXPECT_EQ(c.cpu.Sfr(0xFE0C), 0xFFFF);
}

TEST(C166Core, DppAndExtendedAddressing) {
    Core c;
    // DPP1 := 0x20 (page 0x20 = 08'0000); mov r1,#0x4010; mov r2,#0xbeef; mov [r1],r2
    c.Run({0xE6, 0x01, 0x20, 0x00, 0xE6, 0xF1, 0x10, 0x40, 0xE6, 0xF2, 0xEF, 0xBE, 0xB8, 0x21});
    EXPECT_EQ(c.ext[0x080010], 0xEF);
    EXPECT_EQ(c.ext[0x080011], 0xBE);
    // exts #9,#1 covers one instruction: the first store goes to 09'0010, the second through DPP0 to 00'0010
    c.Run({0xE0, 0x01, 0xD7, 0x00, 0x09, 0x00, 0xF6, 0xF2, 0x10, 0x00, 0xF6, 0xF2, 0x10, 0x00});
    EXPECT_EQ(c.ext[0x090010], 0xEF);
    EXPECT_EQ(c.ext[0x000010], 0xEF);
    // extp #0x21,#1: the page replaces the DPP for a 16-bit address (bits 13..0 kept)
    c.Run({0xD7, 0x40, 0x21, 0x00, 0xF6, 0xF2, 0x02, 0xC0});
    EXPECT_EQ(c.ext[0x084002], 0xEF);
    // extr #1: short address 0xCE is S0TBIC (F19C), then SFR space again
    c.Run({0xD1, 0x80, 0xE6, 0xCE, 0x34, 0x12, 0xE6, 0xCE, 0x56, 0x00});
    EXPECT_EQ(c.sfr[0xF19C], 0x1234);
    EXPECT_EQ(c.sfr[0xFF9C], 0x0056);
    // byte post-increment steps by one, word by two
    c.Run({0xE6, 0xF3, 0x00, 0xFB, 0xE6, 0xF4, 0x00, 0xFB, 0x99, 0x03, 0x98, 0x04});
    EXPECT_EQ(c.cpu.Gpr(3), 0xFB01);
    EXPECT_EQ(c.cpu.Gpr(4), 0xFB02);
}

TEST(C166Core, BitInstructionsOnSfrs) {
    Core c;
    c.sfr[0xFF6E] = 0x0080;   // S0RIC with its request flag set
    // jnb S0RIR,+0 is not taken; bclr S0RIR clears only bit 7; bset S0RIE
    c.Run({0x9A, 0xB7, 0x00, 0x70, 0x7E, 0xB7, 0x6F, 0xB7});
    EXPECT_EQ(c.sfr[0xFF6E], 0x0040);
    EXPECT_TRUE(c.Flag(C166Cpu::kZ));   // bset saw the bit clear
    // jbc on a set bit jumps and clears it
    c.sfr[0xFF6C] = 0x0080;
    c.Run({0xAA, 0xB6, 0x01, 0x70, 0xE0, 0x51, 0xE0, 0x71});
    EXPECT_EQ(c.sfr[0xFF6C], 0x0000);
    EXPECT_EQ(c.cpu.Gpr(1), 7);         // the skipped mov r1,#5 did not run
    // bfldl on an SFR changes only the masked bits; bmov copies a GPR bit into an SFR bit
    c.sfr[0xFFC6] = 0x00FF;
    c.Run({0x0A, 0xE3, 0x0F, 0x05, 0xE0, 0x13, 0x4A, 0xF3, 0xE3, 0x0A});
    EXPECT_EQ(c.sfr[0xFFC6], 0x04F5);
}

TEST(C166Core, StackLimitsAndUndefinedOpcodesStopTheCore) {
    Core c;
    c.Run({0xEC, 0xF1, 0xFC, 0xF2});   // push r1; pop r2
    c.cpu.SetSfr(0xFE12, 0xFC40);      // SP at STKOV
    for (uint16_t i = 0; i < 2; ++i) c.cpu.WriteByte(0xFA40 + i, i ? 0xF1 : 0xEC);
    c.cpu.SetIp(0xFA40);
    EXPECT_FALSE(c.cpu.Step());
    EXPECT_NE(c.misuse.find("stack overflow"), std::string::npos);

    Core d;
    d.cpu.WriteByte(0xFA40, 0x8C);   // SBRK: a C166S V2 instruction, undefined on the C167
    d.cpu.SetIp(0xFA40);
    EXPECT_FALSE(d.cpu.Step());
    EXPECT_NE(d.cpu.Stopped().find("undefined opcode"), std::string::npos);
    d.cpu.Reset();
    d.cpu.WriteByte(0xFA40, 0x83);
    d.cpu.SetIp(0xFA40);
    EXPECT_FALSE(d.cpu.Step());
    EXPECT_NE(d.cpu.Stopped().find("undefined opcode"), std::string::npos);
}

TEST(C166Core, StateTimesFromInternalRam) {
    Core c;
    const uint64_t before = c.cpu.States();
    c.Run({0xCC, 0x00, 0xE6, 0xF1, 0x00, 0x00});   // nop; mov r1,#0
    EXPECT_EQ(c.cpu.States() - before, 6u + 10u);
}

}  // namespace
}  // namespace qtx::sim
