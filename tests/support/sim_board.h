// Test support: a simulated board (the qtxsim program) on a private port map,
// and small helpers for files and child processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace qtx::test {

struct SimOptions {
    std::string board = "c167";
    std::string port = "COM1";
    std::vector<std::string> faults;   // each passed as --fault X
    bool pace = false;
    int latencyMs = 0;
    int eraseMs = -1;                  // -1: board default
    bool once = true;
    std::vector<std::string> extraArgs;
    // A port directory shared with other boards (several boards at once, one
    // COMn each); empty: a private one.
    std::string portsDir;
};

class SimBoard {
public:
    // Makes a fresh private port directory, sets QTXFLASH_PORTS to it for this process,
    // starts QTXSIM_PATH with --ports-dir and --flash-out in that directory, and waits (up to
    // 10 s) for the ready line. Throws std::runtime_error with the board's stderr on failure.
    explicit SimBoard(const SimOptions& options = {});
    ~SimBoard();                            // kills the board if running, removes the directory
    SimBoard(const SimBoard&) = delete;
    SimBoard& operator=(const SimBoard&) = delete;

    const std::string& PortsDir() const;
    const std::string& FlashOutPath() const;
    std::string DevicePath() const;         // the /dev/pts/N behind the link
    int Wait(int timeoutMs = 15000);        // exit status (128 + n after signal n); kills it
                                            // (and returns -1) on timeout
    void Stop();                            // SIGTERM, then Wait
    std::vector<uint8_t> Flash() const;     // content of the flash-out file (after Wait)
    std::string Log() const;                // the board's stderr so far

private:
    std::string root_;        // private directory holding everything below
    std::string portsDir_;
    std::string flashOut_;
    std::string outPath_;     // the board's stdout
    std::string errPath_;     // the board's stderr
    std::string port_;
    pid_t pid_ = -1;
    int status_ = -1;
};

std::string MakeTempDir(const std::string& tag);   // under $TMPDIR or /tmp, removed by caller
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> PatternBytes(std::size_t n, uint32_t seed = 1);  // deterministic test data

// Runs a program with args in this process's environment (so a SimBoard's QTXFLASH_PORTS
// reaches it), feeds it stdinText, captures stdout/stderr, returns the exit status (128 + n
// when killed by signal n), or -1 on timeout, after killing it. Timeouts here and in
// SimBoard::Wait are stretched by the rig's deadline factor (serial/deadline.h).
struct ProcessResult {
    int status;
    std::string out;
    std::string err;
};
ProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                         int timeoutMs = 60000, const std::string& stdinText = "");

}  // namespace qtx::test
