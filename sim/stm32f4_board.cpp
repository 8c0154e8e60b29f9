#include "sim/stm32f4_board.h"
#include "sim/arm_periph_flash.h"
#include "sim/preloader_check.h"

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

// Commands the ROM answers, as Get lists them.
const uint8_t kCommands[] = {0x00, 0x01, 0x02, 0x11, 0x21, 0x31, 0x44};

}  // namespace

// STM32F405/407: 128 KiB of SRAM1 and SRAM2, 1 MiB of flash, boot loader 3.1.
// The ROM boot loader runs on the 16 MHz HSI (AN2606, STM32F40xxx/41xxx boot loader configuration).
const Stm32Traits kStm32f4Traits{"stm32f4", &kLoaderStm32f4, 128 * 1024, 0x08000000, 1024 * 1024, 0x0413, 0x31,
                                 16000000};

std::unique_ptr<Board> MakeStm32f4Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Stm32f4Board>(kStm32f4Traits, config, io);
}

uint32_t Stm32SectorStart(int sector) {
    if (sector <= 4) return uint32_t(sector) * 0x4000;
    return uint32_t(sector - 4) * 0x20000;
}

uint32_t Stm32SectorSize(int sector) {
    if (sector < 4) return 0x4000;
    return sector == 4 ? 0x10000 : 0x20000;
}

// ---- ROM boot loader ----------------------------------------------------------------

Stm32f4Board::Stm32f4Board(const Stm32Traits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits),
      config_(config),
      io_(io),
      flash_(traits.flashSize),
      sram_(traits.sramSize) {
    EnterRom();
}

Stm32f4Board::~Stm32f4Board() {
    if (program_) program_->End("ended with the board");
}

Stm32f4Board::Mode Stm32f4Board::CurrentMode() const {
    return mode_ == Mode::Program && program_->Halted() ? Mode::Halted : mode_;
}

