// qtxsim: a simulated target board on a pseudo-terminal, linked into the port
// map as COMn, for trying the flasher without hardware.
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "sim/boards.h"
#include "sim/options.h"
#include "sim/port_link.h"
#include "sim/pty_port.h"
#include "sim/rig.h"
#include "version/version.h"

namespace {

volatile std::sig_atomic_t gStop = 0;
int gWakePipe[2] = {-1, -1};

extern "C" void OnSignal(int) {
    gStop = 1;
    const char b = 1;
    [[maybe_unused]] ssize_t n = ::write(gWakePipe[1], &b, 1);
}

bool InstallSignals() {
    if (::pipe2(gWakePipe, O_NONBLOCK | O_CLOEXEC) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;   // no SA_RESTART: waits end at once
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        if (::sigaction(sig, &sa, nullptr) != 0) return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qtx::sim;
    ProgramOptions options;
    const std::string error = ParseArgs(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!error.empty()) {
        std::fprintf(stderr, "qtxsim: %s\nTry 'qtxsim --help'.\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(UsageText().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("%s\n", qtx::VersionLine("qtxsim").c_str());
        return 0;
    }
    if (!InstallSignals()) {
        std::perror("qtxsim: cannot set up signal handling");
        return 1;
    }
    // Byte deadlines at 115200 baud are 87 us apart; the default 50 us timer slack is too coarse.
    if (options.pace) ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    try {
        PtyPort pty;
        RigOptions rigOptions;
        rigOptions.portName = options.port;
        rigOptions.pace = options.pace;
        rigOptions.latencyMs = options.latencyMs;
        rigOptions.queueBytes = options.queueBytes;
        rigOptions.once = options.once;
        rigOptions.faults = options.faults;
        BoardConfig config;
        config.badId = options.faults.badId;
        config.noEcho = options.faults.noEcho;
        config.badEcho = options.faults.badEcho;
        config.verifyErrorAt = options.faults.verifyErrorAt;
        config.eraseFails = options.faults.eraseFail;
        config.eraseMs = options.eraseMs;
        config.preloaded = options.faults.preloaded;
        config.readLocked = options.faults.readLocked;
        config.wideErase = options.faults.wideErase;
        config.fastClock = options.faults.noFast;
        Rig rig(rigOptions, config, pty, WithAppFirmware(FindBoard(options.board)->make, options.app));

        // An erased flash from the start: an unwritable path fails now, not after a run,
        // and the file is meaningful even if the board is killed.
        if (!options.flashOut.empty()) rig.GetBoard().Flash().SaveTo(options.flashOut);

        // The link appears only once the board is ready: its existence is the readiness signal.
        const std::string dir = options.portsDir.empty() ? DefaultPortsDir() : options.portsDir;
        PortLink link(dir, options.port, pty.SlavePath());
        std::printf("qtxsim: board %s on %s -> %s\n", options.board.c_str(), options.port.c_str(),
                    pty.SlavePath().c_str());
        std::fflush(stdout);

        rig.Run([] { return gStop != 0; }, gWakePipe[0]);

        // The name goes first, so that nobody opens a port that is going away.
        link.Remove();
        pty.Close();
        if (!options.flashOut.empty()) rig.GetBoard().Flash().SaveTo(options.flashOut);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qtxsim: %s\n", e.what());
        return 1;
    }
}
