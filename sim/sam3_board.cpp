#include "sim/sam3_board.h"

#include "sim/arm_periph_flash.h"
#include "sim/arm_systick.h"
#include "sim/boards.h"
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

int HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// SRAM holds no known value after power-up; a word the host never wrote
// must not happen to match the image.
void FillUndefined(std::vector<uint8_t>& ram) {
    uint32_t x = 0x2545F491u;
    for (auto& b : ram) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
}


}  // namespace

// SAM3U4 (sam3u4e.h): 32 KiB SRAM0, IFLASH0 at 0x80000 (EFC0) and IFLASH1 at
// 0x100000 (EFC1), 128 KiB each. SAM3S4 (sam3s4c.h): 48 KiB SRAM, one 256 KiB
// plane at 0x400000 (EFC). Both monitors run the core from a 48 MHz PLL
// clock (an assumption; see docs/loaders.md).
const Sam3Traits kSam3uTraits{"sam3u", &kLoaderSam3u, 32 * 1024, 0x00080000, 0xA0000,
                              {{0x00080000, 0x20000, 0x400E0800, 0}, {0x00100000, 0x20000, 0x400E0A00, 0x80000}},
                              2, 48000000, "v1.1 Sep 25 2009 11:33:00"};
const Sam3Traits kSam3sTraits{"sam3s", &kLoaderSam3s, 48 * 1024, 0x00400000, 0x40000,
                              {{0x00400000, 0x40000, 0x400E0A00, 0}, {}},
                              1, 48000000, "v2.0 Feb 11 2010 10:30:12"};

std::unique_ptr<Board> MakeSam3uBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Sam3Board>(kSam3uTraits, config, io);
}

std::unique_ptr<Board> MakeSam3sBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Sam3Board>(kSam3sTraits, config, io);
}

// ---- monitor --------------------------------------------------------------------

Sam3Board::Sam3Board(const Sam3Traits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits),
      config_(config),
      io_(io),
      flash_(traits.flashModelSize),
      sram_(traits.sramSize) {
    EnterMonitor();
}

Sam3Board::~Sam3Board() {
    if (program_) program_->End("ended with the board");
}

Sam3Board::Mode Sam3Board::CurrentMode() const {
    return mode_ == Mode::Program && program_->Halted() ? Mode::Halted : mode_;
}

void Sam3Board::EnterMonitor() {
    if (program_) program_->End("ended by the reset");
    uart_ = nullptr;
    program_.reset();
    FillUndefined(sram_);
    mode_ = Mode::Monitor;
    terminal_ = true;
    command_ = 0;
    number_ = 0;
    address_ = 0;
    writes_ = 0;
    ignored_ = 0;
}

void Sam3Board::Reset() {
    if (mode_ == Mode::Monitor && writes_ > 0)
        io_.Log("reset after " + std::to_string(writes_) + " write commands, before the go command");
    EnterMonitor();
}

std::optional<Clock::time_point> Sam3Board::NextTimer() const {
    return mode_ == Mode::Program ? program_->NextTimer() : std::nullopt;
}

void Sam3Board::OnTimer() {
    if (mode_ == Mode::Program) program_->OnTimer();
}

void Sam3Board::Receive(uint8_t byte, uint32_t hostBaud) {
    switch (mode_) {
    case Mode::Monitor:
        MonitorByte(byte);
        return;
    case Mode::Program:
        program_->Receive(byte, hostBaud);
        return;
    case Mode::Halted:
        return;
    }
}

void Sam3Board::MonitorByte(uint8_t byte) {
    if (byte == '#') {
        Execute();
        command_ = 0;
        number_ = 0;
        return;
    }
    if (const int d = HexDigit(byte); d >= 0) {
        number_ = number_ << 4 | uint32_t(d);
        return;
    }
    if (byte == ',') {
        address_ = number_;
        number_ = 0;
        return;
    }
    // Any other character names the command; the number starts again.
    command_ = byte;
    number_ = 0;
}

bool Sam3Board::InSram(uint32_t address, uint32_t n) const {
    return address >= kSramBase && address - kSramBase <= sram_.size() && n <= sram_.size() - (address - kSramBase);
}

bool Sam3Board::InFlash(uint32_t address, uint32_t n) const {
    return address >= traits_.flashBase && address - traits_.flashBase <= flash_.Size() &&
           n <= flash_.Size() - (address - traits_.flashBase);
}

uint8_t Sam3Board::ReadByte(uint32_t address) const {
    if (InSram(address, 1)) return sram_[address - kSramBase];
    if (InFlash(address, 1)) return flash_.Read(address - traits_.flashBase);
    return 0;
}

void Sam3Board::Store(uint32_t address, uint32_t value, int bytes) {
    if (!InSram(address, uint32_t(bytes))) {
        // Flash needs the flash controller's commands; other addresses are peripherals.
        if (ignored_++ == 0) io_.Log("monitor: store to " + Hex(address, 8) + " outside SRAM ignored");
        return;
    }
    for (int i = 0; i < bytes; ++i) sram_[address - kSramBase + uint32_t(i)] = uint8_t(value >> (8 * i));
}

