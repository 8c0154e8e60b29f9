// The window against the command-line tool on the same paced board: an
// STM32F4 image (256 KiB unless --size says otherwise) through the real
// preloader at 115200 8E1 with a USB adapter's 16 ms turnaround. Reports the
// wall time of both and the CPU the window's process and its own thread used.
// Not a test: run it by hand (offscreen or under xvfb-run), the machines are
// shared and noisy.
//   qtx_bench_window [--size BYTES] [--runs N] [--latency-ms N]
#include <QApplication>
#include <QPushButton>

#include <sys/resource.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/verdict.h"
#include "shell/flmain.h"
#include "sim_board.h"

namespace {

double Seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }
double CpuOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return Seconds(u.ru_utime) + Seconds(u.ru_stime);
}
double ThreadCpu() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}
double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

qtx::test::SimOptions PacedBoard(int latencyMs) {
    qtx::test::SimOptions o;
    o.board = "stm32f4";
    o.pace = true;
    o.latencyMs = latencyMs;
    return o;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::size_t size = 256 * 1024;
    int runs = 1, latency = 16;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size")) size = std::strtoul(argv[i + 1], nullptr, 0);
        else if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--latency-ms")) latency = std::atoi(argv[i + 1]);
    }
    // The bench's runs must not land in the user's run log.
    const std::string state = qtx::test::MakeTempDir("bench-state");
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    QApplication app(argc, argv);
    qtx::SetUpApplication();
    QApplication::setQuitOnLastWindowClosed(false);
    const auto image = qtx::test::PatternBytes(size, 3);

    std::printf("STM32F4, %zu bytes, paced, %d ms turnaround\n", size, latency);
    std::printf("%-8s %9s %10s %12s\n", "face", "seconds", "cpu %", "gui thread %");
    for (int run = 0; run < runs; ++run) {
        {
            qtx::test::SimBoard board(PacedBoard(latency));
            qtx::test::WriteFileBytes(board.PortsDir() + "/fw.bin", image);
            const std::string dir = board.PortsDir();
            qtx::TBSL w([dir](qtx::Context& ctx) {
                qtx::DefaultSetup(ctx.setup);
                ctx.setup.SetFlashDir(dir + "/");
                ctx.setup.SetFlashName("fw.bin");
                ctx.setup.SetDeviceCode(11);
            });
            w.show();
            QApplication::processEvents();
            const double cpu0 = CpuOf(RUSAGE_SELF), gui0 = ThreadCpu(), t0 = Now();
            w.findChild<QPushButton*>(QStringLiteral("FlashButton"))->click();
            if (!w.WaitForRun(900000)) {
                std::fprintf(stderr, "the window's run did not end\n");
                return 1;
            }
            const double wall = Now() - t0, cpu = CpuOf(RUSAGE_SELF) - cpu0, gui = ThreadCpu() - gui0;
            if (w.RunLogWindow() == nullptr || w.StatusText().find("Programming ok.") == std::string::npos) {
                std::fprintf(stderr, "the window's run failed: %s\n", w.StatusText().c_str());
                return 1;
            }
            std::printf("%-8s %9.2f %10.1f %12.1f\n", "window", wall, 100 * cpu / wall, 100 * gui / wall);
            board.Wait(30000);
        }
        {
            qtx::test::SimBoard board(PacedBoard(latency));
            const std::string path = board.PortsDir() + "/fw.bin";
            qtx::test::WriteFileBytes(path, image);
            const double cpu0 = CpuOf(RUSAGE_CHILDREN), t0 = Now();
            const auto r = qtx::test::RunProgram(QTXFLASH_CLI_PATH, {"-q", "-t", "STM32F4", "-p", "COM1", path}, 900000);
            const double wall = Now() - t0, cpu = CpuOf(RUSAGE_CHILDREN) - cpu0;
            if (r.status != 0) {
                std::fprintf(stderr, "the command-line run failed (%d): %s\n", r.status, r.err.c_str());
                return 1;
            }
            std::printf("%-8s %9.2f %10.1f %12s\n", "cli", wall, 100 * cpu / wall, "-");
            board.Wait(30000);
        }
    }
    std::filesystem::remove_all(state);
    return 0;
}
