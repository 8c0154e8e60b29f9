#include "sim/gp4020_board.h"

#include "sim/boards.h"

#include <cstdio>

#include "loaders/loader_image.h"
#include "sim/arm_periph_uart.h"
#include "sim/preloader_check.h"

namespace qtx::sim {

namespace {

std::string Hex(uint32_t v, int digits = 2) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*X", digits, v);
    return buf;
}

// Every instruction counts three cycles: the ARM7TDMI's loads take 1S+1N+1I,
// its taken branches 2S+1N (ARM7TDMI Technical Reference Manual, "Instruction
// Cycle Timings"); data operations take one, stores two. Three is the
// pessimistic side of the loader's mix, and the external bus adds wait states.
constexpr uint32_t kCyclesPerInstruction = 3;

// A data abort (DM5003 3.3.4.3 for a write into a read-only area, 3.4.1 and
// 4.4.1 for a wrong access width): the access does not happen, and as the
// loader's abort vector is a loop, the program stops there. The board stops it
// at once and says why.
void DataAbort(ArmCpu& cpu, const std::string& kind, const std::string& detail) {
    cpu.Misuse(kind, detail);
    cpu.Halt("data abort: " + kind + " (" + detail + ")");
}

// The Memory Peripheral Controller's area configuration registers at
// 0xE0008000, one per chip select (DM5280 11.1, Table 11.2; DM5003 3.4.1,
// Table 25), at the reset values of DM5280 11.2-11.5. Every register takes
// 32-bit accesses only; a byte or half-word access is a bus error (DM5003
// 3.4.1). Bit 4 (Read Only Status, DM5003 Tables 26 and 28) makes the area
// refuse writes; bits 7:6 (configuration mode) take 00 and 01 only.
class Gp4020Mpc : public ArmDevice {
public:
    static constexpr uint32_t kReadOnly = 0x10;

    explicit Gp4020Mpc(ArmCpu& cpu) : cpu_(cpu) {}
    uint32_t Config(int area) const { return areas_[area - 1]; }
    bool ReadOnly(int area) const { return Config(area) & kReadOnly; }

    uint32_t Read(uint32_t offset, unsigned size) override {
        if (size != 4) {
            DataAbort(cpu_, "MPC register access not 32 bits wide",
                      "read of " + std::to_string(size) + " at " + HexWord(Gp4020Board::kMpc + offset));
            return 0;
        }
        return areas_[offset / 4];
    }
    void Write(uint32_t offset, unsigned size, uint32_t value) override {
        if (size != 4)
            return DataAbort(cpu_, "MPC register access not 32 bits wide",
                             "write of " + std::to_string(size) + " at " + HexWord(Gp4020Board::kMpc + offset));
        if ((value >> 6 & 3) > 1) cpu_.Misuse("MPC configuration mode not 0 or 1", HexWord(value));
        areas_[offset / 4] = value;
    }

    // Whether an operand of size bytes may go to an area's memory of another
    // width: only a memory type that builds a transaction from several
    // accesses (Mode 0 bit 2, Table 26; Mode 1 sub-memory type 11, Table 28).
    bool Splits(int area, unsigned size) const {
        const uint32_t c = Config(area);
        const unsigned width = 1u << (c & 3);
        if (size == width) return true;
        return (c >> 6 & 3) == 0 ? (c & 4) != 0 : (c >> 2 & 3) == 3;
    }

private:
    ArmCpu& cpu_;
    // Area 4 is the internal RAM (0xFF000034 at reset, DM5280 11.5): the boot
    // ROM stored the download there, so it has cleared that area's read-only
    // bit; what else it set is not documented.
    uint32_t areas_[4] = {0xFF000035, 0xFF000034, 0xFF000034, 0xFF000024};
};

}  // namespace

