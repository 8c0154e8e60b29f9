#include "sim/gp4020_board.h"

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

// UART1 (register layout of gpl-gps-project gp4020_echo.s and the eCos GPS4020
// HAL's gps4020.h): control, mode, baud rate, status, data, modem control at
// 0x00-0x14, modem status at 0x1C; byte registers on word spacing. Status bits:
// 0 receive buffer full, 1 transmit buffer empty, 3 transmitter active, 6
// overrun; reading the status clears the error flags (comment in gp4020_echo.s).
// Which byte an overrun keeps is not documented in what we read: the old one stays.
class Gp4020Uart : public ArmDevice {
public:
    Gp4020Uart(ArmCpu& cpu, BoardIo& io)
        : cpu_(cpu), line_(cpu, io, UartLine::OnOverrun::KeepOld, 10) {}
    UartLine& Line() { return line_; }

    uint32_t Read(uint32_t offset, unsigned) override {
        switch (offset) {
        case 0x00: return cr_;
        case 0x04: return mr_;
        case 0x08: return brr_;
        case 0x0C: {
            uint32_t sr = 0;
            if (line_.RxReady()) sr |= 0x01;
            if (line_.TxReady()) sr |= 0x02;
            if (!line_.TxEmpty()) sr |= 0x08;
            if (line_.OverrunFlag()) sr |= 0x40;
            line_.ClearOverrun();
            return sr;
        }
        case 0x10: return line_.TakeRx();
        default: return 0;
        }
    }

    void Write(uint32_t offset, unsigned, uint32_t value) override {
        switch (offset) {
        case 0x10:
            if (!(cr_ & 0x02)) cpu_.Misuse("UART write with the transmitter off", Hex(value));
            line_.Transmit(uint8_t(value), Gp4020Board::kUartHz / (16 * (brr_ + 1)));
            return;
        case 0x00:
        case 0x04:
        case 0x08: {
            uint32_t& reg = offset == 0x00 ? cr_ : offset == 0x04 ? mr_ : brr_;
            // The host's rate and framing are the ROM's; a loader that changes them leaves the host behind.
            if ((value & 0xFF) != reg)
                cpu_.Misuse("UART reconfigured", "register offset " + std::to_string(offset) + " := " + Hex(value));
            reg = value & 0xFF;
            return;
        }
        default:
            return;   // modem control: no modem lines on this board
        }
    }

private:
    ArmCpu& cpu_;
    UartLine line_;
    uint32_t cr_ = 0x03;                                // receiver and transmitter on
    uint32_t mr_ = 0x00;                                // 8 data bits, no parity, 1 stop bit
    uint32_t brr_ = Gp4020Board::kRomBaudDivisor;       // DM5280 4.2; gpl-gps gp4020_io.c uses the same 0x15
};

// Memory Peripheral Controller: the four area configuration words at
// 0xE0008000 (gpl-gps-project gp4020.h). Their bits are not modelled; the
// board's flash answers whatever the loader writes there.
class Gp4020Mpc : public ArmDevice {
public:
    uint32_t Read(uint32_t offset, unsigned) override { return areas_[offset / 4 % 4]; }
    void Write(uint32_t offset, unsigned, uint32_t value) override { areas_[offset / 4 % 4] = value; }

private:
    uint32_t areas_[4] = {};
};

// IO_REV in the Peripheral Control Logic: EXT_NCS0 makes NCS[0] select the
// external device instead of the boot ROM (DM5280 section 4). Its address and
// bit are unconfirmed (see firmware/arm7/gp4020.h).
class Gp4020IoRev : public ArmDevice {
public:
    bool ExtNcs0() const { return value_ & 0x01; }
    uint32_t Read(uint32_t, unsigned) override { return value_; }
    void Write(uint32_t, unsigned, uint32_t value) override { value_ = value; }

private:
    uint32_t value_ = 0;
};

// The NCS[0] space after the swap: the boot ROM until EXT_NCS0 is set, then
// the flash on the 16-bit bus. A read that finds the flash busy is an idle
// poll up to the end of its operation; a read of array data is work.
class Ncs0Space : public ArmDevice {
public:
    Ncs0Space(ArmCpu& cpu, CfiNor16& flash, const Gp4020IoRev& ioRev) : cpu_(cpu), flash_(flash), ioRev_(ioRev) {}

    uint32_t Read(uint32_t offset, unsigned size) override {
        if (!ioRev_.ExtNcs0()) {
            cpu_.Halt("read at " + HexWord(Gp4020Board::kNcs0 + offset) +
                      ": NCS[0] still selects the boot ROM (EXT_NCS0 clear), whose content is not modelled");
            return 0;
        }
        const uint64_t now = cpu_.Now();
        if (flash_.Busy(now)) cpu_.IdlePoll(flash_.DoneAt());
        else cpu_.Progress();
        if (size == 4) return flash_.Read(offset, now) | uint32_t(flash_.Read(offset + 2, now)) << 16;
        const uint16_t w = flash_.Read(offset & ~1u, now);
        return size == 1 ? (offset & 1 ? w >> 8 : w & 0xFF) : w;
    }

    void Write(uint32_t offset, unsigned size, uint32_t value) override {
        if (!ioRev_.ExtNcs0()) {
            cpu_.Misuse("write to the boot ROM", HexWord(Gp4020Board::kNcs0 + offset) + " := " + HexWord(value));
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
    ArmCpu& cpu_;
    CfiNor16& flash_;
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
    // system clock).
    auto cpu = std::make_unique<ArmCpu>(ArmCpu::Core::Arm7, kCpuHz / kCyclesPerInstruction);
    cpu->MapRam(0, ram_);
    cpu->FlagUnalignedRam();
    std::vector<std::unique_ptr<ArmDevice>> devices;
    auto uart = std::make_unique<Gp4020Uart>(*cpu, io_);
    cpu->MapDevice(kUart1, 0x20, *uart);
    UartLine& line = uart->Line();
    auto mpc = std::make_unique<Gp4020Mpc>();
    cpu->MapDevice(kMpc, 0x10, *mpc);
    auto ioRev = std::make_unique<Gp4020IoRev>();
    cpu->MapDevice(kIoRev, 4, *ioRev);
    auto ncs0 = std::make_unique<Ncs0Space>(*cpu, flash_, *ioRev);
    cpu->MapDevice(kNcs0, flash_.Part().Bytes(), *ncs0);
    devices.push_back(std::move(uart));
    devices.push_back(std::move(mpc));
    devices.push_back(std::move(ioRev));
    devices.push_back(std::move(ncs0));
    cpu->Start(0, 0);
    rom_ = Rom::Running;
    program_ = std::make_unique<ArmProgram>(io_, std::move(cpu), std::move(devices), line);
}

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

}  // namespace qtx::sim
