// The on-chip program flash of the XC164/167 and XE167 boards: one or three
// 256 KiB modules from C0'0000h with their command state machine (Enter Page Mode, Load Page Buffer,
// Write Page, Erase Sector, Clear Status, Reset to Read), the busy and status
// flags, typical times, and the rules the module enforces. Every misuse is
// recorded.
//
// Sources: the XC16x System Units manual was not found; the module is modelled
// on its XC2000-family sibling, "XC2200 Derivatives System Units (Vol. 1 of 2)"
// User's Manual V2.1, 2008-08: 3.9.2.2 "Command Mode" (a busy module takes no
// new sequence, that is a sequence error; reads of a busy module stall the
// CPU), 3.9.2.3 "Page Mode" (one page at a time, some sequences are refused
// meanwhile), 3.9.4 "Details of Command Sequences" (word moves only, pages of
// 128 bytes, sectors of 4 KiB); command words and the status register layout as
// firmware/c166/xc16x.inc lists them. Typical times: the data sheet's flash
// parameters were not found; 3 ms per page and 7 ms per sector are assumed.
//
// The XE167 variant (Xc16xFlashKind) adds what a hardware-tested XC2000 flasher
// reports (voledyaev/openm74 docs/PROTOCOL.md, docs/FINDINGS.md; medium
// confidence for the XE167): a command cycle's upper address bits pick the
// module (PROTOCOL.md 380-387), so a cycle addressed to another module than the
// page or sector its sequence names is refused; erased cells read 0000h
// (PROTOCOL.md 388-389), so programming can only set bits; C0'F000h..C0'FFFFh
// is reserved (FINDINGS.md 183-213, quoting the XC2000 UM V1.0 Table 3-1 note
// 3): a program reads 9Bh 1Eh repeating there, and an erase or program there
// completes without changing it (both reported as misuse: no loader should
// try). Content() keeps erased cells in that range.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace qtx::sim {

struct Xc16xFlashKind {
    unsigned modules = 1;        // of 256 KiB: 1 on the XC164/167, 3 on the XE167
    uint8_t erased = 0xFF;       // what an erased cell reads
    bool reservedC0F000 = false; // the XE167's reserved sector
    bool wideErase = false;      // fault: an erase clears the 16 KiB around its sector
};

class Xc16xFlash {
public:
    // weak: byte offsets of cells that will not program: the cell keeps its
    // lowest bit that should have become 0, and the module reports nothing.
    // The busy flag has a bit per module ([HDR-XE] FSR_BUSY); one module busy
    // or in page mode at a time over all of them (XC2200 UM 3.9.2.3, p.3-21).
    Xc16xFlash(std::set<uint32_t> weak, const Xc16xFlashKind& kind = {});

    static constexpr uint32_t kBase = 0xC00000;
    static constexpr uint32_t kModuleBytes = 256 * 1024;
    static constexpr uint32_t kPage = 128;
    static constexpr uint32_t kSector = 4096;
    static constexpr uint64_t kPageProgramNs = 3'000'000;
    static constexpr uint64_t kSectorEraseNs = 7'000'000;
    // Status registers (24-bit addresses) and their bits.
    static constexpr uint32_t kFsrBusy = 0xFFFF06, kFsrOp = 0xFFFF08;
    static constexpr uint16_t kBusyBit = 0x0001, kPageModeBit = 0x0100;
    static constexpr uint16_t kProg = 0x01, kErase = 0x02, kSqer = 0x10, kOper = 0x20;
    // The reserved sector and what it reads (FINDINGS.md 183-186).
    static constexpr uint32_t kReservedFrom = 0xF000, kReservedTo = 0x10000;
    static constexpr uint8_t kReservedPattern[2] = {0x9B, 0x1E};

    bool Holds(uint32_t addr) const { return addr >= kBase && addr < kBase + bytes_; }
    uint32_t Bytes() const { return bytes_; }
    bool IsStatus(uint32_t addr) const { return addr == kFsrBusy || addr == kFsrOp; }

    uint16_t Read(uint32_t addr, uint64_t nowNs);        // array or status register
    void Write(uint32_t addr, uint16_t value, bool byte, uint64_t nowNs);

    bool Busy(uint64_t nowNs) const { return busyUntil_ > nowNs; }
    uint64_t DoneAt() const { return busyUntil_; }
    // Board reset: back to read mode, status cleared; the cells keep their content.
    void Reset();

    const FlashModel& Content() const { return cells_; }
    const std::vector<std::string>& Misuse() const { return misuse_; }
    uint64_t PagesProgrammed() const { return pages_; }
    uint64_t SectorsErased() const { return sectors_; }

private:
    enum class Seq { Idle, PageAddress, Erase2, Erase3, Write2 };

    void Refuse(const std::string& what);
    void Note(const std::string& what);
    void WritePage(uint64_t nowNs);
    void EraseSector(uint32_t offset, uint64_t nowNs);
    void EraseCells(uint32_t offset, uint32_t bytes);
    bool Reserved(uint32_t offset) const {
        return kind_.reservedC0F000 && offset >= kReservedFrom && offset < kReservedTo;
    }
    static unsigned ModuleOf(uint32_t offset) { return offset / kModuleBytes; }
    // A cycle of the running sequence must go to the module it works in.
    bool SameModule(uint32_t offset, const char* what);

    Xc16xFlashKind kind_;
    uint32_t bytes_;
    uint16_t busyBit_ = 0;           // the module the running operation works in
    FlashModel cells_;
    std::set<uint32_t> weak_;
    std::vector<bool> programmed_;   // per page: written since its sector was erased
    Seq seq_ = Seq::Idle;
    unsigned seqModule_ = 0;         // the module the running sequence's cycles went to
    bool pageMode_ = false;
    uint32_t page_ = 0;               // offset of the page in page mode
    std::vector<uint16_t> buffer_;   // the assembly buffer
    std::size_t loaded_ = 0;
    uint64_t busyUntil_ = 0;
    uint16_t op_ = 0;                // FSR_OP
    std::vector<std::string> misuse_;
    uint64_t pages_ = 0, sectors_ = 0;
};

}  // namespace qtx::sim