// UART1 at 0xE0018000 (DM5280 17.3), the Firefly UART of DM5003 chapter 4:
// CR, MR, BRR, SR, data, modem control at 0x00-0x14, modem status at 0x1C,
// 8-bit registers (Table 35) of which every access must be 8 bits wide, any
// other width being a data abort (4.4.1); 0x18 is reserved, a bus error (2.3).
// Clocked from the 20 MHz BuILD_CLK through the division select MR[7:4] and
// BRR (DM5280 17.2; the GP4020 has no external UART clock). The boot ROM
// receives at BRR 21 (DM5280 4.2, Table 17.1) and documents nothing else: the
// rest is at its reset value (Table 35), so the transmitter is off, and a byte
// written then waits in the transmit register until it is enabled (4.3.2).
// Status bits (Table 39): 0 receive register full, 1 transmit register empty,
// 3 transmitting, 6 overrun; reading the status clears the error flags. An
// overrun keeps the old byte and discards the new one (4.3.3).
//
// A program may set another divider (MR[7:4], BRR) between characters; one
// set while a character is on its way cuts it short, which is misuse. At the
// ROM's divider the board judges the line as the ROM's (ListenBaud); at any
// other the line checks each host byte against the rate it makes.
class Gp4020Uart : public ArmDevice {
public:
    Gp4020Uart(ArmCpu& cpu, BoardIo& io, uint32_t clockHz)
        : cpu_(cpu), line_(cpu, io, UartLine::OnOverrun::KeepOld, 10), clockHz_(clockHz) {
        line_.InitRate(Baud());
    }
    UartLine& Line() { return line_; }
    bool Receiving() const { return cr_ & kRen; }
    // 16 x baud = UART clock / 2^MR[7:4] / (BRR + 1) (DM5003 4.3.1).
    uint32_t Baud() const { return clockHz_ / (1u << (mr_ >> 4)) / (16 * (brr_ + 1)); }

    uint32_t Read(uint32_t offset, unsigned size) override {
        if (!Allowed(offset, size, "read")) return 0;
        switch (offset) {
        case 0x00: return cr_;
        case 0x04: return mr_;
        case 0x08: return brr_;
        case 0x0C: {
            uint32_t sr = 0;
            if (line_.RxReady()) sr |= 0x01;
            if (TxRegisterFree()) sr |= 0x02;
            if (!line_.TxEmpty()) sr |= 0x08;
            if (line_.OverrunFlag()) sr |= 0x40;
            line_.ClearOverrun();
            return sr;
        }
        case 0x10: return line_.TakeRx();
        case 0x14: return mcr_;
        default: return 0;   // modem status: no modem lines on this board
        }
    }

    void Write(uint32_t offset, unsigned size, uint32_t value) override {
        if (!Allowed(offset, size, "write")) return;
        const uint8_t v = uint8_t(value);
        switch (offset) {
        case 0x10:
            if (held_) cpu_.Misuse("UART write to a full transmit register", "the transmitter is off");
            if (!(cr_ & kTen)) {
                held_ = true;
                heldByte_ = v;
                return;
            }
            line_.Transmit(v, Baud());
            return;
        case 0x00:
            cr_ = v;
            if (cr_ & 0x04) cpu_.Misuse("UART1 external clock selected", "the GP4020 has none (DM5280 17.2)");
            if (held_ && (cr_ & kTen)) {
                held_ = false;
                line_.Transmit(heldByte_, Baud());
            }
            return;
        case 0x04:
            if ((v ^ mr_) >> 4) Divider("MR := " + Hex(v));
            mr_ = v;
            // The host's line is 8N1; another frame garbles every byte.
            if (mr_ & 0x0F) cpu_.Misuse("UART1 frame is not 8N1", "MR := " + Hex(v));
            Rate();
            return;
        case 0x08:
            if (v != brr_) Divider("BRR := " + Hex(v));
            brr_ = v;
            Rate();
            return;
        case 0x14: mcr_ = v; return;
        default:
            cpu_.Misuse("write to a read-only UART1 register", HexWord(Gp4020Board::kUart1 + offset) + " := " + Hex(v));
            return;
        }
    }

private:
    static constexpr uint32_t kRen = 0x01, kTen = 0x02;

    bool Allowed(uint32_t offset, unsigned size, const char* what) {
        if (size == 1 && offset != 0x18) return true;
        DataAbort(cpu_, size != 1 ? "UART1 access not 8 bits wide" : "UART1 reserved address",
                  std::string(what) + " of " + std::to_string(size) + " at " + HexWord(Gp4020Board::kUart1 + offset));
        return false;
    }
    void Divider(const std::string& what) {
        if (line_.Sending()) cpu_.Misuse("UART rate changed while a character is sent", what);
    }
    void Rate() {
        if (mr_ >> 4 == 0 && brr_ == Gp4020Board::kRomBaudDivisor) line_.InitRate(Baud());
        else line_.SetRate(Baud());
    }
    bool TxRegisterFree() {
        if (!held_) return line_.TxReady();
        cpu_.IdlePoll(kNever);   // only a write to CR can free it
        return false;
    }

