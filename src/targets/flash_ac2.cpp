#include "targets/flash_ac2.h"

#include "engine/target_table.h"
#include "loaders/loader_image.h"
#include "settings/setup.h"

#include <cstdio>

#include <algorithm>

namespace qtx {

namespace {

// A character as the status texts name it: "A" (41h), CR (0Dh), FFh.
std::string Shown(int c) {
    if (c == '\r') return "CR (0Dh)";
    if (c == '\n') return "LF (0Ah)";
    char text[16];
    if (c >= 0x20 && c < 0x7F)
        std::snprintf(text, sizeof text, "\"%c\" (%02Xh)", c, c);
    else
        std::snprintf(text, sizeof text, "%02Xh", c & 0xFF);
    return text;
}

// A reply line as the status texts quote it: control bytes as <CR>, <LF>, <NNh>.
std::string Quoted(const std::string& line) {
    std::string out = "\"";
    for (const char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\r') {
            out += "<CR>";
        } else if (c == '\n') {
            out += "<LF>";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02Xh>", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out + "\"";
}

// The boot loader writes upper-case hex digits, as it takes them.
int HexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string Hex4(std::size_t v) {
    char text[8];
    std::snprintf(text, sizeof text, "%04Xh", static_cast<unsigned>(v & 0xFFFF));
    return text;
}

}  // namespace

std::string HexRecord(uint8_t type, uint16_t address, const uint8_t* data, std::size_t n) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string record;
    record.reserve(11 + 2 * n);
    uint8_t sum = 0;
    auto put = [&](uint8_t b) {
        record += kDigits[b >> 4];
        record += kDigits[b & 0x0F];
        sum = static_cast<uint8_t>(sum + b);
    };
    record += ':';
    put(static_cast<uint8_t>(n));
    put(static_cast<uint8_t>(address >> 8));
    put(static_cast<uint8_t>(address & 0xFF));
    put(type);
    for (std::size_t i = 0; i < n; ++i) put(data[i]);
    const uint8_t check = static_cast<uint8_t>(0u - sum);
    record += kDigits[check >> 4];
    record += kDigits[check & 0x0F];
    return record;
}

void Flash_AC2::SendRecord(const std::string& record) {
    WriteBytes(reinterpret_cast<const uint8_t*>(record.data()), record.size());
}

int Flash_AC2::Identify() {
    // The erase record follows within the same run and wipes the chip; a file
    // the records cannot carry is refused before the first character goes out.
    // (No file: a bare bootstrap, nothing to check.)
    if (!ctx.FlashFilePath.empty()) Image(ctx.FlashFilePath);
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    WriteByte('U');
    Expect(static_cast<uint8_t>(IdByte & 0xFF), "waiting for controller ID", false);
    return 0;
}

int Flash_AC2::Erase() {
    Comport& port = Port();
    port.ClearErrors();
    port.PurgeReceive();
    BeforeFlashIsTouched();
    SendRecord(kEraseRecord);
    ctx.ByteTimeoutMs = 1000;
    PumpAndCheckAbort();
    CheckEraseReply(kEraseRecord);
    Ui().SetProgress(100);
    PumpingSleep(ctx, 1000);
    return 0;
}

void Flash_AC2::CheckEraseReply(const std::string& record) {
    // The reply is the echo of the record, one status character and CR LF
    // ("." erased, "X" checksum error, "P" security error). Anything else means
    // the boot loader took some other record and did not erase: data records
    // would then land on programmed cells.
    int timeouts = 0;
    std::string line;  // what came, for the status text
    // The next character; -1 once the line has had more than allowed time-outs.
    // A received 0xFF counts as a time-out: no reply of this boot loader has one.
    auto next = [&](int allowed) -> int {
        for (;;) {
            const uint8_t b = ReceiveByte();
            if (Abort) throw BreakException{};
            if (b != 0xFF) {
                line += static_cast<char>(b);
                return b;
            }
            Ui().SetProgress(50);
            if (++timeouts > allowed) return -1;
        }
    };
    auto timeout = [&]() {
        Ui().SetStatusText("Flash Erase: Timeout");
        throw TimeoutException{"Flash Erase"};
    };
    auto deviation = [&](const std::string& where, int received, int expected, const std::string& expectedText) {
        // The rest of the line, for the text: up to its LF, a second's silence
        // or a bounded length.
        const int silenceSoFar = timeouts;
        for (std::size_t n = 0; line.back() != '\n' && n < kMaxReplyLine; ++n)
            if (next(silenceSoFar) < 0) break;
        Ui().SetStatusText("Flash Erase: " + where + ": received " + Shown(received) + ", expected " + expectedText +
                           "; the reply: " + Quoted(line) + "; the flash was not erased");
        throw CharErrorException{"Flash Erase", received, expected};
    };
    for (std::size_t i = 0; i < record.size(); ++i) {
        const int c = next(10);
        if (c < 0) timeout();
        const auto want = static_cast<unsigned char>(record[i]);
        if (c != want)
            deviation("character " + std::to_string(i + 1) + " of the echo of the erase record " + record, c, want,
                      Shown(want));
    }
    const int status = next(10);
    if (status < 0) timeout();
    if (status != '.' && status != 'X' && status != 'P')
        deviation("the status after the echo", status, '.', "\".\", \"X\" or \"P\"");
    for (const int want : {'\r', '\n'}) {
        const int c = next(10);
        if (c < 0) timeout();
        if (c != want) deviation("the line end after the status " + Shown(status), c, want, Shown(want));
    }
    if (status == 'X') {
        Ui().SetStatusText("Flash Erase: Checksum Error");
        throw CharErrorException{"Flash Erase", status, '.'};
    }
    if (status == 'P') {
        Ui().SetStatusText("Flash Erase: Security Error");
        throw CharErrorException{"Flash Erase", status, '.'};
    }
    Ui().SetStatusText("Flash Erase: OK");
}

char Flash_AC2::ReadReplyLine() {
    int timeouts = 0;
    std::size_t total = 0;
    char status = 0;
    uint8_t b = 0;
    for (;;) {
        b = ReceiveByte();
        if (Abort) throw BreakException{};
        if (b == 0xFF) {
            if (++timeouts > 5) break;
            continue;
        }
        if (b == '\n') break;
        if (b != '\r') status = static_cast<char>(b);
        if (++total > kMaxReplyLine) {
            Ui().SetStatusText("Flash Program: no end of the reply line after " + std::to_string(kMaxReplyLine) +
                               " characters");
            throw CharErrorException{};
        }
    }
    if (b == 0xFF) {
        Ui().SetStatusText("Flash Program: Timeout");
        throw TimeoutException{};
    }
    return status;
}

int Flash_AC2::AwaitReply() {
    ReadReplyLine();
    return 1;
}

void Flash_AC2::ExpectAccepted(const char* what, uint16_t address) {
    // The status character is the boot loader's verdict on the record: only
    // "." is a record taken.
    const char status = ReadReplyLine();
    if (status == '.') return;
    char text[200];
    if (status == 'X' || status == 'P')
        std::snprintf(text, sizeof text, "Flash Program: %s at address %04Xh answered \"%c\" (%s)", what, address,
                      status, status == 'X' ? "checksum error" : "security error");
    else
        std::snprintf(text, sizeof text, "Flash Program: %s at address %04Xh answered %s as its status, expected \".\"",
                      what, address, status == 0 ? "nothing" : Shown(static_cast<unsigned char>(status)).c_str());
    Ui().SetStatusText(text);
    throw ProgramException{"Flash Program"};
}

std::string Flash_AC2::ReadFlashRecord(uint16_t first, uint16_t last) {
    const uint8_t data[5] = {static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first & 0xFF),
                             static_cast<uint8_t>(last >> 8), static_cast<uint8_t>(last & 0xFF), 0x00};
    return HexRecord(0x04, 0x0000, data, sizeof data);
}

