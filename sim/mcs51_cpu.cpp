#include "sim/mcs51_cpu.h"

namespace qtx::sim {

namespace {

// Machine cycles per opcode (doc0509, the "Cycles" line of each instruction).
constexpr std::array<uint8_t, 256> MakeCycles() {
    std::array<uint8_t, 256> c{};
    for (auto& x : c) x = 1;
    const uint8_t two[] = {0x02, 0x10, 0x12, 0x20, 0x22, 0x30, 0x32, 0x40, 0x43, 0x50, 0x53, 0x60, 0x63, 0x70,
                           0x72, 0x73, 0x75, 0x80, 0x82, 0x83, 0x85, 0x86, 0x87, 0x90, 0x92, 0x93, 0xA0, 0xA3,
                           0xA6, 0xA7, 0xB0, 0xB4, 0xB5, 0xB6, 0xB7, 0xC0, 0xD0, 0xD5, 0xE0, 0xE2, 0xE3, 0xF0,
                           0xF2, 0xF3};
    for (uint8_t op : two) c[op] = 2;
    for (int n = 0; n < 8; ++n) {
        c[0x88 + n] = 2;   // MOV direct,Rn
        c[0xA8 + n] = 2;   // MOV Rn,direct
        c[0xB8 + n] = 2;   // CJNE Rn,#imm,rel
        c[0xD8 + n] = 2;   // DJNZ Rn,rel
        c[n * 0x20 + 0x01] = 2;   // AJMP
        c[n * 0x20 + 0x11] = 2;   // ACALL
    }
    c[0x84] = c[0xA4] = 4;   // DIV AB, MUL AB
    return c;
}
constexpr std::array<uint8_t, 256> kCycles = MakeCycles();

}  // namespace

void Mcs51::Reset() {
    pc = 0;
    sfr.fill(0);
    S(kSP) = 0x07;
    for (uint8_t port : {0x80, 0x90, 0xA0, 0xB0}) S(port) = 0xFF;   // port latches reset high
}

uint8_t Mcs51::ReadDirect(uint8_t addr) {
    if (addr < 0x80) return iram[addr];
    uint8_t v;
    if (bus_.ReadSfr(addr, v)) return v;
    return S(addr);
}

void Mcs51::WriteDirect(uint8_t addr, uint8_t v) {
    if (addr < 0x80) {
        iram[addr] = v;
    } else if (!bus_.WriteSfr(addr, v)) {
        S(addr) = v;
    }
}

// Bit addresses 00h-7Fh lie in RAM bytes 20h-2Fh, 80h-FFh in the SFRs whose
// address ends in 0 or 8 (doc0509, "Bit addressing").
bool Mcs51::ReadBit(uint8_t bit) {
    const uint8_t byte = bit < 0x80 ? uint8_t(0x20 + (bit >> 3)) : uint8_t(bit & 0xF8);
    return (ReadDirect(byte) >> (bit & 7)) & 1;
}

void Mcs51::WriteBit(uint8_t bit, bool v) {
    const uint8_t byte = bit < 0x80 ? uint8_t(0x20 + (bit >> 3)) : uint8_t(bit & 0xF8);
    const uint8_t mask = uint8_t(1u << (bit & 7));
    const uint8_t old = ReadDirect(byte);
    WriteDirect(byte, uint8_t(v ? old | mask : old & ~mask));
}

uint8_t Mcs51::Operand(uint8_t op) {
    switch (op & 0x0F) {
    case 0x4: return Fetch();
    case 0x5: return ReadDirect(Fetch());
    case 0x6: return iram[R(0)];
    case 0x7: return iram[R(1)];
    default: return R(op & 7);
    }
}

void Mcs51::Add(uint8_t v, bool carryIn) {
    const unsigned a = A(), c = carryIn ? 1 : 0;
    const unsigned sum = a + v + c;
    const bool c6 = ((a & 0x7F) + (v & 0x7F) + c) > 0x7F;   // carry into bit 7
    SetFlag(kCY, sum > 0xFF);
    SetFlag(kAC, ((a & 0x0F) + (v & 0x0F) + c) > 0x0F);
    SetFlag(kOV, c6 != (sum > 0xFF));
    S(kACC) = uint8_t(sum);
}

void Mcs51::Subb(uint8_t v) {
    const int a = A(), c = Carry() ? 1 : 0;
    const int diff = a - v - c;
    const bool b6 = (a & 0x7F) - (v & 0x7F) - c < 0;   // borrow into bit 7
    SetFlag(kCY, diff < 0);
    SetFlag(kAC, (a & 0x0F) - (v & 0x0F) - c < 0);
    SetFlag(kOV, b6 != (diff < 0));
    S(kACC) = uint8_t(diff);
}

void Mcs51::UpdateParity() {
    uint8_t a = A();
    a ^= a >> 4;
    a ^= a >> 2;
    a ^= a >> 1;
    SetFlag(kP, a & 1);
}

int Mcs51::Step() {
    const uint8_t op = Fetch();
    ++instructions_;
    ++opcodes_[op];
    uint8_t& acc = S(kACC);
    const uint8_t lo = op & 0x0F;

    // ADD, ADDC, ORL A, ANL A, XRL A and SUBB share the operand columns 4..F.
    if (lo >= 4) {
        switch (op >> 4) {
        case 0x2: Add(Operand(op), false); goto done;
        case 0x3: Add(Operand(op), Carry()); goto done;
        case 0x4: acc |= Operand(op); goto done;
        case 0x5: acc &= Operand(op); goto done;
        case 0x6: acc ^= Operand(op); goto done;
        case 0x9: Subb(Operand(op)); goto done;
        default: break;
        }
    }

    switch (op) {
    case 0x00: break;   // NOP
    case 0x01: case 0x21: case 0x41: case 0x61: case 0x81: case 0xA1: case 0xC1: case 0xE1: {   // AJMP
        const uint8_t low = Fetch();
        pc = uint16_t((pc & 0xF800) | ((op & 0xE0) << 3) | low);
        break;
    }
    case 0x11: case 0x31: case 0x51: case 0x71: case 0x91: case 0xB1: case 0xD1: case 0xF1: {   // ACALL
        const uint8_t low = Fetch();
        Push(uint8_t(pc));
        Push(uint8_t(pc >> 8));
        pc = uint16_t((pc & 0xF800) | ((op & 0xE0) << 3) | low);
        break;
    }
    case 0x02: {   // LJMP
        const uint8_t hi = Fetch(), low = Fetch();
        pc = uint16_t(hi << 8 | low);
        break;
    }
    case 0x12: {   // LCALL
        const uint8_t hi = Fetch(), low = Fetch();
        Push(uint8_t(pc));
        Push(uint8_t(pc >> 8));
        pc = uint16_t(hi << 8 | low);
        break;
    }
    case 0x22: case 0x32: {   // RET, RETI (no interrupt priority state to restore here)
        const uint8_t hi = Pop(), low = Pop();
        pc = uint16_t(hi << 8 | low);
        break;
    }
    case 0x03: acc = uint8_t(acc >> 1 | acc << 7); break;   // RR A
    case 0x23: acc = uint8_t(acc << 1 | acc >> 7); break;   // RL A
    case 0x13: {   // RRC A
        const bool c = acc & 1;
        acc = uint8_t(acc >> 1 | (Carry() ? 0x80 : 0));
        SetFlag(kCY, c);
        break;
    }
    case 0x33: {   // RLC A
        const bool c = acc & 0x80;
        acc = uint8_t(acc << 1 | (Carry() ? 1 : 0));
        SetFlag(kCY, c);
        break;
    }
    case 0x04: ++acc; break;
    case 0x14: --acc; break;
    case 0x05: case 0x15: {   // INC/DEC direct (read-modify-write)
        const uint8_t d = Fetch();
        WriteDirect(d, uint8_t(ReadDirect(d) + (op == 0x05 ? 1 : -1)));
        break;
    }
    case 0x06: case 0x07: ++iram[R(op & 1)]; break;
    case 0x16: case 0x17: --iram[R(op & 1)]; break;
    case 0x08: case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x0E: case 0x0F: ++R(op & 7); break;
    case 0x18: case 0x19: case 0x1A: case 0x1B: case 0x1C: case 0x1D: case 0x1E: case 0x1F: --R(op & 7); break;
    case 0xA3: {   // INC DPTR
        const uint16_t d = uint16_t(Dptr() + 1);
        S(kDPL) = uint8_t(d);
        S(kDPH) = uint8_t(d >> 8);
        break;
    }
    case 0x10: case 0x20: case 0x30: {   // JBC, JB, JNB bit,rel
        const uint8_t bit = Fetch();
        const int8_t rel = int8_t(Fetch());
        const bool set = ReadBit(bit);
        if (op == 0x10 && set) WriteBit(bit, false);
        Jump(op == 0x30 ? !set : set, rel);
        break;
    }
    case 0x40: { const int8_t rel = int8_t(Fetch()); Jump(Carry(), rel); break; }    // JC
    case 0x50: { const int8_t rel = int8_t(Fetch()); Jump(!Carry(), rel); break; }   // JNC
    case 0x60: { const int8_t rel = int8_t(Fetch()); Jump(acc == 0, rel); break; }   // JZ
    case 0x70: { const int8_t rel = int8_t(Fetch()); Jump(acc != 0, rel); break; }   // JNZ
    case 0x80: { const int8_t rel = int8_t(Fetch()); Jump(true, rel); break; }       // SJMP
    case 0x73: pc = uint16_t(Dptr() + acc); break;                                    // JMP @A+DPTR
    case 0x42: case 0x52: case 0x62: {   // ORL/ANL/XRL direct,A
        const uint8_t d = Fetch();
        const uint8_t v = ReadDirect(d);
        WriteDirect(d, uint8_t(op == 0x42 ? v | acc : op == 0x52 ? v & acc : v ^ acc));
        break;
    }
    case 0x43: case 0x53: case 0x63: {   // ORL/ANL/XRL direct,#imm
        const uint8_t d = Fetch(), imm = Fetch();
        const uint8_t v = ReadDirect(d);
        WriteDirect(d, uint8_t(op == 0x43 ? v | imm : op == 0x53 ? v & imm : v ^ imm));
        break;
    }
    case 0x72: SetFlag(kCY, Carry() | ReadBit(Fetch())); break;    // ORL C,bit
    case 0xA0: SetFlag(kCY, Carry() | !ReadBit(Fetch())); break;   // ORL C,/bit
    case 0x82: SetFlag(kCY, Carry() & ReadBit(Fetch())); break;    // ANL C,bit
    case 0xB0: SetFlag(kCY, Carry() & !ReadBit(Fetch())); break;   // ANL C,/bit
    case 0xA2: SetFlag(kCY, ReadBit(Fetch())); break;              // MOV C,bit
    case 0x92: WriteBit(Fetch(), Carry()); break;                  // MOV bit,C
    case 0xB2: { const uint8_t b = Fetch(); WriteBit(b, !ReadBit(b)); break; }   // CPL bit
    case 0xC2: WriteBit(Fetch(), false); break;                    // CLR bit
    case 0xD2: WriteBit(Fetch(), true); break;                     // SETB bit
    case 0xB3: SetFlag(kCY, !Carry()); break;                      // CPL C
    case 0xC3: SetFlag(kCY, false); break;                         // CLR C
    case 0xD3: SetFlag(kCY, true); break;                          // SETB C
    case 0x74: acc = Fetch(); break;                               // MOV A,#imm
    case 0x75: { const uint8_t d = Fetch(); WriteDirect(d, Fetch()); break; }   // MOV direct,#imm
    case 0x76: case 0x77: iram[R(op & 1)] = Fetch(); break;        // MOV @Ri,#imm
    case 0x78: case 0x79: case 0x7A: case 0x7B: case 0x7C: case 0x7D: case 0x7E: case 0x7F: R(op & 7) = Fetch(); break;
    case 0x85: { const uint8_t src = Fetch(); const uint8_t v = ReadDirect(src); WriteDirect(Fetch(), v); break; }
    case 0x86: case 0x87: WriteDirect(Fetch(), iram[R(op & 1)]); break;   // MOV direct,@Ri
    case 0x88: case 0x89: case 0x8A: case 0x8B: case 0x8C: case 0x8D: case 0x8E: case 0x8F:
        WriteDirect(Fetch(), R(op & 7));
        break;
    case 0xA6: case 0xA7: iram[R(op & 1)] = ReadDirect(Fetch()); break;    // MOV @Ri,direct
    case 0xA8: case 0xA9: case 0xAA: case 0xAB: case 0xAC: case 0xAD: case 0xAE: case 0xAF: R(op & 7) = ReadDirect(Fetch()); break;
    case 0x90: S(kDPH) = Fetch(); S(kDPL) = Fetch(); break;        // MOV DPTR,#imm16
    case 0x83: { const uint16_t at = uint16_t(pc + acc); acc = bus_.Code(at); break; }     // MOVC A,@A+PC
    case 0x93: acc = bus_.Code(uint16_t(Dptr() + acc)); break;     // MOVC A,@A+DPTR
    case 0x84: {   // DIV AB: by zero sets OV, A and B are undefined (kept here)
        const uint8_t b = S(kB);
        SetFlag(kCY, false);
        SetFlag(kOV, b == 0);
        if (b != 0) {
            const uint8_t q = uint8_t(acc / b), r = uint8_t(acc % b);
            acc = q;
            S(kB) = r;
        }
        break;
    }
    case 0xA4: {   // MUL AB
        const unsigned p = unsigned(acc) * S(kB);
        acc = uint8_t(p);
        S(kB) = uint8_t(p >> 8);
        SetFlag(kCY, false);
        SetFlag(kOV, p > 0xFF);
        break;
    }
    case 0xA5: ++reserved_; break;
    case 0xB4: case 0xB5: {   // CJNE A,#imm,rel / CJNE A,direct,rel
        const uint8_t v = op == 0xB4 ? Fetch() : ReadDirect(Fetch());
        const int8_t rel = int8_t(Fetch());
        SetFlag(kCY, acc < v);
        Jump(acc != v, rel);
        break;
    }
    case 0xB6: case 0xB7: case 0xB8: case 0xB9: case 0xBA: case 0xBB: case 0xBC: case 0xBD: case 0xBE: case 0xBF: {
        const uint8_t x = op < 0xB8 ? iram[R(op & 1)] : R(op & 7);
        const uint8_t imm = Fetch();
        const int8_t rel = int8_t(Fetch());
        SetFlag(kCY, x < imm);
        Jump(x != imm, rel);
        break;
    }
    case 0xC0: {   // PUSH direct: SP first, then the byte (PUSH SP stores the new SP)
        const uint8_t d = Fetch();
        ++S(kSP);
        iram[S(kSP)] = ReadDirect(d);
        break;
    }
    case 0xD0: { const uint8_t d = Fetch(); WriteDirect(d, Pop()); break; }   // POP direct
    case 0xC4: acc = uint8_t(acc << 4 | acc >> 4); break;          // SWAP A
    case 0xC5: { const uint8_t d = Fetch(); const uint8_t v = ReadDirect(d); WriteDirect(d, acc); acc = v; break; }
    case 0xC6: case 0xC7: { uint8_t& m = iram[R(op & 1)]; const uint8_t v = m; m = acc; acc = v; break; }
    case 0xC8: case 0xC9: case 0xCA: case 0xCB: case 0xCC: case 0xCD: case 0xCE: case 0xCF: {
        const uint8_t v = R(op & 7);
        R(op & 7) = acc;
        acc = v;
        break;
    }
    case 0xD6: case 0xD7: {   // XCHD A,@Ri: low nibbles only
        uint8_t& m = iram[R(op & 1)];
        const uint8_t v = m;
        m = uint8_t((m & 0xF0) | (acc & 0x0F));
        acc = uint8_t((acc & 0xF0) | (v & 0x0F));
        break;
    }
    case 0xD4: {   // DA A: may set CY, never clears it
        unsigned a = acc;
        if ((a & 0x0F) > 9 || (S(kPSW) & kAC)) {
            a += 0x06;
            if (a > 0xFF) SetFlag(kCY, true);
        }
        if (((a >> 4) & 0x0F) > 9 || Carry()) {
            a += 0x60;
            if (a > 0xFF) SetFlag(kCY, true);
        }
        acc = uint8_t(a);
        break;
    }
    case 0xD5: {   // DJNZ direct,rel
        const uint8_t d = Fetch();
        const int8_t rel = int8_t(Fetch());
        const uint8_t v = uint8_t(ReadDirect(d) - 1);
        WriteDirect(d, v);
        Jump(v != 0, rel);
        break;
    }
    case 0xD8: case 0xD9: case 0xDA: case 0xDB: case 0xDC: case 0xDD: case 0xDE: case 0xDF: {
        const int8_t rel = int8_t(Fetch());
        Jump(--R(op & 7) != 0, rel);
        break;
    }
    case 0xE0: acc = bus_.ReadX(Dptr()); break;                    // MOVX A,@DPTR
    case 0xE2: case 0xE3: acc = bus_.ReadX(uint16_t(ReadDirect(0xA0) << 8 | R(op & 1))); break;   // P2 high byte
    case 0xF0: bus_.WriteX(Dptr(), acc); break;
    case 0xF2: case 0xF3: bus_.WriteX(uint16_t(ReadDirect(0xA0) << 8 | R(op & 1)), acc); break;
    case 0xE4: acc = 0; break;                                     // CLR A
    case 0xF4: acc = uint8_t(~acc); break;                         // CPL A
    case 0xE5: acc = ReadDirect(Fetch()); break;                   // MOV A,direct
    case 0xE6: case 0xE7: acc = iram[R(op & 1)]; break;
    case 0xE8: case 0xE9: case 0xEA: case 0xEB: case 0xEC: case 0xED: case 0xEE: case 0xEF: acc = R(op & 7); break;
    case 0xF5: WriteDirect(Fetch(), acc); break;                   // MOV direct,A
    case 0xF6: case 0xF7: iram[R(op & 1)] = acc; break;
    case 0xF8: case 0xF9: case 0xFA: case 0xFB: case 0xFC: case 0xFD: case 0xFE: case 0xFF: R(op & 7) = acc; break;
    default: break;
    }
done:
    UpdateParity();
    return kCycles[op];
}

}  // namespace qtx::sim
