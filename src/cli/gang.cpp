#include "cli/gang.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "cli/cli_display.h"
#include "cli/run_json.h"
#include "engine/catalogue.h"
#include "engine/context.h"
#include "engine/target_table.h"
#include "engine/verdict.h"
#include "engine/x_flash.h"
#include "serial/wire_trace.h"

namespace qtx {

int ExitStatusFor(RunOutcome outcome, bool interrupted, int interruptStatus) {
    if (interrupted && outcome != RunOutcome::Programmed) return interruptStatus;
    switch (outcome) {
    case RunOutcome::Programmed: return 0;
    case RunOutcome::BadInput: return 1;
    case RunOutcome::PortError: return 2;
    case RunOutcome::BootstrapFailed:
    case RunOutcome::NoBoot: return 3;
    case RunOutcome::EraseFailed: return 4;
    case RunOutcome::ProgramFailed: return 5;
    case RunOutcome::Aborted: return 130;
    }
    return 5;
}

int WorseStatus(int a, int b) {
    // An interrupted run outranks every failure: the operator stopped the bench.
    auto rank = [](int s) { return s >= 128 ? 100 + s : s; };
    return rank(a) >= rank(b) ? a : b;
}

namespace {

// One port's face: what the progress line and the summary need, under the
// gang's lock. Nothing is printed from the run's own thread.
class GangDisplay : public Display {
public:
    explicit GangDisplay(std::mutex& lock) : lock_(lock) {}
    void Attach(Context* ctx) { ctx_ = ctx; }

    struct State {
        std::string phase = "waiting";
        int percent = 0;
        std::string status;
        bool changed = false;  // a phase began since the last plain progress line
    };
    // The phases that ended unseen since the last look, each as it ended, then
    // the state now. A short phase (an erase of a small image) still gets its line.
    std::vector<State> Take() {
        const std::lock_guard<std::mutex> g(lock_);
        std::vector<State> states = std::move(ended_);
        ended_.clear();
        states.push_back(state_);
        state_.changed = false;
        return states;
    }

    void SetPanelCaption(Panel panel, const std::string& caption) override {
        if (caption == PanelIdleCaption(panel)) return;
        Set([&](State& s) { s.phase = std::string(PanelIdleCaption(panel)) + ": " + caption; });
    }
    void SetPanelColor(Panel panel, Color color) override {
        if (color == Color::Lime) Set([&](State& s) { s.phase = PanelIdleCaption(panel); });
    }
    void SetStatusText(const std::string& text) override {
        const std::string line = CliDisplay::OneLine(text);
        if (!line.empty()) Set([&](State& s) { s.status = line; }, false);
    }
    void SetProgress(int percent) override {
        const std::lock_guard<std::mutex> g(lock_);
        state_.percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    }
    void SetProgressTextVisible(bool) override {}
    void SetCancelEnabled(bool) override {}
    void SetCancelDefault(bool) override {}
    void SetFlashEnabled(bool) override {}
    void SetFlashDefault(bool) override {}
    void SetTimerRunning(bool) override {}
    void ShowPortRecord(const PortRecord&) override {}
    void Pump() override {
        // Every port reads the one process-wide flag the signal handler sets.
        if (CliDisplay::Interrupted() && ctx_ && ctx_->ActiveFlasher && !ctx_->ActiveFlasher->Abort)
            ctx_->ActiveFlasher->Abort = 1;
    }
    void MessageBox(const std::string& text, const std::string&, MessageIcon) override {
        SetStatusText(text);
    }

private:
    template <class F>
    void Set(F&& change, bool phaseChange = true) {
        const std::lock_guard<std::mutex> g(lock_);
        if (phaseChange && state_.changed) {
            // Without its status: the engine may already have said what comes next.
            ended_.push_back(state_);
            ended_.back().status.clear();
        }
        change(state_);
        if (phaseChange) {
            state_.changed = true;
            state_.percent = 0;  // the gauge belongs to the phase before
        }
    }