void Flash_AC2::ReadBackFailure(const std::string& command, const std::string& detail) {
    Ui().SetStatusText("Flash Read-back: " + command + ": " + detail);
    throw ProgramException{"Flash Read-back"};
}

uint8_t Flash_AC2::ReadBackChar(const std::string& command, const std::string& awaited) {
    uint8_t b = 0;
    const bool got = ReceiveByteTimed(b);
    if (Abort) throw BreakException{};
    if (!got) ReadBackFailure(command, "no answer while waiting for " + awaited);
    return b;
}

void Flash_AC2::ReadBack(const std::vector<uint8_t>& image) {
    // Read Flash ("A/T89C51AC2 UART Bootloader", 4231C-CAN-03/05, "Read the Flash
    // or EEPROM Data" and "Flow Description: Read Command"): the boot loader
    // echoes the command, then sends lines "AAAA=" with up to 16 bytes as hex
    // digits and CR LF; "X" CR LF for a bad checksum, "L" CR LF when the
    // security level forbids reading. A line that deviates in any way fails:
    // nothing here may pass unchecked.
    Ui().SetStatusText("Reading the flash back");
    Ui().SetProgress(0);
    ctx.ByteTimeoutMs = 1000;
    const std::size_t size = image.size();
    int shown = 0;
    for (std::size_t first = 0; first < size; first += kReadBlock) {
        const std::size_t last = std::min(first + kReadBlock, size) - 1;
        const std::string record = ReadFlashRecord(static_cast<uint16_t>(first), static_cast<uint16_t>(last));
        const std::string command = "Read Flash " + Hex4(first) + ".." + Hex4(last);
        SendRecord(record);
        for (std::size_t i = 0; i < record.size(); ++i) {
            const std::string awaited = "character " + std::to_string(i + 1) + " of the echo of " + record;
            const uint8_t c = ReadBackChar(command, awaited);
            if (c != static_cast<uint8_t>(record[i]))
                ReadBackFailure(command, awaited + ": received " + Shown(c) + ", expected " +
                                             Shown(static_cast<unsigned char>(record[i])));
        }
        for (std::size_t at = first; at <= last; at += kReadLineBytes) {
            const std::size_t n = std::min(kReadLineBytes, last - at + 1);
            const std::string lineName = "the line for " + Hex4(at);
            // "AAAA=": the address the line must carry.
            char head[8];
            std::snprintf(head, sizeof head, "%04X=", static_cast<unsigned>(at));
            for (int i = 0; i < 5; ++i) {
                const uint8_t c = ReadBackChar(command, lineName);
                if (i == 0 && at == first && (c == 'X' || c == 'L'))
                    ReadBackFailure(command, std::string("answered \"") + static_cast<char>(c) + "\" (" +
                                                 (c == 'X' ? "checksum error" : "security: reading is forbidden") +
                                                 "); the flash is not checked");
                if (c != static_cast<uint8_t>(head[i]))
                    ReadBackFailure(command, lineName + ": character " + std::to_string(i + 1) + " of \"" + head +
                                                 "\" came as " + Shown(c) + ", expected " +
                                                 Shown(static_cast<unsigned char>(head[i])));
            }
            for (std::size_t k = 0; k < n; ++k) {
                int value = 0;
                for (int d = 0; d < 2; ++d) {
                    const uint8_t c = ReadBackChar(command, lineName);
                    const int digit = HexDigit(c);
                    if (digit < 0)
                        ReadBackFailure(command, lineName + ": byte " + std::to_string(k + 1) + " of " +
                                                     std::to_string(n) + " came as " + Shown(c) +
                                                     ", expected an upper-case hex digit");
                    value = value << 4 | digit;
                }
                const std::size_t address = at + k;
                if (value != image[address]) {
                    char text[160];
                    std::snprintf(text, sizeof text,
                                  "address %04Xh reads %02Xh, the image has %02Xh: the flash does not hold the image",
                                  static_cast<unsigned>(address), static_cast<unsigned>(value), image[address]);
                    ReadBackFailure(command, text);
                }
            }
            for (const int want : {'\r', '\n'}) {
                const uint8_t c = ReadBackChar(command, lineName);
                if (c != want)
                    ReadBackFailure(command, lineName + ": after its " + std::to_string(n) +
                                                 (n == 1 ? " byte came " : " bytes came ") + Shown(c) + ", expected " +
                                                 Shown(want));
            }
            const int percent = static_cast<int>((at + n) * 100 / size);
            if (percent != shown) Ui().SetProgress(shown = percent);
            PumpAndCheckAbort();
        }
    }
    Ui().SetStatusText("Flash Read-back: the " + std::to_string(size) + " bytes read back match the image");
}

