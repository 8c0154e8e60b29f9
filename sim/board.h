// A simulated board: a ROM boot loader model, the program it loads, and a
// flash model. The rig feeds it the bytes that arrive on its UART and carries
// its answers back; a board never touches the pty itself.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "sim/flash_model.h"

namespace qtx::sim {

using Clock = std::chrono::steady_clock;

// Per-run choices that reach the board (line faults stay in the rig).
struct BoardConfig {
    bool badId = false;                  // ROM answers its identification byte XOR 0x80
    bool noEcho = false;                 // C509 loaded program does not echo the size
    bool badEcho = false;                // C509 loaded program echoes a wrong size byte
    std::set<uint32_t> verifyErrorAt;    // flash addresses whose word fails to program
    bool eraseFails = false;             // the flash's erase ends in failure (boards that model it)
    int eraseMs = 200;                   // how long the loaded program takes to erase
    bool preloaded = false;              // t89c5xacx: the flash starts holding an earlier image
    bool readLocked = false;             // t89c5xacx: the security level forbids reading the flash
    bool wideErase = false;              // xc164/xe167: erasing a 4 KiB sector clears its 16 KiB neighbourhood
    unsigned fetchAhead = 0;             // xc164/xe167: instructions the fetch unit runs ahead of a store
    bool paced = false;                  // the line is paced: the board's clock must not pass the wall's
    bool fastClock = false;              // stm32f4, sam3, gp4020, c167, c163: the core clock runs 3 % fast (an oscillator off its trim)
};

// The host time spent emulating a core: its instructions per second of host
// time tell up to which line rate a board can keep up (bench/cores.py).
struct HostTimer {
    std::chrono::nanoseconds total{0};

    class Scope {
    public:
        explicit Scope(HostTimer& timer) : timer_(timer), start_(Clock::now()) {}
        ~Scope() { timer_.total += Clock::now() - start_; }
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        HostTimer& timer_;
        Clock::time_point start_;
    };

    // "emulator: 7249032 instructions in 0.712 s of host time, 10.18 million a second"
    std::string Line(uint64_t instructions) const {
        const double s = std::chrono::duration<double>(total).count();
        char buf[128];
        std::snprintf(buf, sizeof buf, "emulator: %llu instructions in %.3f s of host time, %.2f million a second",
                      static_cast<unsigned long long>(instructions), s, s > 0 ? double(instructions) / s / 1e6 : 0.0);
        return buf;
    }
};

class BoardIo {
public:
    virtual ~BoardIo() = default;
    virtual void Send(const uint8_t* data, std::size_t n) = 0;
    void Send(uint8_t byte) { Send(&byte, 1); }
    // One diagnostic line (the rig adds the "qtxsim:" prefix).
    virtual void Log(const std::string& line) = 0;
    virtual Clock::time_point Now() const = 0;
};

class Board {
public:
    virtual ~Board() = default;
    virtual std::string Name() const = 0;
    // Rate the board's UART listens and sends at; 0 while its boot loader waits
    // to measure the host's rate (bytes then reach it unchanged).
    virtual uint32_t ListenBaud() const = 0;
    // Bits per character on the line (start, data, parity, stop) as the board's
    // protocol frames them; 0: as the host's settings say. A pseudo-terminal
    // never carries parity, so a board whose protocol has a parity bit says so
    // here, or paced runs would be faster than the real line.
    virtual int FrameBits() const { return 0; }
    // True while the board's own UART model decides, byte by byte at its time,
    // whether a byte sent at the host's rate arrives garbled (a divider the
    // program may change); the rig then passes bytes unchanged.
    virtual bool ChecksHostRate() const { return false; }
    // One byte from the UART; hostBaud is the rate the host sent it at (what a
    // baud-rate measurement would find).
    virtual void Receive(uint8_t byte, uint32_t hostBaud) = 0;
    // A pending internal event (an erase finishing); OnTimer runs it when due.
    virtual std::optional<Clock::time_point> NextTimer() const { return std::nullopt; }
    virtual void OnTimer() {}
    // The host closed the port: the board is reset into its ROM boot loader.
    // Flash content survives; timers and half-received commands do not.
    virtual void Reset() = 0;
    virtual const FlashModel& Flash() const = 0;
};

}  // namespace qtx::sim
