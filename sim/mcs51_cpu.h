// An MCS-51 core: the whole instruction set with its flags, register banks,
// internal RAM and SFR space. Code, external data and the peripherals behind
// SFRs belong to the board, which the core reaches through Mcs51Bus.
//
// Instruction set, encodings, flags and cycle counts: Atmel "8051
// Microcontroller Instruction Set" (doc0509), per-instruction pages and the
// "Instructions that affect flag settings" table.
#pragma once

#include <array>
#include <cstdint>

namespace qtx::sim {

class Mcs51Bus {
public:
    virtual ~Mcs51Bus() = default;
    virtual uint8_t Code(uint16_t addr) = 0;            // MOVC and instruction fetch
    virtual uint8_t ReadX(uint16_t addr) = 0;           // MOVX reads
    virtual void WriteX(uint16_t addr, uint8_t v) = 0;  // MOVX writes
    // A peripheral that owns an SFR answers here; false leaves it to the
    // core's plain SFR storage.
    virtual bool ReadSfr(uint8_t /*addr*/, uint8_t& /*v*/) { return false; }
    virtual bool WriteSfr(uint8_t /*addr*/, uint8_t /*v*/) { return false; }
};

class Mcs51 {
public:
    // SFR addresses of the core itself (doc0509, "SFR map" of the 8051).
    static constexpr uint8_t kSP = 0x81, kDPL = 0x82, kDPH = 0x83, kPSW = 0xD0, kACC = 0xE0, kB = 0xF0;
    static constexpr uint8_t kCY = 0x80, kAC = 0x40, kOV = 0x04, kP = 0x01;   // PSW bits
    static constexpr uint8_t kReserved = 0xA5;   // the one undefined opcode

    explicit Mcs51(Mcs51Bus& bus) : bus_(bus) { Reset(); }

    // Reset state: PC 0, SP 07h, other core SFRs 0; internal RAM is kept.
    void Reset();
    // Executes one instruction and returns its machine cycles. The reserved
    // opcode is executed as a one-cycle no-op and counted in Reserved().
    int Step();

    uint16_t pc = 0;
    std::array<uint8_t, 256> iram{};   // lower and upper 128 bytes (indirect access reaches both)
    std::array<uint8_t, 128> sfr{};    // plain storage of SFRs no peripheral owns

    uint8_t Sfr(uint8_t addr) const { return sfr[addr - 0x80]; }
    uint8_t A() const { return Sfr(kACC); }
    uint8_t Psw() const { return Sfr(kPSW); }
    uint16_t Dptr() const { return uint16_t(Sfr(kDPH) << 8 | Sfr(kDPL)); }
    uint64_t Instructions() const { return instructions_; }
    uint64_t Reserved() const { return reserved_; }
    // How often each opcode ran: lets a test prove its programs cover them all.
    const std::array<uint64_t, 256>& OpcodeCounts() const { return opcodes_; }
    // Reads of SFRs, for a board that watches its program poll a status.
    uint8_t ReadDirect(uint8_t addr);

private:
    uint8_t& S(uint8_t addr) { return sfr[addr - 0x80]; }
    uint8_t Fetch() { return bus_.Code(pc++); }
    uint8_t& R(int n) { return iram[(S(kPSW) & 0x18) + n]; }
    void WriteDirect(uint8_t addr, uint8_t v);
    bool ReadBit(uint8_t bit);
    void WriteBit(uint8_t bit, bool v);
    void SetFlag(uint8_t mask, bool on) { S(kPSW) = uint8_t(on ? S(kPSW) | mask : S(kPSW) & ~mask); }
    bool Carry() { return S(kPSW) & kCY; }
    void Push(uint8_t v) { iram[++S(kSP)] = v; }
    uint8_t Pop() { return iram[S(kSP)--]; }
    void Add(uint8_t v, bool carryIn);
    void Subb(uint8_t v);
    void Jump(bool taken, int8_t rel) { if (taken) pc = uint16_t(pc + rel); }
    // Operand of the low-nibble addressing modes 4..F: #imm, direct, @R0, @R1, R0..R7.
    uint8_t Operand(uint8_t op);
    void UpdateParity();

    Mcs51Bus& bus_;
    uint64_t instructions_ = 0;
    uint64_t reserved_ = 0;
    std::array<uint64_t, 256> opcodes_{};
};

}  // namespace qtx::sim
