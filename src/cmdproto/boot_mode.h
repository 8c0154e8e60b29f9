// The device command protocol's part in switching running firmware into its
// ROM boot loader: the autobaud text at every rate and framing, and the
// boot-mode request at 19200 baud "8N1". When to switch, and how it shows, is
// the engine's (engine/boot_mode_switch.h).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

namespace qtx {

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
// Sleeps ms, running idle about every 10 ms; false when stop ended it early.
bool cmd_pause(int ms, const std::function<void()>& idle, const std::function<bool()>& stop = {});

}  // namespace qtx