int Flash_AC2::Program(const std::string& path) {
    const std::vector<uint8_t>& image = Image(path);
    const uint64_t size = image.size();
    const uint64_t last = size / kBlockSize;
    for (uint64_t i = 0; i <= last; ++i) {
        const uint64_t offset = i * kBlockSize;
        if (offset >= size) break;
        const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(kBlockSize, size - offset));
        const uint16_t address = static_cast<uint16_t>(offset);
        SendRecord(HexRecord(0x00, address, image.data() + offset, n));
        ExpectAccepted("data record", address);
        // A file shorter than one block has gone out whole with its only record.
        Ui().SetProgress(last == 0 ? 100 : static_cast<int>(i * 100 / last));
        PumpAndCheckAbort();
    }
    // The records' checksums cover the line, not the cells: an erase that did
    // not happen, or a record the boot loader took otherwise, shows only in
    // what the flash reads. Checked before the fuses let the application start.
    if (ctx.ReadBack) ReadBack(image);
    SendRecord(ctx.SetX2 ? kX2SetRecord : kX2ClearRecord);
    ExpectAccepted("X2 fuse record", 0);
    SendRecord(kBljbRecord);
    ExpectAccepted("boot-loader-jump fuse record", 0);
    SendRecord(kResetRecord);
    return 0;
}

int Flash_AC2::Finish() {
    SendRecord(kResetRecord);
    return 0;
}

namespace {

// No loader of ours: the ISP boot loader takes the records itself. The
// largest image is what the 16-bit record address reaches.
constexpr const char* kRates[] = {"9600", "19200", "38400", "57600"};
const TargetRow kTarget{.itemText = "T89C5xACx", .deviceCode = 7, .listPosition = 60, .className = "Flash_AC2",
                        .make = &MakeFlasher<Flash_AC2>, .eraseCommand = 0x00, .eraseAck = 0x00, .idByte = 0x55,
                        .portRecord = PortRecordIndex(7), .framing = "8N2", .dialogRates = kRates,
                        .dialogSetsBaud = true, .dialogSetsFraming = false, .loader = nullptr, .maxImageSize = 0x10000,
                        .erasedValue = 0xFF, .hasEraseStage = true, .forcesBootMode = false,
                        .finishAfterRun = false, .simBoard = "t89c5xacx",
                        // The ROM loader programs the code memory at the address of each record
                        // ("A/T89C51AC2 UART Bootloader", 4231C-CAN-03/05, Program Data): image
                        // offset n is code address n.
                        .baseAddress = 0x0000, .flashWindows = {}, .elfMachines = kElfMachines8051, .fastRates = {}};
const TargetRegistration kRegistered(kTarget);

}  // namespace

}  // namespace qtx