void Stm32f4Board::EnterRom() {
    if (program_) program_->End("ended by the reset");
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

void Stm32f4Board::Reset() {
    if (mode_ == Mode::Rom && rom_ == Rom::Sync && ignored_ > 0)
        io_.Log("boot loader ignored " + std::to_string(ignored_) + " bytes before 0x7F");
    EnterRom();
}

std::optional<Clock::time_point> Stm32f4Board::NextTimer() const {
    if (mode_ == Mode::Rom && rom_ == Rom::Erasing) return eraseDone_;
    if (mode_ == Mode::Program) return program_->NextTimer();
    return std::nullopt;
}

void Stm32f4Board::OnTimer() {
    if (mode_ == Mode::Program) {
        program_->OnTimer();
        return;
    }
    if (mode_ != Mode::Rom || rom_ != Rom::Erasing) return;
    for (int s : eraseList_) {
        const uint32_t start = Stm32SectorStart(s);
        for (uint32_t i = 0; i < Stm32SectorSize(s); ++i) flash_.Force(start + i, 0xFF);
    }
    io_.Log("boot loader: erased " + std::to_string(eraseList_.size()) + " sectors");
    rom_ = Rom::Command;
    Ack();
    // The host waits for the ACK, but whatever came meanwhile is not lost.
    while (!pending_.empty() && mode_ == Mode::Rom && rom_ != Rom::Erasing) {
        const uint8_t b = pending_.front();
        pending_.pop_front();
        RomByte(b, baud_);
    }
}

void Stm32f4Board::Receive(uint8_t byte, uint32_t hostBaud) {
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

void Stm32f4Board::Ack() { io_.Send(kAck); }

void Stm32f4Board::Nack(const std::string& why) {
    io_.Log("boot loader: " + why + ": NACK");
    io_.Send(kNack);
    rom_ = Rom::Command;
    in_.clear();
}

void Stm32f4Board::Halt(const std::string& why) {
    io_.Log(why + "; the board stays silent until it is reset");
    mode_ = Mode::Halted;
}

int Stm32f4Board::Region(uint32_t address, uint32_t n) const {
    if (address >= kSramBase && address - kSramBase <= sram_.size() && n <= sram_.size() - (address - kSramBase))
        return 1;
    if (address >= traits_.flashBase && address - traits_.flashBase <= flash_.Size() &&
        n <= flash_.Size() - (address - traits_.flashBase))
        return 2;
    return 0;
}

uint8_t* Stm32f4Board::Memory(uint32_t address) { return &sram_[address - kSramBase]; }

void Stm32f4Board::RomByte(uint8_t byte, uint32_t hostBaud) {
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
    default: return;
    }
}

void Stm32f4Board::Dispatch() {
    in_.clear();
    switch (command_) {
    case 0x00: {  // Get: version and the command codes
        std::vector<uint8_t> out{kAck, uint8_t(sizeof kCommands), traits_.version};
        out.insert(out.end(), std::begin(kCommands), std::end(kCommands));
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
    case 0x44:  // Extended Erase
        Ack();
        rom_ = Rom::EraseCount;
        need_ = 2;
        return;
    default:
        Nack("command " + Hex(command_) + " is not modelled");
        return;
    }
}

void Stm32f4Board::AddressDone() {
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

void Stm32f4Board::ReadDone() {
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

void Stm32f4Board::WriteDone() {
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

void Stm32f4Board::EraseCountDone() {
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

void Stm32f4Board::EraseListDone() {
    const uint32_t n = uint32_t(in_[0]) << 8 | in_[1];
    const std::size_t last = in_.size() - 1;
    if (Xor(in_, 0, last) != in_[last]) {
        Nack("extended erase with checksum " + Hex(in_[last]) + ", expected " + Hex(Xor(in_, 0, last)));
        return;
    }
    eraseList_.clear();
    if (n == 0xFFFF) {
        for (int s = 0; s < kStm32Sectors; ++s) eraseList_.push_back(s);
    } else if (n >= 0xFFF0) {
        Nack("special erase " + Hex(n, 4) + " on a single-bank part");
        return;
    } else {
        for (std::size_t i = 2; i < last; i += 2) {
            const int sector = in_[i] << 8 | in_[i + 1];
            if (sector >= kStm32Sectors) {
                Nack("erase of sector " + std::to_string(sector));
                return;
            }
            eraseList_.push_back(sector);
        }
    }
    io_.Log("boot loader: erasing " + std::to_string(eraseList_.size()) + " sectors for " +
            std::to_string(config_.eraseMs) + " ms");
    in_.clear();
    rom_ = Rom::Erasing;
    eraseDone_ = io_.Now() + std::chrono::milliseconds(config_.eraseMs);
}

std::set<uint32_t> Stm32f4Board::StuckCells() const {
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
void Stm32f4Board::Jump(uint32_t address) {
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
            ": running it on a Cortex-M4 at " + std::to_string(traits_.clockHz / 1000000) + " MHz");
    auto cpu = std::make_unique<ArmCpu>(ArmCpu::Core::CortexM4, traits_.clockHz);
    cpu->MapRam(kSramBase, sram_);
    std::vector<std::unique_ptr<ArmDevice>> devices;
    // RM0090 2.3 "Memory map": USART1 at 0x40011000, flash interface at 0x40023C00.
    auto usart = std::make_unique<Stm32Usart>(*cpu, io_, traits_.clockHz, baud_);
    cpu->MapDevice(0x40011000, 0x1C, *usart);
    UartLine& line = usart->Line();
    auto flash = std::make_unique<Stm32Flash>(*cpu, flash_, StuckCells());
    cpu->MapDevice(0x40023C00, 0x18, *flash);
    cpu->MapDevice(traits_.flashBase, uint32_t(flash_.Size()), flash->Array());
    cpu->MapDevice(0x1FFF7A20, 4, flash->SizeRegister());
    devices.push_back(std::move(usart));
    devices.push_back(std::move(flash));
    cpu->Start(table.sp, table.entry);
    mode_ = Mode::Program;
    program_ = std::make_unique<ArmProgram>(io_, std::move(cpu), std::move(devices), line);
}

}  // namespace qtx::sim
