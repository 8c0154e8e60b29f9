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
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/flash_model.h"

namespace qtx::sim {

class Xc16xFlash {
public:
    // weak: byte offsets of cells that will not program: the cell keeps its
    // lowest bit that should have become 0, and the module reports nothing.
    // modules: 1 on the XC164/167, 3 on the XE167 (its busy flag has a bit per
    // module, [HDR-XE] FSR_BUSY; one operation at a time over all of them,
    // XC2200 UM 3.9.2.2). The command cycles go to the first module's
    // addresses (inferred for the XE167).
    Xc16xFlash(std::set<uint32_t> weak, unsigned modules = 1);

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

    uint32_t bytes_;
    uint16_t busyBit_ = 0;           // the module the running operation works in
    FlashModel cells_;
    std::set<uint32_t> weak_;
    std::vector<bool> programmed_;   // per page: written since its sector was erased
    Seq seq_ = Seq::Idle;
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
