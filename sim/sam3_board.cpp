#include "sim/sam3_board.h"
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

// SAM3U4: 32 KiB SRAM0, two 128 KiB banks at 0x80000 and 0x100000.
const Sam3Traits kSam3uTraits{"sam3u", &kLoaderSam3u, 32 * 1024, 0x00080000, 0x20000, true, "v1.1 Sep 25 2009 11:33:00"};
// SAM3S2: 32 KiB SRAM, one 128 KiB bank at 0x400000.
const Sam3Traits kSam3sTraits{"sam3s", &kLoaderSam3s, 32 * 1024, 0x00400000, 0x20000, false, "v2.0 Feb 11 2010 10:30:12"};

std::unique_ptr<Board> MakeSam3uBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Sam3Board>(kSam3uTraits, config, io);
}

std::unique_ptr<Board> MakeSam3sBoard(const BoardConfig& config, BoardIo& io) {
    return std::make_unique<Sam3Board>(kSam3sTraits, config, io);
}

// ---- preloader ----------------------------------------------------------------

uint32_t Sam3Preloader::Capacity() const { return traits_.twoBanks ? 2 * traits_.bankSize : traits_.bankSize; }

uint32_t Sam3Preloader::FlashOffset(uint32_t index) const {
    return index < traits_.bankSize ? index : kBank2Offset + (index - traits_.bankSize);
}

void Sam3Preloader::Start() {
    state_ = State::Command;
    io_.Send(0x00);
}

void Sam3Preloader::Stop() {
    state_ = State::Stopped;
    count_ = 0;
    page_.clear();
}

void Sam3Preloader::Receive(uint8_t byte) {
    switch (state_) {
    case State::Stopped:
    case State::Failed:
        return;
    case State::Command:
        Command(byte);
        return;
    case State::Size:
        field_ |= uint32_t(byte) << (8 * fieldCount_);
        if (++fieldCount_ < 4) return;
        state_ = State::Command;
        if (field_ <= Capacity()) {
            count_ = field_;
            io_.Log("preloader: size " + std::to_string(count_) + " bytes: answered 0x00");
            io_.Send(0x00);
        } else {
            count_ = 0;
            io_.Log("preloader: size " + std::to_string(field_) + " bytes does not fit " +
                    (traits_.twoBanks ? "the two banks" : "the one bank") + " (" + std::to_string(Capacity()) +
                    " bytes): answered 0x01");
            io_.Send(0x01);
        }
        return;
    case State::Data:
        DataByte(byte);
        return;
    }
}

void Sam3Preloader::Command(uint8_t byte) {
    switch (byte) {
    case 0x22:
        state_ = State::Size;
        field_ = 0;
        fieldCount_ = 0;
        return;
    case 0x42:
        crc_.Reset();
        io_.Log("preloader: data command, expecting " + std::to_string(count_) + " bytes");
        if (count_ == 0) {
            io_.Send(0x00);
            io_.Send(0x00);
            return;
        }
        state_ = State::Data;
        received_ = 0;
        pageStart_ = 0;
        page_.clear();
        return;
    case 0x01:
        io_.Log("preloader: finish command");
        return;
    case ContentCrc::kCommand:
        io_.Log("preloader: content check: answered the CRC-32 of the data received");
        crc_.Answer(io_);
        return;
    default:
        io_.Log("preloader: unknown command " + Hex(byte) + " ignored");
        return;
    }
}

void Sam3Preloader::DataByte(uint8_t byte) {
    crc_.Add(byte);
    page_.push_back(byte);
    ++received_;
    const bool last = received_ == count_;
    if (page_.size() < kPageSize && !last) return;
    if (!WritePage()) return;
    if (last) {
        io_.Log("preloader: programmed " + std::to_string(count_) + " bytes" +
                (count_ > traits_.bankSize ? " (" + std::to_string(count_ - traits_.bankSize) + " in bank 2)" : "") +
                ": answered 0x00 twice");
        state_ = State::Command;
        io_.Send(0x00);   // the last pair arrived
        io_.Send(0x00);   // all of it is in flash
        return;
    }
    io_.Send(0x00);   // the page is taken
}

