#include "sim/stm32_board.h"

#include "sim/arm_systick.h"
#include "sim/preloader_check.h"
#include "sim/stm32_dma.h"

#include <algorithm>
#include <cstdio>

namespace qtx::sim {

namespace {

std::string Hex(uint32_t v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

void FillUndefined(std::vector<uint8_t>& ram) {
    uint32_t x = 0x9E3779B9u;
    for (auto& b : ram) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
}


uint8_t Xor(const std::vector<uint8_t>& v, std::size_t from, std::size_t to) {
    uint8_t x = 0;
    for (std::size_t i = from; i < to; ++i) x ^= v[i];
    return x;
}

}  // namespace

// ---- ROM boot loader ----------------------------------------------------------------

Stm32RomBoard::Stm32RomBoard(const Stm32Traits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits),
      config_(config),
      io_(io),
      flash_(traits.flashSize),
      sram_(traits.sramSize) {
    EnterRom();
}

Stm32RomBoard::~Stm32RomBoard() {
    if (program_) program_->End("ended with the board");
}

Stm32RomBoard::Mode Stm32RomBoard::CurrentMode() const {
    return mode_ == Mode::Program && program_->Halted() ? Mode::Halted : mode_;
}

void Stm32RomBoard::EnterRom() {
    if (program_) program_->End("ended by the reset");
    usart_ = nullptr;
    program_.reset();
    FillUndefined(sram_);
    mode_ = Mode::Rom;
    rom_ = Rom::Sync;
    baud_ = 0;
    in_.clear();
    pending_.clear();
    ignored_ = 0;
    writes_ = 0;
}

void Stm32RomBoard::Reset() {
    if (mode_ == Mode::Rom && rom_ == Rom::Sync && ignored_ > 0)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before 0x7F");
    EnterRom();
}

std::optional<Clock::time_point> Stm32RomBoard::NextTimer() const {
    if (mode_ == Mode::Rom && rom_ == Rom::Erasing) return eraseDone_;
    if (mode_ == Mode::Program) return program_->NextTimer();
    return std::nullopt;
}

void Stm32RomBoard::OnTimer() {
    if (mode_ == Mode::Program) {
        program_->OnTimer();
        return;
    }
    if (mode_ != Mode::Rom || rom_ != Rom::Erasing) return;
    for (int s : eraseList_) {
        const uint32_t start = traits_.unitStart(s);
        for (uint32_t i = 0; i < traits_.unitSize(s); ++i) flash_.Force(start + i, 0xFF);
    }
    io_.Log("boot loader: erased " + std::to_string(eraseList_.size()) + " units");
    rom_ = Rom::Command;
    Ack();
    // The host waits for the ACK, but whatever came meanwhile is not lost.
    while (!pending_.empty() && mode_ == Mode::Rom && rom_ != Rom::Erasing) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        RomByte(b, baud_);
    }
}

void Stm32RomBoard::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (mode_) {
    case Mode::Rom:
        RomByte(byte, hostBaud);
        return;
    case Mode::Program:
        program_->Receive(byte, hostBaud);
        return;
    case Mode::Halted:
        return;
    }
}

void Stm32RomBoard::Ack() { io_.Send(kAck); }

void Stm32RomBoard::Nack(const std::string& why) {
    io_.Log("boot loader: " + why + ": NACK");
    io_.Send(kNack);
    rom_ = Rom::Command;
    in_.clear();
}

void Stm32RomBoard::Halt(const std::string& why) {
    io_.Log(why + "; the board stays silent until it is reset");
    mode_ = Mode::Halted;
}

int Stm32RomBoard::Region(uint32_t address, uint32_t n) const {
    if (address >= kSramBase && address - kSramBase <= sram_.size() && n <= sram_.size() - (address - kSramBase))
        return 1;
    if (address >= traits_.flashBase && address - traits_.flashBase <= flash_.Size() &&
        n <= flash_.Size() - (address - traits_.flashBase))
        return 2;
    return 0;
}

uint8_t* Stm32RomBoard::Memory(uint32_t address) { return &sram_[address - kSramBase]; }

