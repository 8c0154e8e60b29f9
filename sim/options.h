// Command line of qtxsim.
#pragma once

#include <string>
#include <vector>

#include "sim/app_board.h"
#include "sim/faults.h"

namespace qtx::sim {

struct ProgramOptions {
    std::string board;
    std::string port;          // normalised "COMn"
    std::string portsDir;      // empty: $QTXFLASH_PORTS, else ~/.config/qtxflash/ports
    std::string flashOut;
    bool once = false;
    bool pace = false;
    bool help = false;
    bool version = false;
    int latencyMs = 0;
    std::size_t queueBytes = 0;
    int eraseMs = 200;
    FaultSet faults;
    AppFirmwareOptions app;    // --app-running and its options
};

// Parses the arguments after the program name. Returns an empty string, or the
// usage error to print (exit status 2).
std::string ParseArgs(const std::vector<std::string>& args, ProgramOptions& options);
std::string UsageText();

}  // namespace qtx::sim
