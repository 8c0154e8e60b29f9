// Commanding the firmware running on an ARM target into its ROM boot loader:
// the autobaud text at every rate and framing, then the boot-mode request at
// 19200 baud "8N1".
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace qtx {

struct Context;

inline constexpr uint8_t kAutobaudText[5] = {'\n', 'D', 'F', 'C', '\n'};
inline constexpr std::array<int32_t, 13> kBroadcastRates = {300,   600,    1200,   2400,   4800,   9600,  19200,
                                                            38400, 57600, 115200, 230400, 460800, 921600};
inline constexpr std::array<const char*, 10> kBroadcastFramings = {"7N2", "7E1", "7E2", "8N1", "8N2",
                                                                   "8E1", "7O1", "7O2", "8O1", "8E2"};
inline constexpr int kBroadcastPauseMs = 50;

inline constexpr uint16_t kBootModeWord = 0x840D;  // number 0x40D, acknowledgement requested
inline constexpr uint16_t kBootModeKey = 0x3C95;
inline constexpr int32_t kBootModeBaud = 19200;
inline constexpr const char* kBootModeFraming = "8N1";

// Result of the broadcast and of force_boot_mode when stop asked to end early.
inline constexpr int kBootModeStopped = -5;

// Sends the autobaud text once at each of the 13 x 10 combinations, rates in
// the outer loop, each at a fresh open of the port that is closed again (its
// earlier settings restored) after a 50 ms pause and a flush. 0, or -1 as
// soon as the port cannot be opened. idle, when given, runs during the pauses
// (the window stays painted; nothing else happens there). stop, when given,
// is asked as often: true ends the broadcast with kBootModeStopped, the port closed.
int cmd_broadcast(const std::string& portName, const std::function<void()>& idle = {},
                  const std::function<bool()>& stop = {});

// The 8 data bytes of the boot-mode request: key, a zero word, the rate.
std::array<uint8_t, 8> BootModeData(int32_t baud);
// BaudRate of the selected target's port record for SAM3U, SAM3S and
// STM32F4; 0 for every other device code.
int32_t BootModeBaudFor(Context& ctx);

// Destroys ActivePort, broadcasts the autobaud text, then sends the boot-mode
// request on portName and waits for the acknowledgement. Shows its progress in
// the status bar. 0 accepted; -1 the port cannot be opened; -2 no valid reply;
// -3 refused; -4 a reply with neither flag; kBootModeStopped when the active
// flasher's Abort flag was set meanwhile (it is polled at least every 200 ms,
// so an abort ends the switch within a fraction of a second). The port is left
// closed with its earlier settings.
int force_boot_mode(Context& ctx, const std::string& portName);

}  // namespace qtx