    ArmCpu& cpu_;
    UartLine line_;
    uint32_t clockHz_;
    uint8_t cr_ = kRen;                                 // receiving, as the ROM left it
    uint8_t mr_ = 0x00;                                 // reset value: 8N1, division select 1
    uint8_t brr_ = Gp4020Board::kRomBaudDivisor;
    uint8_t mcr_ = 0x00;
    bool held_ = false;                                 // a byte waits for the transmitter
    uint8_t heldByte_ = 0;
};

namespace {

// IO_REV and IP_READ in the Peripheral Control Logic (DM5280 12.7, Table
// 12.4), which takes byte, half-word and word accesses. IO_REV (Table 12.6):
// bits 15:10 the chip revision (read only, 0), bits 9:0 read/write from 0,
// bit 9 EXT_NCS0. IP_READ (+2, Table 12.7) is read only; its inputs are not
// modelled and read 0. Both lie in MPC area 3 (Table 11.2), whose read-only
// bit refuses writes.
class Gp4020IoRev : public ArmDevice {
public:
    static constexpr uint16_t kExtNcs0 = 0x0200;

    Gp4020IoRev(ArmCpu& cpu, const Gp4020Mpc& mpc) : cpu_(cpu), mpc_(mpc) {}
    bool ExtNcs0() const { return ioRev_ & kExtNcs0; }

    uint32_t Read(uint32_t offset, unsigned size) override {
        const uint32_t both = ioRev_;   // IP_READ reads 0
        return both >> (8 * offset) & (size == 4 ? 0xFFFFFFFFu : (1u << (8 * size)) - 1);
    }
    void Write(uint32_t offset, unsigned size, uint32_t value) override {
        const uint32_t at = Gp4020Board::kIoRev + offset;
        if (mpc_.ReadOnly(3))
            return DataAbort(cpu_, "write into read-only MPC area 3", HexWord(at) + " := " + HexWord(value));
        for (unsigned i = 0; i < size; ++i) {
            const unsigned byte = offset + i;
            const uint16_t b = uint16_t(value >> (8 * i) & 0xFF);
            if (byte >= 2) {
                cpu_.Misuse("write to IP_READ (read only)", HexWord(at) + " := " + HexWord(value));
                continue;
            }
            const uint16_t mask = uint16_t(0x03FF & (0xFF << (8 * byte)));
            ioRev_ = uint16_t((ioRev_ & ~mask) | (b << (8 * byte) & mask));
        }
    }

private:
    ArmCpu& cpu_;
    const Gp4020Mpc& mpc_;
    uint16_t ioRev_ = 0;
};

// The boot ROM's 512 words (DM5280 4.1) are not published: each gets a fixed
// pseudo-random value, repeated over the area, so nothing there answers as a
// flash does.
uint16_t BootRomWord(uint32_t offset) {
    uint32_t x = (offset / 2 % 512 + 1) * 0x9E3779B1u;
    x ^= x >> 15;
    x *= 0x85EBCA77u;
    x ^= x >> 13;
    return uint16_t(x);
}

// The NCS[0] space after the swap, through MPC area 1 (DM5280 11.2): the boot
// ROM until EXT_NCS0 is set (DM5280 4.1), then the flash on the board's 16-bit
// bus. The area's read-only bit refuses writes; its data size must be the
// bus's 16 bits. A read that finds the flash busy is an idle poll up to the
// end of its operation; a read of array data is work.
class Ncs0Space : public ArmDevice {
public:
    Ncs0Space(ArmCpu& cpu, CfiNor16& flash, const Gp4020Mpc& mpc, const Gp4020IoRev& ioRev)
        : cpu_(cpu), flash_(flash), mpc_(mpc), ioRev_(ioRev) {}

