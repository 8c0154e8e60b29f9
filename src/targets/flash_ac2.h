// Flasher for T89C5xACx controllers. Their ROM boot loader takes Intel-HEX
// records in ASCII, echoes every character and ends each reply line with a
// status character ("." ok, "X" checksum error, "P" security error) and CR LF.
// The tool sends no loader of its own: it wakes the boot loader by autobaud,
// erases the chip, sends the file as data records, reads the programmed range
// back and compares it with the file, sets two fuse bits and resets the
// controller into the new application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/x_flash.h"

namespace qtx {

// One record as the boot loader takes it: ":", count, 4-digit address, type,
// data, two's-complement checksum; upper-case digits, no line end. n <= 255.
std::string HexRecord(uint8_t type, uint16_t address, const uint8_t* data, std::size_t n);

class Flash_AC2 : public X_Flash {
public:
    using X_Flash::X_Flash;

    static constexpr const char* kEraseRecord = ":0100000307F5";      // command 07: full chip erase
    static constexpr const char* kX2SetRecord = ":030000030A0800E8";  // X2 fuse 00 (box ticked)
    static constexpr const char* kX2ClearRecord = ":030000030A0801E7";
    static constexpr const char* kBljbRecord = ":030000030A0401EB";   // boot-loader-jump fuse 01
    static constexpr const char* kResetRecord = ":020000030300F8";    // start the application
    static constexpr std::size_t kBlockSize = 128;
    // The address field has four hex digits: nothing beyond 64 KiB can be addressed.
    static constexpr uint64_t kMaxFileSize = 0x10000;
    // Read Flash answers at most this many bytes per command; larger ranges take
    // several commands. The limit is stated for the sibling AT89C51AC3 ("AT89C51AC3
    // UART Bootloader", 4386A-8051-10/04, "Read the Flash or EEPROM Data": "the
    // maximum size of block is 400h"); its A/T89C51AC2 document names none.
    static constexpr std::size_t kReadBlock = 0x400;
    // Data bytes per answer line ("A/T89C51AC2 UART Bootloader", 4231C-CAN-03/05,
    // "Flow Description: Read Command", the example on page 14: 16, 16, 1).
    static constexpr std::size_t kReadLineBytes = 16;
    // A reply line that runs on this long without its LF is no reply: a data
    // record's echo, status and CR LF take 270 characters.
    static constexpr std::size_t kMaxReplyLine = 1024;

    int Identify() override;
    int Erase() override;
    int Finish() override;
    int SendEpldName() override { return 0; }
    int Program(const std::string& path) override;
    int SetControl(uint8_t) override { return 0; }
    int AwaitReply() override;
    const char* ClassName() const override { return "Flash_AC2"; }

    // Reads the reply to the erase record and returns when it confirms the
    // erase. Throws for a timeout, a checksum or a security error, and for any
    // other reply (naming the character that deviated): only a confirmed erase
    // lets data records follow.
    void CheckEraseReply(const std::string& record);

    // The Read Flash command for first..last (inclusive) with display option 00h
    // (4231C-CAN-03/05, Appendix-A Table 3: type 04h, length 05h, offset unused,
    // start and end address MSB first).
    static std::string ReadFlashRecord(uint16_t first, uint16_t last);

private:
    void SendRecord(const std::string& record);
    // Reads one reply line up to its LF with AwaitReply's waits; returns the
    // status character (the last one before CR LF).
    char ReadReplyLine();
    // Reads the reply to a data or fuse record; anything but "." fails the run.
    void ExpectAccepted(const char* what, uint16_t address);
    // Reads 0..size-1 back through Read Flash and compares it with the image;
    // ProgramException at the first byte that is not what it should be.
    void ReadBack(const std::vector<uint8_t>& image);
    // One character of a Read Flash answer; silence fails the run naming awaited.
    uint8_t ReadBackChar(const std::string& command, const std::string& awaited);
    // The status text and ProgramException for a Read Flash answer that deviates.
    [[noreturn]] void ReadBackFailure(const std::string& command, const std::string& detail);
};

}  // namespace qtx