void Stm32RomBoard::RomByte(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::Sync: {
        if (byte != 0x7F) {
            ++ignored_;
            return;
        }
        baud_ = hostBaud;
        const uint8_t ack = config_.badId ? uint8_t(kAck ^ 0x80) : kAck;
        io_.Log("boot loader: 0x7F at " + std::to_string(hostBaud) + " baud: answered " + Hex(ack) +
                (config_.badId ? " (bad-id fault)" : "") +
                (ignored_ ? "; " + std::to_string(ignored_) + " bytes before it ignored" : ""));
        ignored_ = 0;
        io_.Send(ack);
        rom_ = Rom::Command;
        return;
    }
    case Rom::Command:
        command_ = byte;
        rom_ = Rom::Complement;
        return;
    case Rom::Complement:
        if (byte != uint8_t(command_ ^ 0xFF)) {
            Nack("command " + Hex(command_) + " with complement " + Hex(byte));
            return;
        }
        Dispatch();
        return;
    case Rom::Erasing:
        pending_.push_back(byte);
        return;
    default:
        break;
    }
    in_.push_back(byte);
    if (rom_ == Rom::WriteData && in_.size() == 1) need_ = std::size_t(in_[0]) + 3;
    if (in_.size() < need_) return;
    switch (rom_) {
    case Rom::Address: AddressDone(); return;
    case Rom::ReadLength: ReadDone(); return;
    case Rom::WriteData: WriteDone(); return;
    case Rom::EraseCount: EraseCountDone(); return;
    case Rom::EraseList: EraseListDone(); return;
    case Rom::PageCount: PageCountDone(); return;
    case Rom::PageList: PageListDone(); return;
    default: return;
    }
}

void Stm32RomBoard::Dispatch() {
    in_.clear();
    switch (command_) {
    case 0x00: {  // Get: version and the command codes
        std::vector<uint8_t> out{kAck, uint8_t(traits_.commands.size()), traits_.version};
        out.insert(out.end(), traits_.commands.begin(), traits_.commands.end());
        out.push_back(kAck);
        io_.Send(out.data(), out.size());
        rom_ = Rom::Command;
        return;
    }
    case 0x01: {  // Get Version and read protection status
        const uint8_t out[] = {kAck, traits_.version, 0x00, 0x00, kAck};
        io_.Send(out, sizeof out);
        rom_ = Rom::Command;
        return;
    }
    case 0x02: {  // Get ID
        const uint8_t out[] = {kAck, 0x01, uint8_t(traits_.productId >> 8), uint8_t(traits_.productId), kAck};
        io_.Send(out, sizeof out);
        rom_ = Rom::Command;
        return;
    }
    case 0x11:  // Read Memory
    case 0x21:  // Go
    case 0x31:  // Write Memory
        Ack();
        rom_ = Rom::Address;
        need_ = 5;
        return;
    case 0x43:  // Erase (AN3155 3.7), on boot loaders before version 3.0
    case 0x44:  // Extended Erase (AN3155 3.8)
        if (std::find(traits_.commands.begin(), traits_.commands.end(), command_) == traits_.commands.end()) {
            Nack("command " + Hex(command_) + " is not one of this boot loader's");
            return;
        }
        Ack();
        rom_ = command_ == 0x43 ? Rom::PageCount : Rom::EraseCount;
        need_ = command_ == 0x43 ? 1 : 2;
        return;
    default:
        Nack("command " + Hex(command_) + " is not modelled");
        return;
    }
}

void Stm32RomBoard::AddressDone() {
    const uint32_t address = uint32_t(in_[0]) << 24 | in_[1] << 16 | in_[2] << 8 | in_[3];
    if (Xor(in_, 0, 4) != in_[4]) {
        Nack("address " + Hex(address, 8) + " with checksum " + Hex(in_[4]) + ", expected " + Hex(Xor(in_, 0, 4)));
        return;
    }
    if (Region(address, 1) == 0) {
        Nack("address " + Hex(address, 8) + " is neither SRAM nor flash");
        return;
    }
    address_ = address;
    in_.clear();
    Ack();
    switch (command_) {
    case 0x11:
        rom_ = Rom::ReadLength;
        need_ = 2;
        return;
    case 0x31:
        rom_ = Rom::WriteData;
        need_ = 1;
        return;
    default:
        rom_ = Rom::Command;
        Jump(address);
        return;
    }
}

