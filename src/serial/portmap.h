// COMn names to Linux devices: a directory of COMn links first, then the
// serial devices present, numbered from the lowest free number in a stable order.
#pragma once

#include <string>
#include <vector>

namespace qtx {

struct PortEntry {
    std::string name;         // "COM3"
    std::string device;       // "/dev/ttyUSB0"
    std::string description;  // USB product text, driver, or empty
    bool fromDirectory = false;
};

// The map directory: $QTXFLASH_PORTS when set (even empty), else ~/.config/qtxflash/ports.
std::string PortMapDir();
// True when $QTXFLASH_PORTS is set: the directory is the whole map, nothing is detected.
bool PortMapIsPrivate();
// Why no port map can be built, or empty. $QTXFLASH_PORTS set but empty is
// such a case: it is never taken as "unset", which would reach the real ports.
std::string PortMapProblem();

// The whole map, ordered by COM number; empty while PortMapProblem() says why.
std::vector<PortEntry> PortMap();
// Builds the map from an explicit directory and list of present devices (testable).
std::vector<PortEntry> BuildPortMap(const std::string& dir, bool detect, const std::string& sysClassTty);

// Resolves "COMn" (case-insensitive) to a device path; empty when unknown.
std::string ResolvePort(const std::string& name);
// Number in "COMn", or -1 when name is not of that form.
int ComNumber(const std::string& name);

}  // namespace qtx
