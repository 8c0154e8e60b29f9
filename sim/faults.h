// Faults the rig injects on request (--fault FAULT). Byte positions count the
// bytes received from the host since the board started, from 0.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace qtx::sim {

struct FaultSet {
    bool silent = false;                 // never answers anything
    bool badId = false;                  // identification byte XOR 0x80
    bool noEcho = false;                 // C509 loaded program: size not echoed
    bool badEcho = false;                // C509 loaded program: wrong size echo
    std::set<uint32_t> verifyErrorAt;    // flash addresses that fail to program
    bool eraseFail = false;              // the flash's erase fails (boards that model it)
    bool preloaded = false;              // t89c5xacx: the flash starts holding an earlier image
    bool readLocked = false;             // t89c5xacx: reading the flash is forbidden
    bool wideErase = false;              // xc164/xe167: an erase clears 16 KiB around its sector
    bool noFast = false;                 // stm32f4, sam3, gp4020, c167, c163: the core clock runs 3 % fast
    bool fastGarble = false;             // the first bytes after the host's first rate switch arrive damaged
    uint32_t fastGarbleSwitch = 1;       // fast-garble@K: after its K-th (xe167/xc164 switch once in plain runs)
    std::set<uint64_t> drop;             // these bytes never arrive
    std::set<uint64_t> corrupt;          // these bytes arrive XOR 0x01
    std::set<uint64_t> badAck;           // first answer after that many bytes is XOR 0x01
    std::optional<uint64_t> unplug;      // adapter pulled after that many bytes

    bool Empty() const;
};

// Adds one --fault argument (one fault or several separated by commas) to faults.
// Returns an empty string, or the reason a fault is not understood.
std::string AddFaults(const std::string& arg, FaultSet& faults);

// Parses a decimal or 0x-prefixed hexadecimal number up to max; false when malformed.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value);

}  // namespace qtx::sim
