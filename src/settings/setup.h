// The one fixed-size settings record. Its byte layout is the content of
// flash.stp and must never change: old files are recognised by size alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qtx {

#pragma pack(push, 1)
struct PortRecord {
    char PortName[7];   // NUL-terminated, e.g. "COM1"
    char Framing[4];    // data bits, parity letter, stop bits, NUL: "8N1"
    uint8_t BaudRateLE[4];  // signed 32-bit little-endian, unaligned

    int32_t BaudRate() const;
    void SetBaudRate(int32_t baud);
    std::string Name() const;            // PortName up to its NUL
    void SetName(const std::string& name);  // truncated to 6 characters
    std::string FramingText() const;     // Framing up to its NUL
    void SetFraming(const std::string& framing);  // truncated to 3 characters
    static PortRecord Make(const std::string& name, const std::string& framing, int32_t baud);
};

struct Setup {
    PortRecord Ports[10];      // offset 0
    char FlashDir[522];        // offset 150
    char FlashName[36];        // offset 672 (longer names run on over EpldDir)
    char EpldDir[522];         // offset 708
    char EpldName[36];         // offset 1230
    uint8_t DeviceCodeLE[4];   // offset 1266
    uint8_t Reserved[13300];   // offset 1270, kept as read

    int32_t DeviceCode() const;
    void SetDeviceCode(int32_t code);

    std::string FlashDirText() const;
    std::string FlashNameText() const;  // read from offset 672 up to its NUL
    // Store a directory or name; false (record unchanged) when it does not fit.
    bool SetFlashDir(const std::string& dir);
    bool SetFlashName(const std::string& name);

    uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(this); }
    const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(this); }
};
#pragma pack(pop)

inline constexpr std::size_t kSetupSize = 14570;
static_assert(sizeof(PortRecord) == 15);
static_assert(sizeof(Setup) == kSetupSize);
static_assert(offsetof(Setup, FlashDir) == 150);
static_assert(offsetof(Setup, FlashName) == 672);
static_assert(offsetof(Setup, EpldDir) == 708);
static_assert(offsetof(Setup, EpldName) == 1230);
static_assert(offsetof(Setup, DeviceCodeLE) == 1266);
static_assert(offsetof(Setup, Reserved) == 1270);

// Longest FlashName text: it may run on over EpldDir but must end before EpldName.
inline constexpr std::size_t kMaxFlashNameLen = 1230 - 672 - 1;
inline constexpr std::size_t kMaxFlashDirLen = sizeof(Setup::FlashDir) - 1;

// Index of the port record that a device code uses; -1 for codes outside 1..11.
int PortRecordIndex(int32_t deviceCode);

// The built-in default image (port records, DeviceCode 1, zero elsewhere).
const Setup& DefaultImage();

// Default image plus the working directory in FlashDir and EpldDir.
void DefaultSetup(Setup& setup);

// Absolute working directory, no trailing '/' except for "/" itself.
// Returns 0, or -1 with dest unchanged when it cannot be determined or does
// not fit into cap bytes (including the NUL).
int CurrentDirText(char* dest, std::size_t cap);

}  // namespace qtx