bool Sam3Preloader::Faulty(uint32_t offset) const {
    return config_.verifyErrorAt.count(offset) || config_.verifyErrorAt.count(traits_.flashBase + offset);
}

bool Sam3Preloader::WritePage() {
    const uint32_t base = FlashOffset(pageStart_);
    const std::size_t n = page_.size();
    pageStart_ += uint32_t(n);
    // Erase and write as one page command: the cells behind a short last page read 0xFF.
    const uint32_t pageBase = base - base % kPageSize;
    for (uint32_t i = 0; i < kPageSize && pageBase + i < flash_.Size(); ++i) flash_.Force(pageBase + i, 0xFF);
    for (std::size_t i = 0; i < n; ++i) flash_.Program(base + i, page_[i]);
    for (std::size_t i = 0; i < n; i += 2) {
        const uint32_t off = base + uint32_t(i);
        const bool pair = i + 1 < n;
        const uint16_t expected = uint16_t(page_[i] | (pair ? page_[i + 1] : 0xFF) << 8);
        if (Faulty(off) || (pair && Faulty(off + 1))) flash_.Force(off, uint8_t(expected ^ 0x01));
        const uint16_t reread = uint16_t(flash_.Read(off) | (pair ? flash_.Read(off + 1) : 0xFF) << 8);
        if (reread == expected) continue;
        const uint32_t addr = traits_.flashBase + off;
        const uint8_t report[9] = {uint8_t(addr), uint8_t(addr >> 8), uint8_t(addr >> 16), uint8_t(addr >> 24),
                                   uint8_t(expected), uint8_t(expected >> 8), uint8_t(reread), uint8_t(reread >> 8),
                                   0x02};
        io_.Log("preloader: verify error at " + Hex(addr, 8) + ": wrote " + Hex(expected, 4) + ", re-read " +
                Hex(reread, 4) + "; report sent, further data ignored");
        // A page before the last is still acknowledged as taken; the report
        // follows at once, so the host finds it while it sends the next page.
        if (received_ != count_) io_.Send(0x00);
        io_.Send(report, sizeof report);
        state_ = State::Failed;
        page_.clear();
        return false;
    }
    page_.clear();
    return true;
}

// ---- monitor --------------------------------------------------------------------

Sam3Board::Sam3Board(const Sam3Traits& traits, const BoardConfig& config, BoardIo& io)
    : traits_(traits),
      config_(config),
      io_(io),
      flash_(traits.twoBanks ? Sam3Preloader::kBank2Offset + traits.bankSize : traits.bankSize),
      sram_(traits.sramSize),
      preloader_(traits_, flash_, io_, config_) {
    EnterMonitor();
}

void Sam3Board::EnterMonitor() {
    preloader_.Stop();
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

void Sam3Board::Receive(uint8_t byte, uint32_t) {
    switch (mode_) {
    case Mode::Monitor:
        MonitorByte(byte);
        return;
    case Mode::Preloader:
        preloader_.Receive(byte);
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

void Sam3Board::Go(uint32_t address) {
    const LoaderImage& image = *traits_.preloader;
    io_.Log("monitor: go to " + Hex(address, 8) + " after " + std::to_string(writes_) + " write commands");
    if (address != image.loadAddress) {
        Halt("go to " + Hex(address, 8) + ": no program of ours starts there");
        return;
    }
    if (!InSram(address, uint32_t(image.size))) {
        Halt("the preloader does not fit the SRAM");
        return;
    }
    const uint8_t* ram = &sram_[address - kSramBase];
    if (const std::string why = CheckPreloader(image, ram, address, kSramBase, sram_.size()); !why.empty()) {
        Halt(why);
        return;
    }
    io_.Log("preloader (" + std::to_string(image.size) + " bytes) matches the image: running");
    mode_ = Mode::Preloader;
    preloader_.Start();
}

}  // namespace qtx::sim
