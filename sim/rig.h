// The rig between a pty and a board: reads the host's bytes (at once or at
// line rate), applies the line model (rate mismatch, injected faults), feeds
// the board, and writes its answers back after the configured latency.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "sim/board.h"
#include "sim/faults.h"
#include "sim/line.h"
#include "sim/pty_port.h"

namespace qtx::sim {

struct RigOptions {
    std::string portName = "COM1";
    bool pace = false;
    int latencyMs = 0;
    // Paced runs: bytes the adapter holds besides the pseudo-terminal's own
    // buffer (a USB adapter's FIFO). The rig reads that far ahead of the line.
    std::size_t queueBytes = 0;
    bool once = false;
    FaultSet faults;
};

enum class RigEnd { Once, Stopped, Unplugged };

class Rig : private BoardIo {
public:
    using Factory = std::function<std::unique_ptr<Board>(const BoardConfig&, BoardIo&)>;

    Rig(const RigOptions& options, const BoardConfig& config, PtyPort& pty, const Factory& make);

    // Serves the host until --once is satisfied, stopRequested() turns true (it is
    // checked whenever wakeFd becomes readable or a wait ends), or the adapter is
    // unplugged (the master is then already closed).
    RigEnd Run(const std::function<bool()>& stopRequested, int wakeFd);

    const Board& GetBoard() const { return *board_; }
    uint64_t BytesReceived() const { return rxCount_; }

private:
    struct Out {
        Clock::time_point due;
        uint8_t byte;
        uint32_t baud;     // rate the board sent it at
    };

    // BoardIo
    void Send(const uint8_t* data, std::size_t n) override;
    void Log(const std::string& line) override;
    Clock::time_point Now() const override { return Clock::now(); }

    void WaitForInput(std::optional<Clock::time_point> wake, int wakeFd);
    void PullEvents();
    bool OpenPending() const;
    void ProcessNotify();
    void DeliverBacklog();
    void HungUp();
    void ReadInput();
    std::size_t Buffered() const;
    void TakeNext(bool startBurst);
    void TopUpQueue();
    int LineBits() const;
    void DeliverPaced(Clock::time_point now);
    Clock::time_point PacedWake() const;
    void Deliver(uint8_t raw);
    void FlushOutput(Clock::time_point now);
    void Status(uint8_t packet);
    void RefreshLine();
    void HostClosed(bool reopened);
    void DrainLeftovers();
    void Unplug();
    void NoteMismatch(const char* direction, uint32_t sender, uint32_t receiver);

    RigOptions options_;
    PtyPort& pty_;
    std::unique_ptr<Board> board_;
    LineSettings line_;
    std::optional<RigEnd> end_;

    uint64_t rxCount_ = 0;         // bytes from the host since the start
    uint64_t sessionBytes_ = 0;    // bytes since the host last opened the port
    // What the session cost on the line, for the protocol-bound minimum of a
    // run: the host's character times, the board's while the host waited for
    // them, and how often the host waited for an answer.
    std::chrono::nanoseconds hostLine_{0}, boardLine_{0};
    uint64_t boardBytes_ = 0;
    uint64_t turnarounds_ = 0;
    uint64_t rxAtLastSend_ = 0;
    int openCount_ = 0;            // descriptors open on the slave, from the open/close events
    uint64_t closes_ = 0;          // sessions ended so far

    // The host's bytes pass through two queues on their way to the board.
    // unsure_: read after the last look at the open/close events, so it is not
    // yet known whether they came before a close; the next look settles them.
    // backlog_: settled as the current session's, not yet delivered (paced
    // reception takes them one at a time).
    std::deque<uint8_t> unsure_;
    std::deque<uint8_t> backlog_;
    std::deque<uint32_t> events_;  // open/close events read but not yet handled
    // Paced reception: one byte held back until the line would have delivered it.
    bool held_ = false;
    uint8_t heldByte_ = 0;
    Clock::time_point nextDeadline_{};

    std::deque<Out> out_;
    Clock::time_point lastOutDue_{};
    bool outBlocked_ = false;
    bool silentLogged_ = false;
    std::pair<uint32_t, uint32_t> lastMismatch_[2] = {};
    // The fast-garble fault: bytes still to damage after the host's rate switch.
    static constexpr int kFastGarbleBytes = 4;
    uint32_t rateSwitches_ = 0;   // in this session, after its first byte
    int garbleAfterSwitch_ = 0;
};

}  // namespace qtx::sim
