// A paced 1 MiB STM32F4 run at 115200 8E1 through the real preloader on the
// emulated chip, against the least the protocol allows: every byte the host
// sends at the line's character time, the sector erases at the datasheet's
// typical times, and the flasher's fixed pauses. The ratio is what our host
// and loader add; the emulator must not distort it, so its own CPU time is
// reported by the board's log, not here.
#include <benchmark/benchmark.h>

#include <chrono>

#include "engine/catalogue.h"
#include "engine/run.h"
#include "recorder.h"
#include "sim_board.h"

using namespace qtx;

namespace {

constexpr std::size_t kSize = 1 << 20;
constexpr double kCharSeconds = 11.0 / 115200;   // start, 8 data, parity, stop

double ProtocolMinimumSeconds() {
    // Synchronisation, 28 Write Memory commands for the 7092-byte image
    // (command 2, address 5, length, data, checksum), Go (2 + 5), size (5),
    // erase (1), data command (1), the data, content check (1), finish (1).
    const double upload = 1 + 27 * (2 + 5 + 1 + 256 + 1) + (2 + 5 + 1 + 180 + 1);
    const double hostBytes = upload + 7 + 5 + 1 + 1 + double(kSize) + 1 + 1;
    // DS8626 typical at x32: 4 x 250 ms, 550 ms, 7 x 1 s.
    const double erase = 4 * 0.25 + 0.55 + 7 * 1.0;
    // 500 ms before the upload, 100 ms after Go, 500 ms before the erase, 500 ms after the last block.
    const double pauses = 0.5 + 0.1 + 0.5 + 0.5;
    return hostBytes * kCharSeconds + erase + pauses;
}

void BM_PacedStm32f4OneMegabyte(benchmark::State& state) {
    const auto firmware = test::PatternBytes(kSize, 3);
    double seconds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        test::SimOptions options;
        options.board = "stm32f4";
        options.pace = true;
        options.latencyMs = 16;
        test::SimBoard board(options);
        const std::string path = board.PortsDir() + "/fw.bin";
        test::WriteFileBytes(path, firmware);
        test::Recorder rec;
        Context ctx(rec);
        SelectTarget(ctx, 11);
        ctx.FlashFilePath = path;
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        if (FlashRun(ctx) != RunOutcome::Programmed) state.SkipWithError("run failed");
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.PauseTiming();
        board.Wait(30000);
        state.ResumeTiming();
    }
    state.counters["seconds"] = seconds;
    state.counters["minimum_s"] = ProtocolMinimumSeconds();
    state.counters["ratio"] = seconds / ProtocolMinimumSeconds();
}
BENCHMARK(BM_PacedStm32f4OneMegabyte)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
