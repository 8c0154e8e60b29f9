// A C166-family CPU core (C167 level) for the simulated boards: its own
// decoder, the register bank in internal RAM through CP, the PSW flags, DPP
// paging, the EXT* sequences, SFR and ESFR space, the system stack with its
// overflow and underflow limits, MUL/DIV through MDH/MDL, and the instruction
// state times. Peripherals and the external bus live behind C166Io.
//
// Sources: "Instruction Set Manual for the C16x Family" (Siemens V1.2, 12.97):
// ch.2 addressing and flags, ch.4 opcode table, ch.5 instruction descriptions,
// "Instruction State Times" (printed p.125 in the page mirror); C167CR
// Derivatives User's Manual V3.1 (Infineon, 2000): ch.3 memory organisation,
// ch.4 CPU registers, ch.9 external bus controller.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qtx::sim {

// What the core does not own: peripheral SFRs and the external bus.
class C166Io {
public:
    virtual ~C166Io() = default;
    // SFR or ESFR word (addr even, 0xF000..0xF1FE or 0xFE00..0xFFFE) not kept by the core.
    virtual uint16_t ReadSfr(uint16_t addr) = 0;
    virtual void WriteSfr(uint16_t addr, uint16_t value) = 0;
    // 24-bit external address; byte writes carry the byte in the addressed half.
    virtual uint16_t ReadExternal(uint32_t addr) = 0;
    // An instruction word fetched from outside the core: as a read, unless the
    // board models a fetch unit that reads ahead of execution.
    virtual uint16_t FetchExternal(uint32_t addr) { return ReadExternal(addr); }
    virtual void WriteExternal(uint32_t addr, uint16_t value, bool byte) = 0;
    // Extra state times an external access costs (bus wait states).
    virtual int ExternalStates() const { return 0; }
    // The same for one address: on the C166S V2 chips the 24-bit space outside
    // the core holds on-chip memories (PSRAM, flash) with their own timing.
    virtual int AccessStates(uint32_t addr) const {
        (void)addr;
        return ExternalStates();
    }
    virtual void Misuse(const std::string& what) = 0;
    // A watchdog instruction ran: "srvwdt", "diswdt", "enwdt" or "einit" (EINIT
    // ends the phase in which DISWDT works). Boards that model the watchdog act on it.
    virtual void WatchdogInstruction(const std::string& mnemonic) { (void)mnemonic; }
};

// One decoded instruction (the decoder's own view; shared with nothing else).
struct C166Operand {
    enum Kind : uint8_t {
        None, Gpr, GprB, Reg, RegB, Mem, Ind, PostInc, PreDec, Index, Imm,
        Cond, Rel, Caddr, Seg, Bit, BitOff, Count, Page, SegNum
    };
    Kind kind = None;
    uint8_t n = 0;        // register number, short address, condition, bit offset
    uint16_t value = 0;   // immediate, address, offset, relative target
    uint8_t bit = 0;
};

struct C166Insn {
    const char* mnem = nullptr;   // nullptr: undefined opcode
    int length = 2;
    C166Operand op[3];
    int count = 0;
    uint8_t opcode = 0;
};

// Decodes the instruction at pc (bytes from there on). Relative targets are
// made absolute from pc.
C166Insn DecodeC166(const uint8_t* bytes, uint16_t pc);
// Canonical text ("mov r1,#0x1234"), the form the encoding vectors use.
std::string FormatC166(const C166Insn& insn);

class C166Cpu {
public:
    struct Config {
        uint16_t iramStart = 0xF600;   // C167CR: 2 KiB F600..FDFF; C163: 1 KiB FA00..FDFF
        uint32_t clockHz = 20000000;
        bool sv2 = false;              // a C166S V2 core (XC16x): ENWDT and SBRK exist
    };

    C166Cpu(C166Io& io, const Config& config);

    void Reset();
    // Executes one instruction. False once the core stopped (trap, undefined
    // opcode, stack limit, IDLE/PWRDN); Stopped() says why.
    bool Step();
    bool Halted() const { return !stopped_.empty(); }
    const std::string& Stopped() const { return stopped_; }

    uint64_t States() const { return states_; }
    void AddStates(uint64_t n) { states_ += n; }
    uint64_t Instructions() const { return instructions_; }
    uint32_t ClockHz() const { return config_.clockHz; }

    // Registers and memory, for the boot ROM model and tests.
    uint16_t Ip() const { return ip_; }
    void SetIp(uint16_t ip) { ip_ = ip; }
    uint16_t Sfr(uint16_t addr);                 // any SFR, core-owned or not
    void SetSfr(uint16_t addr, uint16_t value);
    uint16_t Gpr(int n);
    void SetGpr(int n, uint16_t v);
    uint16_t Psw() const { return psw_; }
    uint8_t ReadByte(uint32_t phys);
    void WriteByte(uint32_t phys, uint8_t v);
    uint16_t ReadWord(uint32_t phys);
    void WriteWord(uint32_t phys, uint16_t v);

    // PSW flag bits (C167CR UM ch.4 "Processor Status Word").
    enum : uint16_t { kN = 1, kC = 2, kV = 4, kZ = 8, kE = 16, kMulip = 32, kIen = 0x800 };

private:
    bool Internal(uint32_t phys) const;
    uint32_t Phys(uint16_t addr) const;   // logical data address through DPP/EXTP/EXTS
    uint16_t ReadData(uint16_t addr, bool byte);
    uint16_t FetchWord(uint32_t phys);    // an instruction word
    void WriteData(uint16_t addr, uint16_t v, bool byte);
    uint16_t ShortAddr(uint8_t rr) const;  // 8-bit reg address to a word address
    uint16_t BitWord(uint8_t qq) const;    // bit offset to a word address
    uint16_t Read(const C166Operand& op, bool byte);
    void Write(const C166Operand& op, uint16_t v, bool byte);
    uint16_t Address(const C166Operand& op, bool byte);  // indirect forms, with pre/post steps
    bool Condition(uint8_t cc) const;
    void Push(uint16_t v);
    uint16_t Pop();
    void Flags(uint16_t result, bool byte, bool c, bool v, uint16_t eSource);
    void Stop(const std::string& why);
    void Execute(const C166Insn& in);

    C166Io& io_;
    Config config_;
    std::vector<uint8_t> iram_;        // iramStart..0xFDFF
    std::array<uint16_t, 256> sfr_{};  // core-owned SFRs by short address
    uint16_t ip_ = 0;
    uint16_t psw_ = 0;
    uint64_t states_ = 0;
    uint64_t instructions_ = 0;
    std::string stopped_;
    // EXT* sequences: instructions left, and what they change.
    int extCount_ = 0;
    bool extEsfr_ = false;
    int extMode_ = 0;                  // 0 none, 1 page, 2 segment
    uint16_t extValue_ = 0;
    int postStep_ = 0;                 // post-increment waiting for the end of the instruction
    int postReg_ = -1;
    bool jumped_ = false;
};

}  // namespace qtx::sim