void Stm32RomBoard::ReadDone() {
    const uint32_t n = uint32_t(in_[0]) + 1;
    if (in_[1] != uint8_t(in_[0] ^ 0xFF)) {
        Nack("read length " + Hex(in_[0]) + " with complement " + Hex(in_[1]));
        return;
    }
    const int region = Region(address_, n);
    if (region == 0) {
        Nack("read of " + std::to_string(n) + " bytes at " + Hex(address_, 8) + " leaves the memory");
        return;
    }
    std::vector<uint8_t> out{kAck};
    for (uint32_t i = 0; i < n; ++i)
        out.push_back(region == 1 ? sram_[address_ - kSramBase + i] : flash_.Read(address_ - traits_.flashBase + i));
    io_.Send(out.data(), out.size());
    in_.clear();
    rom_ = Rom::Command;
}

void Stm32RomBoard::WriteDone() {
    const uint32_t n = uint32_t(in_[0]) + 1;
    const uint8_t sum = Xor(in_, 0, n + 1);
    if (sum != in_[n + 1]) {
        Nack("write of " + std::to_string(n) + " bytes at " + Hex(address_, 8) + " with checksum " +
             Hex(in_[n + 1]) + ", expected " + Hex(sum));
        return;
    }
    const int region = Region(address_, n);
    if (region == 0) {
        Nack("write of " + std::to_string(n) + " bytes at " + Hex(address_, 8) + " leaves the memory");
        return;
    }
    if (region == 1 && address_ < traits_.romRamEnd) {
        Nack("write of " + std::to_string(n) + " bytes at " + Hex(address_, 8) + " into the boot loader's own RAM");
        return;
    }
    ++writes_;
    if (region == 1) {
        std::copy(in_.begin() + 1, in_.begin() + 1 + n, Memory(address_));
    } else {
        const uint32_t base = address_ - traits_.flashBase;
        for (uint32_t i = 0; i < n; ++i) {
            if (flash_.Program(base + i, in_[1 + i]) != in_[1 + i]) {
                Nack("flash at " + Hex(address_ + i, 8) + " was not erased");
                return;
            }
        }
    }
    in_.clear();
    rom_ = Rom::Command;
    Ack();
}

void Stm32RomBoard::EraseCountDone() {
    const uint32_t n = uint32_t(in_[0]) << 8 | in_[1];
    if (n >= 0xFFF0) {
        // Special erases: the code and its checksum.
        rom_ = Rom::EraseList;
        need_ = 3;
        return;
    }
    rom_ = Rom::EraseList;
    need_ = 2 + 2 * (n + 1) + 1;
}

void Stm32RomBoard::EraseListDone() {
    const uint32_t n = uint32_t(in_[0]) << 8 | in_[1];
    const std::size_t last = in_.size() - 1;
    if (Xor(in_, 0, last) != in_[last]) {
        Nack("extended erase with checksum " + Hex(in_[last]) + ", expected " + Hex(Xor(in_, 0, last)));
        return;
    }
    eraseList_.clear();
    if (n == 0xFFFF) {
        for (int s = 0; s < traits_.eraseUnits; ++s) eraseList_.push_back(s);
    } else if (n >= 0xFFF0) {
        Nack("special erase " + Hex(n, 4) + " on a single-bank part");
        return;
    } else {
        for (std::size_t i = 2; i < last; i += 2) {
            const int sector = in_[i] << 8 | in_[i + 1];
            if (sector >= traits_.eraseUnits) {
                Nack("erase of sector " + std::to_string(sector));
                return;
            }
            eraseList_.push_back(sector);
        }
    }
    StartErase();
}

// Erase (AN3155 3.7): N, then 0xFF 0x00 for all, or N + 1 page numbers and
// the XOR of N and them.
void Stm32RomBoard::PageCountDone() {
    rom_ = Rom::PageList;
    need_ = in_[0] == 0xFF ? 2 : std::size_t(in_[0]) + 3;
}

