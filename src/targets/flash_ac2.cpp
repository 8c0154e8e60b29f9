#include "targets/flash_ac2.h"

#include <cstdio>

#include <algorithm>

namespace qtx {

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
    SendRecord(kEraseRecord);
    ctx.ByteTimeoutMs = 1000;
    PumpAndCheckAbort();
    if (CheckEraseReply(kEraseRecord) == 1) {
        Ui().SetProgress(100);
        PumpingSleep(ctx, 1000);
    }
    return 0;
}

int Flash_AC2::CheckEraseReply(const std::string& record) {
    char reply[kReplyBufferSize] = {};
    std::size_t length = 0, total = 0;
    bool overflow = false;
    int timeouts = 0;
    uint8_t b = 0;
    for (;;) {
        b = ReceiveByte();
        if (b == 0xFF) {
            Ui().SetProgress(50);
            ++timeouts;
        } else if (length < sizeof reply - 1) {
            reply[length++] = static_cast<char>(b);
        } else {
            overflow = true;  // longer than any answer to the erase record
        }
        if (Abort) throw BreakException{};
        if (b == '\n' || timeouts > 10) break;
        if (b != 0xFF && ++total > kMaxReplyLine) {
            Ui().SetStatusText("Flash Erase: no end of the reply line after " + std::to_string(kMaxReplyLine) +
                               " characters");
            throw CharErrorException{};
        }
    }
    if (b == 0xFF) {
        Ui().SetStatusText("Flash Erase: Timeout");
        throw TimeoutException{};
    }
    if (overflow) return 0;
    const std::string line(reply, length);
    if (line == record + "X\r\n") {
        Ui().SetStatusText("Flash Erase: Checksum Error");
        throw CharErrorException{};
    }
    if (line == record + "P\r\n") {
        Ui().SetStatusText("Flash Erase: Security Error");
        throw CharErrorException{};
    }
    if (line == record + ".\r\n") {
        Ui().SetStatusText("Flash Erase: OK");
        return 1;
    }
    return 0;
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
    // The status character is the boot loader's verdict on the record: a
    // refused record must not end in "Programming ok.".
    const char status = ReadReplyLine();
    if (status != 'X' && status != 'P') return;
    char text[160];
    std::snprintf(text, sizeof text, "Flash Program: %s at address %04Xh answered \"%c\" (%s)", what, address, status,
                  status == 'X' ? "checksum error" : "security error");
    Ui().SetStatusText(text);
    throw ProgramException{};
}

int Flash_AC2::Program(const std::string& path) {
    // The records carry their own checksums: no content check on this target.
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

}  // namespace qtx
