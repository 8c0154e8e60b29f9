#include "sim/faults.h"

#include <cctype>
#include <limits>

namespace qtx::sim {

bool FaultSet::Empty() const {
    return !silent && !badId && !noEcho && !badEcho && !eraseFail && verifyErrorAt.empty() && drop.empty() &&
           corrupt.empty() && badAck.empty() && !unplug && !preloaded && !readLocked && !wideErase &&
           !noFast && !fastGarble;
}

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    std::size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return false;
    uint64_t v = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        unsigned digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = unsigned(std::tolower(c) - 'a' + 10);
        else
            return false;
        if (v > (max - digit) / base) return false;
        v = v * base + digit;
    }
    value = v;
    return true;
}

namespace {

std::string AddOne(const std::string& fault, FaultSet& f) {
    const auto at = fault.find('@');
    const std::string kind = fault.substr(0, at);
    const bool hasArg = at != std::string::npos;
    const std::string arg = hasArg ? fault.substr(at + 1) : std::string();

    if (kind == "erase-fail") {
        if (hasArg) return "fault '" + kind + "' takes no argument";
        f.eraseFail = true;
        return {};
    }
    if (kind == "no-fast") {
        if (hasArg) return "fault '" + kind + "' takes no argument";
        f.noFast = true;
        return {};
    }
    if (kind == "fast-garble") {
        uint64_t k = 1;
        if (hasArg && (!ParseNumber(arg, 1000, k) || k == 0)) return "bad number '" + arg + "' in fault '" + fault + "'";
        f.fastGarble = true;
        f.fastGarbleSwitch = uint32_t(k);
        return {};
    }
    if (kind == "preloaded" || kind == "read-locked" || kind == "wide-erase") {
        if (hasArg) return "fault '" + kind + "' takes no argument";
        (kind == "preloaded" ? f.preloaded : kind == "read-locked" ? f.readLocked : f.wideErase) = true;
        return {};
    }
    if (kind == "silent" || kind == "bad-id" || kind == "no-echo" || kind == "bad-echo") {
        if (hasArg) return "fault '" + kind + "' takes no argument";
        (kind == "silent" ? f.silent : kind == "bad-id" ? f.badId : kind == "no-echo" ? f.noEcho : f.badEcho) = true;
        return {};
    }
    const bool known = kind == "verify-error" || kind == "drop" || kind == "corrupt" ||
                       kind == "bad-ack" || kind == "unplug";
    if (!known) return "unknown fault '" + fault + "'";
    if (!hasArg) return "fault '" + kind + "' needs @N";
    uint64_t n = 0;
    const uint64_t max = kind == "verify-error" ? std::numeric_limits<uint32_t>::max()
                                                : std::numeric_limits<uint64_t>::max();
    if (!ParseNumber(arg, max, n)) return "bad number '" + arg + "' in fault '" + fault + "'";
    if (kind == "verify-error")
        f.verifyErrorAt.insert(uint32_t(n));
    else if (kind == "drop")
        f.drop.insert(n);
    else if (kind == "corrupt")
        f.corrupt.insert(n);
    else if (kind == "bad-ack")
        f.badAck.insert(n);
    else if (!f.unplug || n < *f.unplug)
        f.unplug = n;   // the earliest unplug wins: the adapter can be pulled only once
    return {};
}

}  // namespace

std::string AddFaults(const std::string& arg, FaultSet& faults) {
    std::size_t start = 0;
    while (true) {
        const auto comma = arg.find(',', start);
        const std::string fault = arg.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (fault.empty()) return "empty fault in '" + arg + "'";
        if (auto err = AddOne(fault, faults); !err.empty()) return err;
        if (comma == std::string::npos) return {};
        start = comma + 1;
    }
}

}  // namespace qtx::sim
