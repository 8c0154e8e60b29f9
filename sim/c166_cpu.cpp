#include "sim/c166_cpu.h"

#include <cstdio>
#include <string_view>

namespace qtx::sim {

namespace {

using K = C166Operand::Kind;

C166Operand O(K kind, uint8_t n = 0, uint16_t value = 0, uint8_t bit = 0) {
    C166Operand o;
    o.kind = kind;
    o.n = n;
    o.value = value;
    o.bit = bit;
    return o;
}
// An 8-bit 'reg' field: F0..FF name a GPR (ISM ch.2 "Short addressing modes").
C166Operand RegW(uint8_t rr) { return rr >= 0xF0 ? O(K::Gpr, rr & 15) : O(K::Reg, rr); }
C166Operand RegB(uint8_t rr) { return rr >= 0xF0 ? O(K::GprB, rr & 15) : O(K::RegB, rr); }

const char* const kAlu[8] = {"add", "addc", "sub", "subc", "cmp", "xor", "and", "or"};
const char* const kAluB[8] = {"addb", "addcb", "subb", "subcb", "cmpb", "xorb", "andb", "orb"};
const char* const kCond[16] = {"cc_uc", "cc_net", "cc_z", "cc_nz", "cc_v", "cc_nv", "cc_n", "cc_nn",
                               "cc_c", "cc_nc", "cc_sgt", "cc_sle", "cc_slt", "cc_sge", "cc_ugt", "cc_ule"};

}  // namespace

// ---- decoder: ISM ch.4 opcode table, operand fields from the ch.5 format column ----

C166Insn DecodeC166(const uint8_t* p, uint16_t pc) {
    C166Insn in;
    const uint8_t op = p[0], b1 = p[1], hi = op >> 4, lo = op & 15;
    const uint16_t w = uint16_t(p[2] | p[3] << 8);
    const uint8_t n = b1 >> 4, m = b1 & 15;
    in.opcode = op;
    // Lower nibbles 2..7 and A carry a second word (ISM ch.4 "Instruction Opcodes").
    in.length = (lo >= 2 && lo <= 7) || lo == 0xA ? 4 : 2;
    auto set = [&](const char* mnem, std::initializer_list<C166Operand> ops) {
        in.mnem = mnem;
        in.count = 0;
        for (const auto& o : ops) in.op[in.count++] = o;
    };
    const uint16_t next = uint16_t(pc + in.length);
    const uint16_t rel = uint16_t(next + int8_t(in.length == 2 ? b1 : p[2]) * 2);

    if (hi <= 7 && lo <= 9) {
        const bool byte = lo & 1;
        const char* mnem = byte ? kAluB[hi] : kAlu[hi];
        const K r = byte ? K::GprB : K::Gpr;
        switch (lo & ~1) {
        case 0: set(mnem, {O(r, n), O(r, m)}); break;
        case 2: set(mnem, {byte ? RegB(b1) : RegW(b1), O(K::Mem, 0, w)}); break;
        case 4:
            if (hi == 4) return in;   // CMP has no memory destination
            set(mnem, {O(K::Mem, 0, w), byte ? RegB(b1) : RegW(b1)});
            break;
        case 6:
            if (byte) set(mnem, {RegB(b1), O(K::Imm, 0, p[2])});
            else set(mnem, {RegW(b1), O(K::Imm, 0, w)});
            break;
        case 8:
            if ((m & 0xC) == 0x8) set(mnem, {O(r, n), O(K::Ind, m & 3)});
            else if ((m & 0xC) == 0xC) set(mnem, {O(r, n), O(K::PostInc, m & 3)});
            else set(mnem, {O(r, n), O(K::Imm, 0, m & 7)});
            break;
        }
        return in;
    }
    if (lo == 0xD) { set("jmpr", {O(K::Cond, hi), O(K::Rel, 0, rel)}); return in; }
    if (lo == 0xE) { set("bclr", {O(K::Bit, b1, 0, hi)}); return in; }
    if (lo == 0xF) { set("bset", {O(K::Bit, b1, 0, hi)}); return in; }

    auto bit2 = [&](const char* mnem) {   // op QQ ZZ qz: destination Z first
        set(mnem, {O(K::Bit, p[2], 0, p[3] & 15), O(K::Bit, b1, 0, p[3] >> 4)});
    };
    auto sys = [&](const char* mnem, uint8_t second) {
        if (b1 == second && p[2] == op && p[3] == op) set(mnem, {});
    };
    auto cmpid = [&](const char* mnem, int form) {
        if (form == 0) set(mnem, {O(K::Gpr, m), O(K::Imm, 0, n)});
        else if (n == 0xF) set(mnem, {O(K::Gpr, m), form == 6 ? O(K::Imm, 0, w) : O(K::Mem, 0, w)});
    };
    auto ext = [&](bool viaReg) {
        const int kind = b1 >> 6;
        const uint8_t count = uint8_t(((b1 >> 4) & 3) + 1);
        static const char* const names[4] = {"exts", "extp", "extsr", "extpr"};
        if (viaReg) {
            set(names[kind], {O(K::Gpr, m), O(K::Count, 0, count)});
        } else if (m == 0) {
            if (kind & 1) {
                if ((p[3] & 0xFC) == 0) set(names[kind], {O(K::Page, 0, uint16_t(p[2] | (p[3] & 3) << 8)), O(K::Count, 0, count)});
            } else if (p[3] == 0) {
                set(names[kind], {O(K::SegNum, 0, p[2]), O(K::Count, 0, count)});
            }
        }
    };

    switch (op) {
    case 0x0A: set("bfldl", {O(K::BitOff, b1), O(K::Imm, 0, p[2]), O(K::Imm, 0, p[3])}); break;
    case 0x1A: set("bfldh", {O(K::BitOff, b1), O(K::Imm, 0, p[3]), O(K::Imm, 0, p[2])}); break;
    case 0x2A: bit2("bcmp"); break;
    case 0x3A: bit2("bmovn"); break;
    case 0x4A: bit2("bmov"); break;
    case 0x5A: bit2("bor"); break;
    case 0x6A: bit2("band"); break;
    case 0x7A: bit2("bxor"); break;
    case 0x0B: set("mul", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x1B: set("mulu", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x2B: set("prior", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x4B: case 0x5B: case 0x6B: case 0x7B: {
        static const char* const names[4] = {"div", "divu", "divl", "divlu"};
        if (n == m) set(names[hi - 4], {O(K::Gpr, n)});
        break;
    }
    case 0x0C: set("rol", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x1C: set("rol", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0x2C: set("ror", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x3C: set("ror", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0x4C: set("shl", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x5C: set("shl", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0x6C: set("shr", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0x7C: set("shr", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0xAC: set("ashr", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0xBC: set("ashr", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0x80: cmpid("cmpi1", 0); break;
    case 0x82: cmpid("cmpi1", 2); break;
    case 0x86: cmpid("cmpi1", 6); break;
    case 0x90: cmpid("cmpi2", 0); break;
    case 0x92: cmpid("cmpi2", 2); break;
    case 0x96: cmpid("cmpi2", 6); break;
    case 0xA0: cmpid("cmpd1", 0); break;
    case 0xA2: cmpid("cmpd1", 2); break;
    case 0xA6: cmpid("cmpd1", 6); break;
    case 0xB0: cmpid("cmpd2", 0); break;
    case 0xB2: cmpid("cmpd2", 2); break;
    case 0xB6: cmpid("cmpd2", 6); break;
    case 0x81: if (m == 0) set("neg", {O(K::Gpr, n)}); break;
    case 0x91: if (m == 0) set("cpl", {O(K::Gpr, n)}); break;
    case 0xA1: if (m == 0) set("negb", {O(K::GprB, n)}); break;
    case 0xB1: if (m == 0) set("cplb", {O(K::GprB, n)}); break;
    case 0x84: if (n == 0) set("mov", {O(K::Ind, m), O(K::Mem, 0, w)}); break;
    case 0xA4: if (n == 0) set("movb", {O(K::Ind, m), O(K::Mem, 0, w)}); break;
    case 0x94: if (n == 0) set("mov", {O(K::Mem, 0, w), O(K::Ind, m)}); break;
    case 0xB4: if (n == 0) set("movb", {O(K::Mem, 0, w), O(K::Ind, m)}); break;
    case 0x87: sys("idle", 0x78); break;
    case 0x97: sys("pwrdn", 0x68); break;
    case 0xA7: sys("srvwdt", 0x58); break;
    case 0xA5: sys("diswdt", 0x5A); break;
    case 0xB5: sys("einit", 0x4A); break;
    case 0xB7: sys("srst", 0x48); break;
    case 0x85: sys("enwdt", 0x7A); break;   // C166S V2 only
    case 0x8C: if (b1 == 0) set("sbrk", {}); break;   // C166S V2 only
    case 0x88: set("mov", {O(K::PreDec, m), O(K::Gpr, n)}); break;
    case 0x89: set("movb", {O(K::PreDec, m), O(K::GprB, n)}); break;
    case 0x98: set("mov", {O(K::Gpr, n), O(K::PostInc, m)}); break;
    case 0x99: set("movb", {O(K::GprB, n), O(K::PostInc, m)}); break;
    case 0xA8: set("mov", {O(K::Gpr, n), O(K::Ind, m)}); break;
    case 0xA9: set("movb", {O(K::GprB, n), O(K::Ind, m)}); break;
    case 0xB8: set("mov", {O(K::Ind, m), O(K::Gpr, n)}); break;
    case 0xB9: set("movb", {O(K::Ind, m), O(K::GprB, n)}); break;
    case 0xC8: set("mov", {O(K::Ind, n), O(K::Ind, m)}); break;
    case 0xC9: set("movb", {O(K::Ind, n), O(K::Ind, m)}); break;
    case 0xD8: set("mov", {O(K::PostInc, n), O(K::Ind, m)}); break;
    case 0xD9: set("movb", {O(K::PostInc, n), O(K::Ind, m)}); break;
    case 0xE8: set("mov", {O(K::Ind, n), O(K::PostInc, m)}); break;
    case 0xE9: set("movb", {O(K::Ind, n), O(K::PostInc, m)}); break;
    case 0xD4: set("mov", {O(K::Gpr, n), O(K::Index, m, w)}); break;
    case 0xF4: set("movb", {O(K::GprB, n), O(K::Index, m, w)}); break;
    case 0xC4: set("mov", {O(K::Index, m, w), O(K::Gpr, n)}); break;
    case 0xE4: set("movb", {O(K::Index, m, w), O(K::GprB, n)}); break;
    case 0xE0: set("mov", {O(K::Gpr, m), O(K::Imm, 0, n)}); break;
    case 0xE1: set("movb", {O(K::GprB, m), O(K::Imm, 0, n)}); break;
    case 0xE6: set("mov", {RegW(b1), O(K::Imm, 0, w)}); break;
    case 0xE7: set("movb", {RegB(b1), O(K::Imm, 0, p[2])}); break;
    case 0xF0: set("mov", {O(K::Gpr, n), O(K::Gpr, m)}); break;
    case 0xF1: set("movb", {O(K::GprB, n), O(K::GprB, m)}); break;
    case 0xF2: set("mov", {RegW(b1), O(K::Mem, 0, w)}); break;
    case 0xF3: set("movb", {RegB(b1), O(K::Mem, 0, w)}); break;
    case 0xF6: set("mov", {O(K::Mem, 0, w), RegW(b1)}); break;
    case 0xF7: set("movb", {O(K::Mem, 0, w), RegB(b1)}); break;
    case 0xC0: set("movbz", {O(K::Gpr, m), O(K::GprB, n)}); break;
    case 0xC2: set("movbz", {RegW(b1), O(K::Mem, 0, w)}); break;
    case 0xC5: set("movbz", {O(K::Mem, 0, w), RegB(b1)}); break;
    case 0xD0: set("movbs", {O(K::Gpr, m), O(K::GprB, n)}); break;
    case 0xD2: set("movbs", {RegW(b1), O(K::Mem, 0, w)}); break;
    case 0xD5: set("movbs", {O(K::Mem, 0, w), RegB(b1)}); break;
    case 0x8A: if ((p[3] & 15) == 0) set("jb", {O(K::Bit, b1, 0, p[3] >> 4), O(K::Rel, 0, rel)}); break;
    case 0x9A: if ((p[3] & 15) == 0) set("jnb", {O(K::Bit, b1, 0, p[3] >> 4), O(K::Rel, 0, rel)}); break;
    case 0xAA: if ((p[3] & 15) == 0) set("jbc", {O(K::Bit, b1, 0, p[3] >> 4), O(K::Rel, 0, rel)}); break;
    case 0xBA: if ((p[3] & 15) == 0) set("jnbs", {O(K::Bit, b1, 0, p[3] >> 4), O(K::Rel, 0, rel)}); break;
    case 0xEA: if (m == 0) set("jmpa", {O(K::Cond, n), O(K::Caddr, 0, w)}); break;
    case 0xCA: if (m == 0) set("calla", {O(K::Cond, n), O(K::Caddr, 0, w)}); break;
    case 0x9C: set("jmpi", {O(K::Cond, n), O(K::Ind, m)}); break;
    case 0xAB: set("calli", {O(K::Cond, n), O(K::Ind, m)}); break;
    case 0xBB: set("callr", {O(K::Rel, 0, rel)}); break;
    case 0xFA: set("jmps", {O(K::Seg, b1), O(K::Caddr, 0, w)}); break;
    case 0xDA: set("calls", {O(K::Seg, b1), O(K::Caddr, 0, w)}); break;
    case 0xE2: set("pcall", {RegW(b1), O(K::Caddr, 0, w)}); break;
    case 0x9B: if ((b1 & 1) == 0) set("trap", {O(K::Imm, 0, b1 >> 1)}); break;
    case 0xCB: if (b1 == 0) set("ret", {}); break;
    case 0xDB: if (b1 == 0) set("rets", {}); break;
    case 0xFB: if (b1 == 0x88) set("reti", {}); break;
    case 0xEB: set("retp", {RegW(b1)}); break;
    case 0xEC: set("push", {RegW(b1)}); break;
    case 0xFC: set("pop", {RegW(b1)}); break;
    case 0xC6: set("scxt", {RegW(b1), O(K::Imm, 0, w)}); break;
    case 0xD6: set("scxt", {RegW(b1), O(K::Mem, 0, w)}); break;
    case 0xCC: if (b1 == 0) set("nop", {}); break;
    case 0xD1:
        if (m == 0 && (b1 & 0x40) == 0)
            set(b1 & 0x80 ? "extr" : "atomic", {O(K::Count, 0, uint16_t(((b1 >> 4) & 3) + 1))});
        break;
    case 0xDC: ext(true); break;
    case 0xD7: ext(false); break;
    default: break;
    }
    return in;
}

std::string FormatC166(const C166Insn& in) {
    if (!in.mnem) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "undefined 0x%02x", in.opcode);
        return buf;
    }
    std::string s = in.mnem;
    for (int i = 0; i < in.count; ++i) {
        const C166Operand& o = in.op[i];
        char buf[48];
        switch (o.kind) {
        case K::Gpr: std::snprintf(buf, sizeof buf, "r%d", o.n); break;
        case K::GprB: std::snprintf(buf, sizeof buf, "r%c%d", o.n & 1 ? 'h' : 'l', o.n >> 1); break;
        case K::Reg: case K::RegB: std::snprintf(buf, sizeof buf, "0x%x", 0xFE00 + 2 * o.n); break;
        case K::Mem: case K::Caddr: case K::Rel: std::snprintf(buf, sizeof buf, "0x%x", o.value); break;
        case K::Ind: std::snprintf(buf, sizeof buf, "[r%d]", o.n); break;
        case K::PostInc: std::snprintf(buf, sizeof buf, "[r%d+]", o.n); break;
        case K::PreDec: std::snprintf(buf, sizeof buf, "[-r%d]", o.n); break;
        case K::Index: std::snprintf(buf, sizeof buf, "[r%d+#0x%x]", o.n, o.value); break;
        case K::Imm: case K::Count: case K::Page: case K::SegNum:
            std::snprintf(buf, sizeof buf, "#0x%x", o.value);
            break;
        case K::Cond: std::snprintf(buf, sizeof buf, "%s", kCond[o.n]); break;
        case K::Seg: std::snprintf(buf, sizeof buf, "0x%x", o.n); break;
        case K::Bit: case K::BitOff: {
            if (o.n >= 0xF0) std::snprintf(buf, sizeof buf, "r%d", o.n & 15);
            else std::snprintf(buf, sizeof buf, "0x%x", o.n < 0x80 ? 0xFD00 + 2 * o.n : 0xFF00 + 2 * (o.n - 0x80));
            if (o.kind == K::Bit) {
                const std::string word = buf;
                std::snprintf(buf, sizeof buf, "%s.%d", word.c_str(), o.bit);
            }
            break;
        }
        case K::None: buf[0] = 0; break;
        }
        s += (i ? "," : " ");
        s += buf;
    }
    return s;
}

// ---- the core ------------------------------------------------------------------

namespace {
// Core-owned SFRs by short address (C167CR UM ch.4 "CPU Special Function Registers").
constexpr uint8_t kDpp0 = 0x00, kCsp = 0x04, kMdh = 0x06, kMdl = 0x07, kCp = 0x08, kSp = 0x09,
                  kStkov = 0x0A, kStkun = 0x0B;
constexpr uint16_t kPswAddr = 0xFF10, kMdcAddr = 0xFF0E, kZerosAddr = 0xFF1C, kOnesAddr = 0xFF1E;
}  // namespace

C166Cpu::C166Cpu(C166Io& io, const Config& config)
    : io_(io), config_(config), iram_(0xFE00 - config.iramStart, 0) {
    Reset();
}

void C166Cpu::Reset() {
    sfr_.fill(0);
    // Reset values (C167CR UM ch.4): DPPn = n, SP = FC00h, STKOV = FA00h, STKUN = FC00h.
    for (int i = 0; i < 4; ++i) sfr_[kDpp0 + i] = uint16_t(i);
    sfr_[kSp] = 0xFC00;
    sfr_[kStkov] = 0xFA00;
    sfr_[kStkun] = 0xFC00;
    psw_ = 0;
    ip_ = 0;
    instructions_ = 0;
    extCount_ = 0;
    stopped_.clear();
}

void C166Cpu::Stop(const std::string& why) {
    if (stopped_.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, " at 0x%04X", ip_);
        stopped_ = why + buf;
        io_.Misuse("CPU stopped: " + stopped_);
    }
}

bool C166Cpu::Internal(uint32_t phys) const { return phys >= 0xF000 && phys <= 0xFFFF; }

uint32_t C166Cpu::Phys(uint16_t addr) const {
    if (extCount_ && extMode_ == 2) return uint32_t(extValue_) << 16 | addr;
    if (extCount_ && extMode_ == 1) return uint32_t(extValue_) << 14 | (addr & 0x3FFF);
    return uint32_t(sfr_[kDpp0 + (addr >> 14)] & 0x3FF) << 14 | (addr & 0x3FFF);
}

uint16_t C166Cpu::Sfr(uint16_t addr) {
    addr &= 0xFFFE;
    if (addr >= 0xFE00 && addr <= 0xFE16) {
        const uint16_t v = sfr_[(addr - 0xFE00) >> 1];
        return v;
    }
    if (addr == kPswAddr) return psw_;
    if (addr == kMdcAddr) return sfr_[0xF0];
    if (addr == kZerosAddr) return 0;
    if (addr == kOnesAddr) return 0xFFFF;
    return io_.ReadSfr(addr);
}

void C166Cpu::SetSfr(uint16_t addr, uint16_t v) {
    addr &= 0xFFFE;
    if (addr >= 0xFE00 && addr <= 0xFE16) {
        const uint8_t i = uint8_t((addr - 0xFE00) >> 1);
        // SP, STKOV, STKUN: bits 15..12 read as 1, bit 0 as 0 (C167CR UM ch.4 "The System Stack").
        if (i == kSp || i == kStkov || i == kStkun) v = uint16_t((v | 0xF000) & 0xFFFE);
        if (i == kCp) v = uint16_t((v | 0xF000) & 0xFFFE);
        if (i == kCsp) v &= 0xFF;
        sfr_[i] = v;
        return;
    }
    if (addr == kPswAddr) { psw_ = v; return; }
    if (addr == kMdcAddr) { sfr_[0xF0] = v; return; }
    if (addr == kZerosAddr || addr == kOnesAddr) return;
    io_.WriteSfr(addr, v);
}

uint8_t C166Cpu::ReadByte(uint32_t phys) {
    const uint16_t word = ReadWord(phys & ~1u);
    return uint8_t(phys & 1 ? word >> 8 : word);
}

uint16_t C166Cpu::ReadWord(uint32_t phys) {
    phys &= 0xFFFFFE;
    if (!Internal(phys)) {
        states_ += uint64_t(io_.AccessStates(phys));
        return io_.ReadExternal(phys);
    }
    if (phys >= 0xFE00 || phys < 0xF200) return Sfr(uint16_t(phys));
    if (phys >= config_.iramStart) {
        const std::size_t i = phys - config_.iramStart;
        return uint16_t(iram_[i] | iram_[i + 1] << 8);
    }
    io_.Misuse("read of unimplemented internal address");
    return 0;
}

uint16_t C166Cpu::FetchWord(uint32_t phys) {
    phys &= 0xFFFFFE;
    if (Internal(phys)) return ReadWord(phys);
    states_ += uint64_t(io_.AccessStates(phys));
    return io_.FetchExternal(phys);
}

void C166Cpu::WriteByte(uint32_t phys, uint8_t v) {
    if (!Internal(phys)) {
        states_ += uint64_t(io_.AccessStates(phys));
        io_.WriteExternal(phys, uint16_t(phys & 1 ? v << 8 : v), true);
        return;
    }
    if (phys >= config_.iramStart && phys < 0xFE00) {
        iram_[phys - config_.iramStart] = v;
        return;
    }
    const uint16_t old = ReadWord(phys & ~1u);
    WriteWord(phys & ~1u, phys & 1 ? uint16_t((old & 0x00FF) | v << 8) : uint16_t((old & 0xFF00) | v));
}

void C166Cpu::WriteWord(uint32_t phys, uint16_t v) {
    phys &= 0xFFFFFE;
    if (!Internal(phys)) {
        states_ += uint64_t(io_.AccessStates(phys));
        io_.WriteExternal(phys, v, false);
        return;
    }
    if (phys >= 0xFE00 || phys < 0xF200) { SetSfr(uint16_t(phys), v); return; }
    if (phys >= config_.iramStart) {
        iram_[phys - config_.iramStart] = uint8_t(v);
        iram_[phys - config_.iramStart + 1] = uint8_t(v >> 8);
        return;
    }
    io_.Misuse("write to unimplemented internal address");
}

uint16_t C166Cpu::Gpr(int n) { return ReadWord(sfr_[kCp] + 2u * unsigned(n)); }
void C166Cpu::SetGpr(int n, uint16_t v) { WriteWord(sfr_[kCp] + 2u * unsigned(n), v); }

uint16_t C166Cpu::ShortAddr(uint8_t rr) const {
    // Inside EXTR the 8-bit addresses select ESFRs (ISM ch.5 EXTR).
    return uint16_t((extCount_ && extEsfr_ ? 0xF000 : 0xFE00) + 2 * rr);
}

uint16_t C166Cpu::BitWord(uint8_t qq) const {
    if (qq < 0x80) return uint16_t(0xFD00 + 2 * qq);
    return uint16_t((extCount_ && extEsfr_ ? 0xF100 : 0xFF00) + 2 * (qq - 0x80));
}

uint16_t C166Cpu::ReadData(uint16_t addr, bool byte) {
    const uint32_t phys = Phys(addr);
    if (!byte && (addr & 1)) Stop("word access at an odd address (class B trap ILLOPA)");
    return byte ? ReadByte(phys) : ReadWord(phys);
}

void C166Cpu::WriteData(uint16_t addr, uint16_t v, bool byte) {
    const uint32_t phys = Phys(addr);
    if (!byte && (addr & 1)) Stop("word access at an odd address (class B trap ILLOPA)");
    if (byte) WriteByte(phys, uint8_t(v));
    else WriteWord(phys, v);
}

uint16_t C166Cpu::Address(const C166Operand& o, bool byte) {
    const int step = byte ? 1 : 2;
    uint16_t r = Gpr(o.n);
    switch (o.kind) {
    case K::Ind: return r;
    case K::PostInc:
        // The pointer steps once the instruction has used it.
        postReg_ = o.n;
        postStep_ = step;
        return r;
    case K::PreDec:
        r = uint16_t(r - step);
        SetGpr(o.n, r);
        return r;
    case K::Index: return uint16_t(r + o.value);
    default: return 0;
    }
}

uint16_t C166Cpu::Read(const C166Operand& o, bool byte) {
    switch (o.kind) {
    case K::Gpr: return Gpr(o.n);
    case K::GprB: return ReadByte(sfr_[kCp] + o.n);
    case K::Reg: return Sfr(ShortAddr(o.n));
    case K::RegB: return uint8_t(Sfr(ShortAddr(o.n)));
    case K::Mem: return ReadData(o.value, byte);
    case K::Ind: case K::PostInc: case K::PreDec: case K::Index: return ReadData(Address(o, byte), byte);
    case K::Imm: return o.value;
    default: return 0;
    }
}

void C166Cpu::Write(const C166Operand& o, uint16_t v, bool byte) {
    switch (o.kind) {
    case K::Gpr: SetGpr(o.n, v); return;
    case K::GprB: WriteByte(sfr_[kCp] + o.n, uint8_t(v)); return;
    case K::Reg: SetSfr(ShortAddr(o.n), v); return;
    case K::RegB: {
        const uint16_t a = ShortAddr(o.n);
        SetSfr(a, uint16_t((Sfr(a) & 0xFF00) | (v & 0xFF)));
        return;
    }
    case K::Mem: WriteData(o.value, v, byte); return;
    case K::Ind: case K::PostInc: case K::PreDec: case K::Index: WriteData(Address(o, byte), v, byte); return;
    default: return;
    }
}

bool C166Cpu::Condition(uint8_t cc) const {
    // ISM ch.2 "Condition codes".
    const bool n = psw_ & kN, c = psw_ & kC, v = psw_ & kV, z = psw_ & kZ, e = psw_ & kE;
    switch (cc) {
    case 0x0: return true;
    case 0x1: return !z && !e;
    case 0x2: return z;
    case 0x3: return !z;
    case 0x4: return v;
    case 0x5: return !v;
    case 0x6: return n;
    case 0x7: return !n;
    case 0x8: return c;
    case 0x9: return !c;
    case 0xA: return !z && n == v;
    case 0xB: return z || n != v;
    case 0xC: return n != v;
    case 0xD: return n == v;
    case 0xE: return !c && !z;
    default: return c || z;
    }
}

void C166Cpu::Push(uint16_t v) {
    const uint16_t sp = uint16_t(sfr_[kSp] - 2);
    sfr_[kSp] = sp;
    // Stack overflow trap when SP goes below STKOV (C167CR UM ch.4 "The System Stack").
    if (sp < sfr_[kStkov]) Stop("stack overflow (SP below STKOV)");
    WriteWord(sp, v);
}

uint16_t C166Cpu::Pop() {
    const uint16_t sp = sfr_[kSp];
    if (sp >= sfr_[kStkun]) Stop("stack underflow (SP at or above STKUN)");
    const uint16_t v = ReadWord(sp);
    sfr_[kSp] = uint16_t(sp + 2);
    return v;
}

void C166Cpu::Flags(uint16_t r, bool byte, bool c, bool v, uint16_t eSource) {
    const uint16_t sign = byte ? 0x80 : 0x8000;
    const uint16_t mask = byte ? 0xFF : 0xFFFF;
    r &= mask;
    uint16_t psw = uint16_t(psw_ & ~(kN | kC | kV | kZ | kE));
    if (r & sign) psw |= kN;
    if (c) psw |= kC;
    if (v) psw |= kV;
    if (r == 0) psw |= kZ;
    // E marks the lowest negative number of the source (ISM ch.2 "E flag").
    if ((eSource & mask) == sign) psw |= kE;
    psw_ = psw;
}

bool C166Cpu::Step() {
    if (!stopped_.empty()) return false;
    uint8_t bytes[4] = {0, 0, 0, 0};
    const uint32_t pc = uint32_t(sfr_[kCsp]) << 16 | ip_;
    const uint16_t first = FetchWord(pc);
    bytes[0] = uint8_t(first);
    bytes[1] = uint8_t(first >> 8);
    // The second word only for 4-byte opcodes: a fetch must not touch SFRs beyond the code.
    const unsigned lo = bytes[0] & 15u;
    if ((lo >= 2 && lo <= 7) || lo == 0xA) {
        const uint16_t second = FetchWord((pc + 2) & 0xFFFFFF);
        bytes[2] = uint8_t(second);
        bytes[3] = uint8_t(second >> 8);
    }
    const C166Insn in = DecodeC166(bytes, ip_);
    if (!in.mnem) {
        Stop("undefined opcode (class B trap UNDOPC)");
        return false;
    }
    // Minimum state times: 2 or 4 from internal ROM, plus 4 or 6 when fetched
    // from internal RAM (ISM "Instruction State Times").
    const bool fromIram = Internal(pc);
    states_ += uint64_t(in.length == 2 ? 2 : 4) + (fromIram ? (in.length == 2 ? 4 : 6) : 0);
    if (!fromIram) states_ += uint64_t(io_.AccessStates(pc)) * uint64_t(in.length / 2);
    ip_ = uint16_t(ip_ + in.length);
    ++instructions_;
    // An EXT* prefix covers the instructions after it, not itself.
    const int extBefore = extCount_;
    postReg_ = -1;
    jumped_ = false;
    Execute(in);
    if (postReg_ >= 0) SetGpr(postReg_, uint16_t(Gpr(postReg_) + postStep_));
    if (jumped_) states_ += 2;   // pipeline refill after a taken branch
    if (extBefore && extCount_ == extBefore) --extCount_;
    return stopped_.empty();
}

void C166Cpu::Execute(const C166Insn& in) {
    const std::string_view m = in.mnem;
    const C166Operand& a = in.op[0];
    const C166Operand& b = in.op[1];
    const bool byte = m.size() > 1 && m.back() == 'b' && m != "sub" && m != "subc" && m != "bfldl";
    auto jump = [&](uint16_t target) {
        ip_ = target;
        jumped_ = true;
    };

    // ---- arithmetic and logic (ISM ch.5 ADD ... OR) ----
    const std::string_view base = byte ? m.substr(0, m.size() - 1) : m;
    if (base == "add" || base == "addc" || base == "sub" || base == "subc" || base == "cmp") {
        const uint32_t mask = byte ? 0xFF : 0xFFFF, sign = byte ? 0x80 : 0x8000;
        const uint32_t x = Read(a, byte) & mask, y = Read(b, byte) & mask;
        const bool withCarry = base == "addc" || base == "subc";
        const uint32_t cin = withCarry && (psw_ & kC) ? 1 : 0;
        const bool oldZ = psw_ & kZ;
        uint32_t r;
        bool c, v;
        if (base[0] == 'a') {
            r = x + y + cin;
            c = r > mask;
            v = (~(x ^ y) & (x ^ r) & sign) != 0;
        } else {
            r = x - y - cin;
            c = x < y + cin;   // borrow
            v = ((x ^ y) & (x ^ r) & sign) != 0;
        }
        Flags(uint16_t(r), byte, c, v, uint16_t(y));
        // With carry, Z stays set only if it was set before (ISM ch.5 ADDC/SUBC).
        if (withCarry && !oldZ) psw_ &= uint16_t(~kZ);
        if (base != "cmp") Write(a, uint16_t(r), byte);
        return;
    }
    if (base == "and" || base == "or" || base == "xor") {
        const uint16_t x = Read(a, byte), y = Read(b, byte);
        const uint16_t r = base == "and" ? (x & y) : base == "or" ? (x | y) : (x ^ y);
        Flags(r, byte, false, false, r);
        Write(a, r, byte);
        return;
    }
    if (m == "mov" || m == "movb") {
        const uint16_t v = Read(b, byte);
        Flags(v, byte, psw_ & kC, psw_ & kV, v);
        Write(a, v, byte);
        return;
    }
    if (m == "movbz" || m == "movbs") {
        const uint8_t v = uint8_t(Read(b, true));
        const uint16_t r = m == "movbz" ? v : uint16_t(int16_t(int8_t(v)));
        Flags(r, false, psw_ & kC, psw_ & kV, 0);
        if (v == 0x80) psw_ |= kE;
        // Word destination, byte source: a memory destination takes the low byte only.
        if (a.kind == K::Mem) Write(a, v, true);
        else Write(a, r, false);
        return;
    }
    if (m == "neg" || m == "negb") {
        const uint32_t mask = byte ? 0xFF : 0xFFFF, sign = byte ? 0x80 : 0x8000;
        const uint32_t y = Read(a, byte) & mask, r = (0 - y) & mask;
        Flags(uint16_t(r), byte, y != 0, (y & r & sign) != 0, uint16_t(y));
        Write(a, uint16_t(r), byte);
        return;
    }
    if (m == "cpl" || m == "cplb") {
        const uint16_t r = uint16_t(~Read(a, byte));
        Flags(r, byte, false, false, r);
        Write(a, r, byte);
        return;
    }
    if (m == "cmpi1" || m == "cmpi2" || m == "cmpd1" || m == "cmpd2") {
        const uint32_t x = Read(a, false), y = Read(b, false), r = (x - y) & 0xFFFF;
        Flags(uint16_t(r), false, x < y, ((x ^ y) & (x ^ r) & 0x8000) != 0, uint16_t(y));
        const int step = (m[4] - '0') * (m[3] == 'i' ? 1 : -1);
        Write(a, uint16_t(x + step), false);
        return;
    }
    // ---- shifts (ISM ch.5 SHL, SHR, ROL, ROR, ASHR) ----
    if (m == "shl" || m == "shr" || m == "rol" || m == "ror" || m == "ashr") {
        const unsigned count = Read(b, false) & 15;
        uint16_t x = Read(a, false);
        bool c = false, v = false;
        for (unsigned i = 0; i < count; ++i) {
            if (m == "shl" || m == "rol") {
                c = x & 0x8000;
                x = uint16_t(x << 1 | (m == "rol" && c ? 1 : 0));
            } else {
                // V: a 1 was shifted out through C in any step (rounding information).
                if (c) v = true;
                c = x & 1;
                const uint16_t top = m == "ror" ? uint16_t(c ? 0x8000 : 0) : m == "ashr" ? uint16_t(x & 0x8000) : 0;
                x = uint16_t(x >> 1 | top);
            }
        }
        Flags(x, false, c, (m == "shr" || m == "ror" || m == "ashr") && v, 0);
        Write(a, x, false);
        return;
    }
    // ---- multiply and divide (ISM ch.5 MUL ... DIVLU; MD = MDH:MDL) ----
    if (m == "mul" || m == "mulu") {
        const uint16_t x = Read(a, false), y = Read(b, false);
        uint32_t r;
        bool v;
        if (m == "mul") {
            const int32_t p = int32_t(int16_t(x)) * int32_t(int16_t(y));
            r = uint32_t(p);
            v = p < -32768 || p > 32767;
        } else {
            r = uint32_t(x) * y;
            v = r > 0xFFFF;
        }
        sfr_[kMdh] = uint16_t(r >> 16);
        sfr_[kMdl] = uint16_t(r);
        uint16_t psw = uint16_t(psw_ & ~(kN | kC | kV | kZ | kE));
        if (r & 0x80000000u) psw |= kN;
        if (r == 0) psw |= kZ;
        if (v) psw |= kV;
        psw_ = psw;
        states_ += 8;   // 10 states in all
        return;
    }
    if (m == "div" || m == "divu" || m == "divl" || m == "divlu") {
        const uint16_t d = Read(a, false);
        uint16_t q = 0, rem = 0;
        bool v = d == 0;
        if (!v) {
            if (m == "div") {
                const int32_t x = int16_t(sfr_[kMdl]);
                if (x == -32768 && int16_t(d) == -1) v = true;
                else { q = uint16_t(x / int16_t(d)); rem = uint16_t(x % int16_t(d)); }
            } else if (m == "divu") {
                q = uint16_t(sfr_[kMdl] / d);
                rem = uint16_t(sfr_[kMdl] % d);
            } else if (m == "divl") {
                const int64_t x = int32_t(uint32_t(sfr_[kMdh]) << 16 | sfr_[kMdl]);
                const int64_t qq = x / int16_t(d);
                if (qq < -32768 || qq > 32767) v = true;
                else { q = uint16_t(qq); rem = uint16_t(x % int16_t(d)); }
            } else {
                const uint32_t x = uint32_t(sfr_[kMdh]) << 16 | sfr_[kMdl];
                const uint32_t qq = x / d;
                if (qq > 0xFFFF) v = true;
                else { q = uint16_t(qq); rem = uint16_t(x % d); }
            }
        }
        // On overflow the results are undefined; they are left unchanged here.
        if (!v) {
            sfr_[kMdl] = q;
            sfr_[kMdh] = rem;
        }
        uint16_t psw = uint16_t(psw_ & ~(kN | kC | kV | kZ | kE));
        if (v) psw |= kV;
        if (q & 0x8000) psw |= kN;
        if (q == 0) psw |= kZ;
        psw_ = psw;
        states_ += 18;   // 20 states in all
        return;
    }
    if (m == "prior") {
        uint16_t x = Read(b, false);
        uint16_t count = 0;
        if (x) while (!(x & 0x8000)) { x = uint16_t(x << 1); ++count; }
        psw_ = uint16_t((psw_ & ~(kN | kC | kV | kZ | kE)) | (Read(b, false) == 0 ? kZ : 0));
        Write(a, count, false);
        return;
    }
    // ---- bits (ISM ch.5 BSET ... BFLDH) ----
    auto bitRead = [&](const C166Operand& o) {
        const uint16_t w = o.n >= 0xF0 ? Gpr(o.n & 15) : ReadWord(BitWord(o.n));
        return ((w >> o.bit) & 1) != 0;
    };
    auto bitWrite = [&](const C166Operand& o, bool v) {
        if (o.n >= 0xF0) {
            const uint16_t w = Gpr(o.n & 15);
            SetGpr(o.n & 15, uint16_t(v ? w | 1u << o.bit : w & ~(1u << o.bit)));
        } else {
            const uint16_t addr = BitWord(o.n);
            const uint16_t w = ReadWord(addr);
            WriteWord(addr, uint16_t(v ? w | 1u << o.bit : w & ~(1u << o.bit)));
        }
    };
    auto bitFlags = [&](bool zero, bool vflag, bool cflag, bool nflag) {
        uint16_t psw = uint16_t(psw_ & ~(kN | kC | kV | kZ | kE));
        if (zero) psw |= kZ;
        if (vflag) psw |= kV;
        if (cflag) psw |= kC;
        if (nflag) psw |= kN;
        psw_ = psw;
    };
    if (m == "bset" || m == "bclr") {
        const bool old = bitRead(a);
        bitWrite(a, m == "bset");
        bitFlags(!old, false, false, old);
        return;
    }
    if (m == "bmov" || m == "bmovn") {
        const bool s = bitRead(b);
        bitWrite(a, m == "bmov" ? s : !s);
        bitFlags(!s, false, false, s);
        return;
    }
    if (m == "band" || m == "bor" || m == "bxor" || m == "bcmp") {
        const bool x = bitRead(a), y = bitRead(b);
        bitFlags(!(x || y), x || y, x && y, x != y);
        if (m == "band") bitWrite(a, x && y);
        if (m == "bor") bitWrite(a, x || y);
        if (m == "bxor") bitWrite(a, x != y);
        return;
    }
    if (m == "bfldl" || m == "bfldh") {
        const uint16_t addr = a.n >= 0xF0 ? 0 : BitWord(a.n);
        uint16_t w = a.n >= 0xF0 ? Gpr(a.n & 15) : ReadWord(addr);
        const int shift = m == "bfldh" ? 8 : 0;
        const uint16_t mask = uint16_t(in.op[1].value << shift), data = uint16_t(in.op[2].value << shift);
        w = uint16_t((w & ~mask) | (data & mask));
        bitFlags(w == 0, false, false, w & 0x8000);
        if (a.n >= 0xF0) SetGpr(a.n & 15, w);
        else WriteWord(addr, w);
        return;
    }
    if (m == "jb" || m == "jnb" || m == "jbc" || m == "jnbs") {
        const bool bit = bitRead(a);
        const bool take = (m == "jb" || m == "jbc") ? bit : !bit;
        if (m == "jbc" || m == "jnbs") bitFlags(!bit, false, false, bit);
        if (take) {
            if (m == "jbc") bitWrite(a, false);
            if (m == "jnbs") bitWrite(a, true);
            jump(b.value);
        }
        return;
    }
    // ---- jumps, calls, returns ----
    if (m == "jmpr") { if (Condition(a.n)) jump(b.value); return; }
    if (m == "jmpa") { if (Condition(a.n)) jump(b.value); return; }
    if (m == "jmpi") { if (Condition(a.n)) jump(Gpr(b.n)); return; }
    if (m == "jmps") { sfr_[kCsp] = a.n; jump(b.value); return; }
    if (m == "calla" || m == "calli") {
        if (!Condition(a.n)) return;
        const uint16_t target = m == "calla" ? b.value : Gpr(b.n);
        Push(ip_);
        jump(target);
        return;
    }
    if (m == "callr") { Push(ip_); jump(a.value); return; }
    if (m == "calls") { Push(sfr_[kCsp]); Push(ip_); sfr_[kCsp] = a.n; jump(b.value); return; }
    if (m == "pcall") { Push(Read(a, false)); Push(ip_); jump(b.value); return; }
    if (m == "ret") { jump(Pop()); return; }
    if (m == "rets") { const uint16_t ip = Pop(); sfr_[kCsp] = uint8_t(Pop()); jump(ip); return; }
    if (m == "retp") { const uint16_t ip = Pop(); Write(a, Pop(), false); jump(ip); return; }
    if (m == "reti") { const uint16_t ip = Pop(); sfr_[kCsp] = uint8_t(Pop()); psw_ = Pop(); jump(ip); return; }
    if (m == "push") { Push(Read(a, false)); return; }
    if (m == "pop") { Write(a, Pop(), false); return; }
    if (m == "scxt") { const uint16_t v = Read(b, false); Push(Read(a, false)); Write(a, v, false); return; }
    if (m == "trap") { Stop("software trap (no interrupt model)"); return; }
    if (m == "nop") return;
    // ---- sequences ----
    if (m == "atomic") return;   // no interrupts in the model: nothing to hold off
    if (m == "extr" || m == "exts" || m == "extp" || m == "extsr" || m == "extpr") {
        extCount_ = in.op[in.count - 1].value;   // counted down after each following instruction
        extEsfr_ = m == "extr" || m == "extsr" || m == "extpr";
        extMode_ = m == "extr" ? 0 : (m[3] == 'p' ? 1 : 2);
        if (extMode_) extValue_ = a.kind == K::Gpr ? uint16_t(Gpr(a.n) & (extMode_ == 1 ? 0x3FF : 0xFF)) : a.value;
        return;
    }
    if (m == "srvwdt" || m == "diswdt" || m == "einit") {
        io_.WatchdogInstruction(std::string(m));
        return;
    }
    if (m == "enwdt" || m == "sbrk") {
        // Undefined opcodes on a C167; on a C166S V2 core ENWDT restarts the
        // watchdog (where the board models it) and SBRK halts for a debugger.
        if (!config_.sv2 || m == "sbrk") Stop(config_.sv2 ? "software break" : "undefined opcode (class B trap UNDOPC)");
        else io_.WatchdogInstruction(std::string(m));
        return;
    }
    if (m == "idle" || m == "pwrdn" || m == "srst") { Stop(std::string(m) + " executed"); return; }
    Stop("instruction without a model: " + std::string(m));
}

}  // namespace qtx::sim