    std::mutex& lock_;
    Context* ctx_ = nullptr;
    State state_;
    std::vector<State> ended_;
};

struct Job {
    std::string port;
    std::unique_ptr<GangDisplay> display;
    std::unique_ptr<Context> ctx;
    std::thread thread;
    std::atomic<bool> done{false};
    RunOutcome outcome = RunOutcome::ProgramFailed;
    std::string crash;
    int64_t startMs = 0, startUnixMs = 0, endMs = 0;
    bool reported = false;
};

std::string Rate(uint64_t bytes, int64_t ms) {
    char text[32];
    if (ms <= 0 || bytes == 0) return "";
    std::snprintf(text, sizeof text, "%.1f KB/s", static_cast<double>(bytes) / static_cast<double>(ms));
    return text;
}

}  // namespace

int RunGang(const GangPlan& plan) {
    std::mutex lock;
    std::vector<std::unique_ptr<Job>> jobs;
    for (const std::string& port : plan.ports) {
        auto job = std::make_unique<Job>();
        job->port = port;
        job->display = std::make_unique<GangDisplay>(lock);
        job->ctx = std::make_unique<Context>(*job->display);
        job->display->Attach(job->ctx.get());
        Context& ctx = *job->ctx;
        ctx.setup = plan.setup;
        ctx.setup.Ports[plan.row->portRecord].SetName(port);
        ctx.FlashFilePath = plan.file;
        ctx.ReadBack = plan.readBack;
        ctx.FastBaud = plan.fastBaud;
        if (!plan.tracePath.empty()) {
            ctx.Trace = std::make_shared<WireTrace>(plan.tracePath + "." + port);
            if (!ctx.Trace->Ok()) {
                std::fprintf(stderr, "qtxflash-cli: %s\n", CliDisplay::Printable(ctx.Trace->Problem()).c_str());
                return 1;
            }
        }
        if (SelectTarget(ctx, plan.row->deviceCode) != 0) {
            std::fprintf(stderr, "qtxflash-cli: cannot select the target for %s\n", port.c_str());
            return 1;
        }
        jobs.push_back(std::move(job));
    }

    const bool tty = isatty(STDERR_FILENO) != 0;
    if (!plan.quiet) {
        std::fprintf(stderr, "qtxflash-cli: %s on %zu ports at once, firmware %s\n", plan.row->itemText, jobs.size(),
                     CliDisplay::Printable(plan.file).c_str());
        if (!plan.imageLine.empty()) std::fprintf(stderr, "qtxflash-cli: %s\n", plan.imageLine.c_str());
    }

    std::condition_variable ended;
    for (auto& j : jobs) {
        Job* job = j.get();
        job->startMs = NowMs();
        job->startUnixMs = UnixMs();
        job->thread = std::thread([job, &ended, &lock] {
            try {
                job->outcome = FlashRun(*job->ctx);
            } catch (const std::exception& e) {
                job->crash = e.what();
            } catch (...) {
                job->crash = "unknown exception";
            }
            if (!job->crash.empty()) {
                // One port's fault ends that port only; its port is let go of all the same.
                try {
                    DestroyActivePort(*job->ctx);
                } catch (...) {
                }
                job->outcome = RunOutcome::ProgramFailed;
            }
            if (job->ctx->Trace) job->ctx->Trace->Flush();
            job->endMs = NowMs();
            {
                const std::lock_guard<std::mutex> g(lock);
                job->done = true;
            }
            ended.notify_all();
        });
    }

    auto line = [&](Job& job, const GangDisplay::State& s) {
        const int64_t end = job.done ? job.endMs : NowMs();
        char text[512];
        std::snprintf(text, sizeof text, "%-7s %-16s %3d%% %11s  %s", job.port.c_str(), s.phase.c_str(), s.percent,
                      Rate(job.ctx->BytesSent.load(), end - job.startMs).c_str(),
                      CliDisplay::Printable(s.status).c_str());
        std::string out = text;
        while (!out.empty() && out.back() == ' ') out.pop_back();
        // A terminal line must never wrap, or the redraw would climb too few lines.
        if (tty && out.size() > 110) out.resize(110);
        return out;
    };
    int shownLines = 0;
    auto render = [&] {
        if (plan.quiet) return;
        if (tty) {
            if (shownLines) std::fprintf(stderr, "\033[%dA", shownLines);
            for (auto& j : jobs) std::fprintf(stderr, "\r\033[K%s\n", line(*j, j->display->Take().back()).c_str());
            shownLines = static_cast<int>(jobs.size());
        } else {
            // Plain lines, only where a port's phase changed.
            for (auto& j : jobs)
                for (const GangDisplay::State& s : j->display->Take())
                    if (s.changed) std::fprintf(stderr, "%s\n", line(*j, s).c_str());
        }
        std::fflush(stderr);
    };
    auto report = [&](Job& job) {
        job.reported = true;
        if (!plan.json) return;
        RunJson r = RunRecordOf(*job.ctx, plan.row->itemText, job.port, job.outcome, job.startUnixMs,
                                job.endMs - job.startMs);
        if (!job.crash.empty()) r.step = "unexpected end: " + job.crash;
        std::printf("%s\n", ToJson(r).c_str());
        std::fflush(stdout);
    };

    for (;;) {
        bool all = true;
        {
            std::unique_lock<std::mutex> g(lock);
            ended.wait_for(g, std::chrono::milliseconds(tty ? 200 : 500));
        }
        for (auto& j : jobs) {
            if (!j->done) all = false;
            else if (!j->reported) report(*j);
        }
        render();
        if (all) break;
    }
    for (auto& j : jobs) j->thread.join();

    int status = 0;
    std::fprintf(stderr, "\n%-7s %-10s %-34s %9s  %s\n", "PORT", "RESULT", "FAILED STEP", "SECONDS", "CRC-32");
    for (auto& j : jobs) {
        const bool interrupted = CliDisplay::Interrupted();
        const RunVerdict v = VerdictOf(*j->ctx, j->outcome);
        const std::string word = j->crash.empty() ? v.word : "FAILED";
        const std::string step = j->crash.empty() ? (v.step.empty() ? "-" : v.step) : "unexpected end: " + j->crash;
        std::fprintf(stderr, "%-7s %-10s %-34s %9.1f  %08X%s\n", j->port.c_str(), word.c_str(),
                     CliDisplay::Printable(step).c_str(), static_cast<double>(j->endMs - j->startMs) / 1000.0,
                     j->ctx->RunImageCrc, v.partial ? "  (partial image on the board)" : "");
        status = WorseStatus(status, ExitStatusFor(j->outcome, interrupted, CliDisplay::InterruptStatus()));
    }
    // What to do next, per port that did not end well.
    for (auto& j : jobs) {
        const RunVerdict v = VerdictOf(*j->ctx, j->outcome);
        if (!v.hint.empty())
            std::fprintf(stderr, "qtxflash-cli: %s: hint: %s\n", j->port.c_str(), CliDisplay::Printable(v.hint).c_str());
    }
    return status;
}

}  // namespace qtx