std::string Sam3Board::Read(uint32_t address, int bytes) const {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint32_t(ReadByte(address + uint32_t(i))) << (8 * i);
    if (!terminal_) {
        std::string raw;
        for (int i = 0; i < bytes; ++i) raw += char(v >> (8 * i));
        return raw;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", bytes * 2, v);
    return text;
}

void Sam3Board::Execute() {
    std::string out = terminal_ ? "\n\r" : "";
    switch (command_) {
    case 'V':
        out += std::string(traits_.version) + "\n\r";
        if (config_.badId) out[0] = char(out[0] ^ 0x80);
        io_.Log(std::string("monitor: version requested") + (config_.badId ? " (bad-id fault: first byte " +
                                                                                  Hex(uint8_t(out[0])) + ")"
                                                                            : ""));
        break;
    case 'W':
        Store(address_, number_, 4);
        ++writes_;
        break;
    case 'H':
        Store(address_, number_, 2);
        break;
    case 'O':
        Store(address_, number_, 1);
        break;
    case 'w':
        out += Read(address_, 4);
        break;
    case 'h':
        out += Read(address_, 2);
        break;
    case 'o':
        out += Read(address_, 1);
        break;
    case 'G':
        io_.Send(reinterpret_cast<const uint8_t*>(out.data()), out.size());
        Go(number_);
        return;
    case 'N':
        if (!terminal_) out += "\n\r";
        terminal_ = false;
        break;
    case 'T':
        terminal_ = true;
        out += "\n\r";
        break;
    case 'S':
    case 'R':
        io_.Log(std::string("monitor: file transfer command '") + char(command_) + "' is not modelled");
        break;
    default:
        io_.Log("monitor: unknown command " + Hex(command_) + " ignored");
        break;
    }
    if (terminal_) out += '>';
    io_.Send(reinterpret_cast<const uint8_t*>(out.data()), out.size());
}

void Sam3Board::Halt(const std::string& why) {
    io_.Log(why + "; the board stays silent until it is reset");
    mode_ = Mode::Halted;
}

std::set<uint32_t> Sam3Board::StuckCells() const {
    std::set<uint32_t> cells;
    for (uint32_t a : config_.verifyErrorAt) {
        bool placed = false;
        for (int i = 0; i < traits_.nplanes; ++i) {
            const Sam3Plane& p = traits_.planes[i];
            if (a - p.base < p.size) {
                cells.insert(p.modelOffset + (a - p.base));
                placed = true;
            }
        }
        if (!placed && a < flash_.Size()) cells.insert(a);
    }
    return cells;
}

void Sam3Board::Go(uint32_t address) {
    io_.Log("monitor: go to " + Hex(address, 8) + " after " + std::to_string(writes_) + " write commands");
    if (!InSram(address, 8)) {
        Halt("go to " + Hex(address, 8) + ": not in SRAM");
        return;
    }
    const uint8_t* ram = &sram_[address - kSramBase];
    VectorTable table;
    if (const std::string why = CheckVectorTable(ram, address, kSramBase, sram_.size(), table); !why.empty()) {
        Halt(why);
        return;
    }
    const LoaderImage& image = *traits_.preloader;
    io_.Log("program at " + Hex(address, 8) + " " +
            CompareWithImage(image, ram, sram_.size() - (address - kSramBase)) + ": running it on a Cortex-M3 at " +
            std::to_string(traits_.mckHz / 1000000) + " MHz" +
            (config_.fastClock ? " (running 3 % fast: " + std::to_string(MckHz()) + " Hz)" : std::string()));
    auto cpu = std::make_unique<ArmCpu>(ArmCpu::Core::CortexM3, MckHz());
    cpu->MapRam(kSramBase, sram_);
    std::vector<std::unique_ptr<ArmDevice>> devices;
    auto uart = std::make_unique<Sam3Uart>(*cpu, io_, MckHz(), kBaud);
    cpu->MapDevice(kUart, 0x24, *uart);
    UartLine& line = uart->Line();
    uart_ = uart.get();
    devices.push_back(std::move(uart));
    auto systick = std::make_unique<SysTick>(*cpu);
    cpu->MapDevice(SysTick::kBase, SysTick::kSize, *systick);
    devices.push_back(std::move(systick));
    const std::set<uint32_t> stuck = StuckCells();
    for (int i = 0; i < traits_.nplanes; ++i) {
        const Sam3Plane& p = traits_.planes[i];
        auto efc = std::make_unique<Sam3Eefc>(*cpu, flash_, p.modelOffset, p.size, stuck);
        cpu->MapDevice(p.efc, 0x10, *efc);
        cpu->MapDevice(p.base, p.size, efc->Plane());
        devices.push_back(std::move(efc));
    }
    cpu->Start(table.sp, table.entry);
    mode_ = Mode::Program;
    program_ = std::make_unique<ArmProgram>(io_, std::move(cpu), std::move(devices), line);
}

namespace {

const BoardRegistration kSam3u{{"sam3u", "SAM3U ROM monitor at 115200 (V#, W, G), 3252-byte preloader, two 128 KiB flash banks", MakeSam3uBoard, 80, true}};
const BoardRegistration kSam3s{{"sam3s", "SAM3S ROM monitor at 115200 (V#, W, G), 2532-byte preloader, one 128 KiB flash bank", MakeSam3sBoard, 90, true}};

}  // namespace

}  // namespace qtx::sim
