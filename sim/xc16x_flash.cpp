#include "sim/xc16x_flash.h"

#include <cstdio>

namespace qtx::sim {

namespace {
// Offsets within its 64 KiB segment that a command cycle uses (firmware/c166/xc16x.inc);
// the segment picks the module.
constexpr uint32_t kCmd1 = 0xAA, kErase2 = 0x54, kWrite2 = 0x5A, kLoad = 0xF2;
// The fault wide-erase: the real sector is this large, not 4 KiB.
constexpr uint32_t kWideSector = 16 * 1024;

std::string Hex(unsigned v, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}
}  // namespace

Xc16xFlash::Xc16xFlash(std::set<uint32_t> weak, const Xc16xFlashKind& kind)
    : kind_(kind), bytes_(kind.modules * kModuleBytes), cells_(bytes_), weak_(std::move(weak)),
      programmed_(bytes_ / kPage, false), buffer_(kPage / 2, uint16_t(kind.erased * 0x0101)) {
    // A new chip comes erased. The reserved sector's own content is the
    // device's and never changes: the cells (the --flash-out dump) stay erased
    // there, and a program reads the pattern (Read).
    if (kind_.erased != 0xFF)
        for (uint32_t i = 0; i < bytes_; ++i) cells_.Force(i, kind_.erased);
}

bool Xc16xFlash::SameModule(uint32_t offset, const char* what) {
    if (ModuleOf(offset) == seqModule_) return true;
    Refuse(std::string(what) + " at " + Hex(kBase + offset, 6) + " in module " + std::to_string(ModuleOf(offset)) +
           ", but its sequence works in module " + std::to_string(seqModule_) + ": refused");
    return false;
}

void Xc16xFlash::Reset() {
    seq_ = Seq::Idle;
    pageMode_ = false;
    loaded_ = 0;
    busyUntil_ = 0;
    op_ = 0;
    misuse_.clear();
    pages_ = sectors_ = 0;
}

void Xc16xFlash::Note(const std::string& what) {
    if (misuse_.size() < 50) misuse_.push_back(what);
}

void Xc16xFlash::Refuse(const std::string& what) {
    // A sequence the module does not know: SQER, and it is back in read mode
    // (3.9.2.1: "after all sequence errors").
    op_ |= kSqer;
    seq_ = Seq::Idle;
    pageMode_ = false;
    Note(what);
}

uint16_t Xc16xFlash::Read(uint32_t addr, uint64_t now) {
    if (addr == kFsrBusy)
        return uint16_t((Busy(now) ? busyBit_ : 0) | (pageMode_ ? kPageModeBit << (page_ / kModuleBytes) : 0));
    if (addr == kFsrOp) return op_;
    const uint32_t offset = (addr - kBase) & ~1u;
    if (Reserved(offset)) return uint16_t(kReservedPattern[0] | kReservedPattern[1] << 8);
    if (Busy(now)) Note("read of the flash array while it is busy (the CPU would stall) at " + Hex(addr, 6));
    return uint16_t(cells_.Read(offset) | cells_.Read(offset + 1) << 8);
}

void Xc16xFlash::Write(uint32_t addr, uint16_t value, bool byte, uint64_t now) {
    if (IsStatus(addr)) {
        Note("write to a read-only flash status register at " + Hex(addr, 6));
        return;
    }
    if (Busy(now)) {
        op_ |= kSqer;
        Note("command write while the flash is busy at " + Hex(addr, 6));
        return;
    }
    if (byte) {
        Refuse("byte write into the flash at " + Hex(addr, 6) + " (command cycles are word moves)");
        return;
    }
    const uint32_t offset = addr - kBase;
    const uint32_t low = addr & 0xFFFF;   // the rest of a cycle's address picks the module
    switch (seq_) {
    case Seq::Idle:
        if (low == kLoad && pageMode_) {
            seqModule_ = ModuleOf(page_);
            if (!SameModule(offset, "Load Page Buffer")) return;
            if (loaded_ >= buffer_.size()) {
                Refuse("Load Page Buffer beyond the 128-byte page");
                return;
            }
            buffer_[loaded_++] = value;
            return;
        }
        if (low != kCmd1) {
            Refuse("write of " + Hex(value, 4) + " to " + Hex(addr, 6) + ": not a command cycle");
            return;
        }
        seqModule_ = ModuleOf(offset);
        switch (value & 0xFF) {
        case 0x50:
            if (pageMode_) return Refuse("Enter Page Mode while a page is open");
            seq_ = Seq::PageAddress;
            return;
        case 0x80:
            if (pageMode_) return Refuse("Erase Sector in page mode");
            seq_ = Seq::Erase2;
            return;
        case 0xA0:
            if (!pageMode_) return Refuse("Write Page without Enter Page Mode");
            seqModule_ = ModuleOf(page_);
            if (!SameModule(offset, "Write Page")) return;
            seq_ = Seq::Write2;
            return;
        case 0xF5:
            op_ = 0;   // Clear Status
            return;
        case 0xF0:
            pageMode_ = false;   // Reset to Read
            return;
        default:
            return Refuse("unknown command " + Hex(value, 4));
        }
    case Seq::PageAddress:
        if ((value & 0xFF) != 0xAA || offset % kPage != 0)
            return Refuse("Enter Page Mode: second cycle " + Hex(value, 4) + " at " + Hex(addr, 6));
        if (!SameModule(offset, "Enter Page Mode: the page")) return;
        seq_ = Seq::Idle;
        pageMode_ = true;
        page_ = offset;
        loaded_ = 0;
        buffer_.assign(buffer_.size(), uint16_t(kind_.erased * 0x0101));
        return;
    case Seq::Erase2:
        if (low != kErase2 || (value & 0xFF) != 0xAA) return Refuse("Erase Sector: wrong second cycle");
        if (!SameModule(offset, "Erase Sector: the second cycle")) return;
        seq_ = Seq::Erase3;
        return;
    case Seq::Erase3:
        if ((value & 0xFF) != 0x33 || offset % kSector != 0)
            return Refuse("Erase Sector: third cycle " + Hex(value, 4) + " at " + Hex(addr, 6));
        if (!SameModule(offset, "Erase Sector: the sector")) return;
        seq_ = Seq::Idle;
        EraseSector(offset, now);
        return;
    case Seq::Write2:
        if (low != kWrite2 || (value & 0xFF) != 0xAA) return Refuse("Write Page: wrong second cycle");
        if (!SameModule(offset, "Write Page: the second cycle")) return;
        seq_ = Seq::Idle;
        WritePage(now);
        return;
    }
}

void Xc16xFlash::WritePage(uint64_t now) {
    pageMode_ = false;
    if (programmed_[page_ / kPage]) {
        // Writing a page twice without erasing its sector would stress its
        // cells: the module refuses, as this model's rule.
        op_ |= kOper;
        Note("Write Page into the already programmed page " + Hex(kBase + page_, 6));
        return;
    }
    op_ |= kProg;
    busyBit_ = uint16_t(kBusyBit << ModuleOf(page_));
    busyUntil_ = now + kPageProgramNs;
    if (Reserved(page_)) {
        Note("Write Page into the reserved sector at " + Hex(kBase + page_, 6) +
             ": it completes and changes nothing");
        return;
    }
    programmed_[page_ / kPage] = true;
    const bool setsBits = kind_.erased == 0x00;   // programming moves cells away from erased
    for (uint32_t i = 0; i < kPage; ++i) {
        const uint8_t want = uint8_t(i & 1 ? buffer_[i / 2] >> 8 : buffer_[i / 2]);
        const uint32_t cell = page_ + i;
        const uint8_t old = cells_.Read(cell);
        uint8_t got = setsBits ? uint8_t(old | want) : uint8_t(old & want);
        const uint8_t moving = setsBits ? uint8_t(want & ~old) : uint8_t(old & ~want);
        if (weak_.count(cell) && moving) got ^= uint8_t(moving & -moving);   // its lowest bit stays erased
        cells_.Force(cell, got);
    }
    ++pages_;
}

void Xc16xFlash::EraseCells(uint32_t offset, uint32_t bytes) {
    for (uint32_t i = offset; i < offset + bytes && i < bytes_; ++i)
        if (!Reserved(i)) cells_.Force(i, kind_.erased);
    for (uint32_t p = offset / kPage; p < (offset + bytes) / kPage && p < programmed_.size(); ++p) programmed_[p] = false;
}

void Xc16xFlash::EraseSector(uint32_t offset, uint64_t now) {
    if (Reserved(offset))
        Note("Erase Sector of the reserved sector at " + Hex(kBase + offset, 6) +
             ": it reports success and changes nothing");
    else if (kind_.wideErase)
        EraseCells(offset & ~(kWideSector - 1), kWideSector);
    else
        EraseCells(offset, kSector);
    op_ |= kErase;
    busyBit_ = uint16_t(kBusyBit << ModuleOf(offset));
    busyUntil_ = now + kSectorEraseNs;
    ++sectors_;
}

}  // namespace qtx::sim