void Stm32RomBoard::PageListDone() {
    const std::size_t last = in_.size() - 1;
    if (Xor(in_, 0, last) != in_[last]) {
        Nack("erase with checksum " + Hex(in_[last]) + ", expected " + Hex(Xor(in_, 0, last)));
        return;
    }
    eraseList_.clear();
    if (in_[0] == 0xFF) {
        for (int p = 0; p < traits_.eraseUnits; ++p) eraseList_.push_back(p);
    } else {
        for (std::size_t i = 1; i < last; ++i) {
            if (in_[i] >= traits_.eraseUnits) {
                Nack("erase of page " + std::to_string(in_[i]));
                return;
            }
            eraseList_.push_back(in_[i]);
        }
    }
    StartErase();
}

void Stm32RomBoard::StartErase() {
    io_.Log("boot loader: erasing " + std::to_string(eraseList_.size()) + " units for " +
            std::to_string(config_.eraseMs) + " ms");
    in_.clear();
    rom_ = Rom::Erasing;
    eraseDone_ = io_.Now() + std::chrono::milliseconds(config_.eraseMs);
}

std::set<uint32_t> Stm32RomBoard::StuckCells() const {
    std::set<uint32_t> cells;
    for (uint32_t a : config_.verifyErrorAt) {
        if (a - traits_.flashBase < flash_.Size())
            cells.insert(a - traits_.flashBase);
        else if (a < flash_.Size())
            cells.insert(a);
    }
    return cells;
}

// Go (AN3155 3.5): the stack pointer from the first word, then the entry at the second.
void Stm32RomBoard::Jump(uint32_t address) {
    io_.Log("boot loader: go to " + Hex(address, 8) + " after " + std::to_string(writes_) + " write commands");
    if (Region(address, 1) == 2) {
        Halt("the application in flash starts (not modelled)");
        return;
    }
    if (Region(address, 8) != 1) {
        Halt("go to " + Hex(address, 8) + ": not in SRAM");
        return;
    }
    const uint8_t* ram = Memory(address);
    VectorTable table;
    if (const std::string why = CheckVectorTable(ram, address, kSramBase, sram_.size(), table); !why.empty()) {
        Halt(why);
        return;
    }
    io_.Log("program at " + Hex(address, 8) + " " +
            CompareWithImage(*traits_.preloader, ram, sram_.size() - (address - kSramBase)) +
            ": running it on a Cortex-M" + (traits_.core == ArmCpu::Core::CortexM4 ? "4" : "3") + " at " +
            std::to_string(traits_.clockHz / 1000000) + " MHz" +
            (config_.fastClock ? " (running 3 % fast: " + std::to_string(ClockHz()) + " Hz)" : std::string()));
    auto cpu = std::make_unique<ArmCpu>(traits_.core, ClockHz());
    cpu->MapRam(kSramBase, sram_);
    std::vector<std::unique_ptr<ArmDevice>> devices;
    auto usart = std::make_unique<Stm32Usart>(*cpu, io_, ClockHz(), baud_);
    cpu->MapDevice(traits_.usartBase, 0x1C, *usart);
    UartLine& line = usart->Line();
    usart_ = usart.get();
    auto flash = traits_.mapFlash(*cpu, flash_, StuckCells(), traits_.flashBase, config_.eraseFails);
    auto systick = std::make_unique<SysTick>(*cpu);
    cpu->MapDevice(SysTick::kBase, SysTick::kSize, *systick);
    if (traits_.f4Dma) {
        auto rcc = std::make_unique<Stm32Rcc>(*cpu);
        auto dma = std::make_unique<Stm32Dma2>(*cpu, *rcc, *usart, sram_, kSramBase);
        cpu->MapDevice(Stm32Rcc::kBase, Stm32Rcc::kSize, *rcc);
        cpu->MapDevice(Stm32Dma2::kBase, Stm32Dma2::kSize, *dma);
        devices.push_back(std::move(rcc));
        devices.push_back(std::move(dma));
    }
    devices.push_back(std::move(usart));
    devices.push_back(std::move(flash));
    devices.push_back(std::move(systick));
    cpu->Start(table.sp, table.entry);
    mode_ = Mode::Program;
    program_ = std::make_unique<ArmProgram>(io_, std::move(cpu), std::move(devices), line);
}

}  // namespace qtx::sim
