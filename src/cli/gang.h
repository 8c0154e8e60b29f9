// Several boards at once: the same image into every port given, each port with
// its own engine context on its own thread, progress one line per port, a
// summary table at the end, and one JSON object per port on request.
#pragma once

#include <string>
#include <vector>

#include "engine/run.h"
#include "settings/setup.h"

namespace qtx {

struct TargetRow;

struct GangPlan {
    const TargetRow* row = nullptr;
    Setup setup;                      // the run's settings; each port's name is set per port
    std::vector<std::string> ports;   // "COMn", two or more, no repeats
    std::string file;                 // absolute path of the firmware file
    std::string imageLine;            // the image's format, range and CRC-32, said before the run
    bool readBack = true;
    uint32_t fastBaud = 0;      // --fast: the data rate asked of each loader
    bool quiet = false;
    bool json = false;
    std::string tracePath;            // FILE: one trace per port, FILE.COMn; empty: none
};

// The exit status of one run, as the tool's status table gives it.
int ExitStatusFor(RunOutcome outcome, bool interrupted, int interruptStatus);
// The worse of two statuses: 130/143, then 5, 4, 3, 2, 1, 0.
int WorseStatus(int a, int b);

// Runs plan.file into every port at once; the worst status over the ports.
int RunGang(const GangPlan& plan);

}  // namespace qtx