    uint32_t Read(uint32_t offset, unsigned size) override {
        CheckBus(offset, size);
        if (!ioRev_.ExtNcs0()) {
            cpu_.Progress();
            if (size == 4) return BootRomWord(offset) | uint32_t(BootRomWord(offset + 2)) << 16;
            const uint16_t w = BootRomWord(offset);
            return size == 1 ? (offset & 1 ? w >> 8 : w & 0xFF) : w;
        }
        const uint64_t now = cpu_.Now();
        if (flash_.Busy(now)) cpu_.IdlePoll(flash_.DoneAt());
        else cpu_.Progress();
        if (size == 4) return flash_.Read(offset, now) | uint32_t(flash_.Read(offset + 2, now)) << 16;
        const uint16_t w = flash_.Read(offset & ~1u, now);
        return size == 1 ? (offset & 1 ? w >> 8 : w & 0xFF) : w;
    }

    void Write(uint32_t offset, unsigned size, uint32_t value) override {
        const uint32_t at = Gp4020Board::kNcs0 + offset;
        if (mpc_.ReadOnly(1))
            return DataAbort(cpu_, "write into read-only MPC area 1", HexWord(at) + " := " + HexWord(value));
        CheckBus(offset, size);
        if (!ioRev_.ExtNcs0()) {
            cpu_.Misuse("write to the boot ROM (EXT_NCS0 clear)", HexWord(at) + " := " + HexWord(value));
            return;
        }
        const uint64_t now = cpu_.Now();
        cpu_.Progress();
        if (size == 2) {
            flash_.Write(offset, uint16_t(value), now);
        } else if (size == 4) {
            // The controller splits a word store into two bus cycles, low half first.
            flash_.Write(offset, uint16_t(value), now);
            flash_.Write(offset + 2, uint16_t(value >> 16), now);
        } else {
            flash_.NarrowWrite(offset, size, now);
        }
    }

private:
    // Data size 01 (16 bits) matches the bus (DM5003 Tables 27 and 29); an
    // operand of another size needs a memory type that splits it.
    void CheckBus(uint32_t offset, unsigned size) {
        const uint32_t c = mpc_.Config(1);
        if ((c & 3) != 1)
            cpu_.Misuse("MPC area 1 data size is not the board's 16-bit bus", HexWord(c));
        else if (!mpc_.Splits(1, size))
            cpu_.Misuse("MPC area 1 takes no " + std::to_string(8 * size) + "-bit operand",
                        HexWord(c) + " at " + HexWord(Gp4020Board::kNcs0 + offset));
    }

    ArmCpu& cpu_;
    CfiNor16& flash_;
    const Gp4020Mpc& mpc_;
    const Gp4020IoRev& ioRev_;
};

// The internal RAM holds no known value after power-up.
void FillUndefined(std::vector<uint8_t>& ram) {
    uint32_t x = 0x9E3779B9u;
    for (auto& b : ram) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
}

}  // namespace

Gp4020Board::Gp4020Board(const BoardConfig& config, BoardIo& io)
    : config_(config),
      io_(io),
      flash_(kAm29LV400BB, config.verifyErrorAt, config.eraseFails,
             [this](const std::string& kind, const std::string& detail) {
                 if (program_) program_->Cpu().Misuse(kind, detail);
                 else io_.Log(kind + ": " + detail);
             }),
      ram_(kRamBytes) {
    FillUndefined(ram_);
}

Gp4020Board::~Gp4020Board() {
    if (program_) program_->End("ended with the board");
}

void Gp4020Board::Silence(const std::string& why) {
    io_.Log(why + "; the board stays silent until it is reset");
    rom_ = Rom::Silent;
}

void Gp4020Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (rom_) {
    case Rom::Length:
        length_ = length_ << 8 | byte;
        if (++lengthBytes_ < 3) return;
        io_.Log("ROM download: " + std::to_string(length_) + " bytes announced");
        if (length_ == 0) return Silence("ROM download of no bytes");
        // The model holds only the RAM the loader may use; a longer download would run past it.
        if (length_ > kRamBytes)
            return Silence("ROM download of " + std::to_string(length_) + " bytes: more than the " +
                           std::to_string(kRamBytes) + " bytes of internal RAM this board model holds");
        received_ = 0;
        rom_ = Rom::Image;
        return;
    case Rom::Image:
        ram_[received_++] = byte;
        if (received_ == length_) Start();
        return;
    case Rom::Running:
        if (!uart_->Receiving()) {
            io_.Log("UART1 receiver off: byte " + Hex(byte) + " lost");
            return;
        }
        program_->Receive(byte, hostBaud);
        return;
    case Rom::Silent:
        return;
    }
}

