// How fast the engine moves a firmware image into a board that takes bytes as
// fast as a pseudo-terminal carries them: the host's own cost per byte, the
// figure that decides whether a fast adapter is kept busy.
#include <benchmark/benchmark.h>

#include "engine/catalogue.h"
#include "engine/run.h"
#include "recorder.h"
#include "sim_board.h"

using namespace qtx;

namespace {

void BM_FlashRunC167(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const auto firmware = test::PatternBytes(size);
    for (auto _ : state) {
        state.PauseTiming();
        test::SimOptions options;
        options.eraseMs = 0;
        test::SimBoard board(options);
        const std::string path = board.PortsDir() + "/fw.bin";
        test::WriteFileBytes(path, firmware);
        test::Recorder rec;
        Context ctx(rec);
        SelectTarget(ctx, 1);
        ctx.FlashFilePath = path;
        state.ResumeTiming();
        if (FlashRun(ctx) != RunOutcome::Programmed) state.SkipWithError("run failed");
        state.PauseTiming();
        board.Wait();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
// Each run includes the fixed pauses of the protocol (2 x 500 ms control
// pauses, 300 ms after the erase); the per-byte cost is the slope between sizes.
BENCHMARK(BM_FlashRunC167)->Arg(64 << 10)->Arg(256 << 10)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
