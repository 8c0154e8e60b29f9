// Flasher for T89C5xACx controllers. Their ROM boot loader takes Intel-HEX
// records in ASCII, echoes every character and ends each reply line with a
// status character ("." ok, "X" checksum error, "P" security error) and CR LF.
// The tool sends no loader of its own: it wakes the boot loader by autobaud,
// erases the chip, sends the file as data records, sets two fuse bits and
// resets the controller into the new application.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    // The erase reply buffer: at most 55 characters and a terminating zero.
    static constexpr std::size_t kReplyBufferSize = 56;
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

    // Reads the reply to the erase record: 1 confirmed, 0 not recognised;
    // throws for a timeout, a checksum or a security error.
    int CheckEraseReply(const std::string& record);

private:
    void SendRecord(const std::string& record);
    // Reads one reply line up to its LF with AwaitReply's waits; returns the
    // status character (the last one before CR LF).
    char ReadReplyLine();
    // Reads the reply to a data or fuse record; a refusal fails the run.
    void ExpectAccepted(const char* what, uint16_t address);
};

}  // namespace qtx