void Gp4020Board::Start() {
    io_.Log("ROM download complete: the program " + CompareWithImage(kLoaderGP4020, ram_.data(), length_) +
            "; memory swapped, running it from address 0 on an ARM7TDMI at " + std::to_string(kCpuHz / 1000000) +
            " MHz");
    // The core clock the ROM leaves is taken as the UART's 20 MHz (DM5280 4.2
    // derives it from the front end's 40 MHz; the GPS4020 HALs assume a 20 MHz
    // system clock); BuILD_CLK drives both (DM5280 14.1).
    if (config_.fastClock) io_.Log("BuILD_CLK runs 3 % fast: " + std::to_string(ClockHz()) + " Hz");
    auto cpu = std::make_unique<ArmCpu>(ArmCpu::Core::Arm7, ClockHz() / kCyclesPerInstruction);
    cpu->MapRam(0, ram_);
    cpu->FlagUnalignedRam();
    std::vector<std::unique_ptr<ArmDevice>> devices;
    auto uart = std::make_unique<Gp4020Uart>(*cpu, io_, ClockHz());
    cpu->MapDevice(kUart1, 0x20, *uart);
    UartLine& line = uart->Line();
    uart_ = uart.get();
    auto mpc = std::make_unique<Gp4020Mpc>(*cpu);
    cpu->MapDevice(kMpc, 0x10, *mpc);
    auto ioRev = std::make_unique<Gp4020IoRev>(*cpu, *mpc);
    cpu->MapDevice(kIoRev, 4, *ioRev);
    auto ncs0 = std::make_unique<Ncs0Space>(*cpu, flash_, *mpc, *ioRev);
    cpu->MapDevice(kNcs0, flash_.Part().Bytes(), *ncs0);
    devices.push_back(std::move(uart));
    devices.push_back(std::move(mpc));
    devices.push_back(std::move(ioRev));
    devices.push_back(std::move(ncs0));
    cpu->Start(0, 0);
    rom_ = Rom::Running;
    program_ = std::make_unique<ArmProgram>(io_, std::move(cpu), std::move(devices), line);
}

// At the ROM's divider the program's UART1 rate counts as the host's 57600
// when it is within 2.5 % of it: a receiver sampling mid-bit at 16 x its rate
// misses no bit of a 10-bit frame while the two ends differ by less than 5 %,
// half of it each (DM5280 17.2.1: the rate needs only be approximately
// correct). Any other rate garbles the line. A divider the program sets is
// held to RatesMatch by the UART itself, byte by byte.
uint32_t Gp4020Board::ListenBaud() const {
    if (!uart_) return kRomBaud;
    const uint32_t baud = uart_->Baud();
    if (uart_->Line().Checking()) return baud;
    const uint32_t off = baud > kRomBaud ? baud - kRomBaud : kRomBaud - baud;
    return off * 40 <= kRomBaud ? kRomBaud : baud;
}

bool Gp4020Board::ChecksHostRate() const { return uart_ && uart_->Line().Checking(); }

std::optional<Clock::time_point> Gp4020Board::NextTimer() const {
    return rom_ == Rom::Running ? program_->NextTimer() : std::nullopt;
}

void Gp4020Board::OnTimer() {
    if (rom_ == Rom::Running) program_->OnTimer();
}

void Gp4020Board::Reset() {
    if (rom_ == Rom::Image)
        io_.Log("reset during the ROM download: " + std::to_string(received_) + " of " + std::to_string(length_) +
                " bytes received");
    if (program_) program_->End("ended by the reset");
    program_.reset();
    uart_ = nullptr;
    flash_.Reset();
    FillUndefined(ram_);
    rom_ = Rom::Length;
    lengthBytes_ = 0;
    length_ = 0;
    received_ = 0;
}

std::unique_ptr<Board> MakeGp4020Board(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Gp4020Board>(config, io);
}

namespace {

const BoardRegistration kRegistered{{"gp4020", "GP4020 ROM download at 57600 (24-bit length), 2012-byte loader on the ARM7TDMI, Am29LV400BB 512 KiB", MakeGp4020Board, 40}};

}  // namespace

}  // namespace qtx::sim
