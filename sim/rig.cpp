#include "sim/rig.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qtx::sim {

namespace {

constexpr uint32_t kFinePacingLimit = 115200;            // above: 1 ms ticks

std::string Hex(unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

timespec ToTimespec(Clock::time_point t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

timespec Relative(std::optional<Clock::time_point> wake, Clock::time_point now) {
    const auto ns = std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::nanoseconds>(*wake - now).count());
    return timespec{time_t(ns / 1000000000), long(ns % 1000000000)};
}

void DrainPipe(int fd) {
    char buf[64];
    while (::read(fd, buf, sizeof buf) > 0) {
    }
}

BoardConfig Paced(BoardConfig config, bool pace) {
    config.paced = pace;
    return config;
}

}  // namespace

Rig::Rig(const RigOptions& options, const BoardConfig& config, PtyPort& pty, const Factory& make)
    : options_(options), pty_(pty), board_(make(Paced(config, options.pace), *this)) {}

void Rig::Log(const std::string& line) {
    std::fprintf(stderr, "qtxsim: %s\n", line.c_str());
    std::fflush(stderr);
}

RigEnd Rig::Run(const std::function<bool()>& stopRequested, int wakeFd) {
    line_ = pty_.QueryLine();
    if (options_.faults.unplug && *options_.faults.unplug == 0) Unplug();
    while (!end_) {
        if (stopRequested()) {
            Log("stopped after " + std::to_string(rxCount_) + " bytes received");
            return RigEnd::Stopped;
        }
        const auto now = Clock::now();
        FlushOutput(now);
        if (const auto t = board_->NextTimer(); t && *t <= now) {
            board_->OnTimer();
            // A running core is due at once, slice after slice: the host's
            // close must still be seen between slices, without waiting.
            pollfd notify{pty_.NotifyFd(), POLLIN, 0};
            if (::poll(&notify, 1, 0) > 0) ProcessNotify();
            continue;
        }
        if (options_.pace && held_ && now >= nextDeadline_) {
            DeliverPaced(now);
            continue;
        }

        std::optional<Clock::time_point> wake;
        auto consider = [&wake](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake)) wake = t;
        };
        if (!out_.empty() && !outBlocked_) consider(out_.front().due);
        consider(board_->NextTimer());
        if (options_.pace && held_) {
            // The next byte is already in hand: sleep to the earliest deadline
            // (a signal ends the sleep early).
            consider(PacedWake());
            const timespec ts = ToTimespec(*wake);
            ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
            continue;
        }
        WaitForInput(wake, wakeFd);
    }
    return *end_;
}

void Rig::WaitForInput(std::optional<Clock::time_point> wake, int wakeFd) {
    // The master is watched only while someone has the slave open: what a host
    // left behind is drained when its close is handled.
    const bool hostOpen = openCount_ > 0;
    pollfd fds[3] = {{pty_.NotifyFd(), POLLIN, 0},
                     {wakeFd, POLLIN, 0},
                     {hostOpen ? pty_.Fd() : -1, short(POLLIN | (outBlocked_ ? POLLOUT : 0)), 0}};
    timespec ts{};
    if (wake) ts = Relative(wake, Clock::now());
    if (::ppoll(fds, 3, wake ? &ts : nullptr, nullptr) <= 0) return;
    if (fds[1].revents) DrainPipe(wakeFd);
    // Opens and closes first: bytes read after a close belong to the next session.
    if (fds[0].revents) ProcessNotify();
    if (!options_.pace) DeliverBacklog();
    if (end_ || openCount_ == 0 || !hostOpen) return;
    if (fds[2].revents & POLLOUT) outBlocked_ = false;
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) ReadInput();
}

void Rig::PullEvents() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(pty_.NotifyFd(), buf, sizeof buf);
        if (n <= 0) return;
        for (ssize_t off = 0; off < n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buf + off);
            events_.push_back(e->mask);
            off += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
}

bool Rig::OpenPending() const {
    return std::any_of(events_.begin(), events_.end(), [](uint32_t m) { return (m & IN_OPEN) != 0; });
}

void Rig::ProcessNotify() {
    PullEvents();
    while (!events_.empty() && !end_) {
        const uint32_t mask = events_.front();
        events_.pop_front();
        if (mask & IN_Q_OVERFLOW) {
            // Lost count: look for whoever has the port open.
            const bool open = pty_.OpenedElsewhere();
            if (openCount_ > 0 && !open) {
                openCount_ = 0;
                HostClosed(false);
            } else if (open) {
                openCount_ = std::max(openCount_, 1);
            }
        } else if (mask & IN_OPEN) {
            ++openCount_;
        } else if ((mask & IN_CLOSE) && openCount_ > 0 && --openCount_ == 0) {
            PullEvents();   // an open is reported before the open returns
            HostClosed(OpenPending());
        }
    }
    // What is still unsure came after every close seen: the current session's.
    if (openCount_ > 0) backlog_.insert(backlog_.end(), unsure_.begin(), unsure_.end());
    unsure_.clear();
}

void Rig::DeliverBacklog() {
    while (!backlog_.empty() && !end_ && openCount_ > 0) {
        const uint8_t b = backlog_.front();
        backlog_.pop_front();
        Deliver(b);
    }
}

// A read from the master failed. The board's own descriptor keeps the slave
// from hanging up, so the count of opens is checked against who holds the port.
void Rig::HungUp() {
    ProcessNotify();
    if (!options_.pace) DeliverBacklog();
    if (end_ || openCount_ == 0 || pty_.OpenedElsewhere()) return;
    Log("missed a close of " + options_.portName + "; treating the port as closed");
    openCount_ = 0;
    HostClosed(false);
}

// Bytes already waiting in the master. Counted before a look at the events
// that shows no close, they surely came before any close that follows.
std::size_t Rig::Buffered() const {
    int n = 0;
    return ::ioctl(pty_.Fd(), TIOCINQ, &n) == 0 && n > 0 ? std::size_t(n) : 0;
}

void Rig::ReadInput() {
    if (options_.pace) {
        if (!held_) TakeNext(true);
        return;
    }
    std::size_t sure = Buffered();
    const uint64_t closes = closes_;
    ProcessNotify();
    DeliverBacklog();
    if (end_ || openCount_ == 0) return;
    if (closes_ != closes) sure = 0;
    uint8_t buf[4096 + 1];
    const ssize_t n = ::read(pty_.Fd(), buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        HungUp();
        return;
    }
    if (buf[0] != TIOCPKT_DATA) {
        Status(buf[0]);
        return;
    }
    const std::size_t count = std::size_t(n - 1);
    const std::size_t certain = std::min(count, sure);
    for (std::size_t i = 0; i < certain && !end_; ++i) Deliver(buf[1 + i]);
    if (certain == count || end_) return;
    unsure_.insert(unsure_.end(), buf + 1 + certain, buf + n);
    ProcessNotify();
    DeliverBacklog();
}

int Rig::LineBits() const {
    const int board = board_->FrameBits();
    return board > 0 ? board : line_.BitsPerChar();
}

// Reads ahead of the line into the adapter's queue; the next look at the
// open/close events settles whether the bytes are this session's.
void Rig::TopUpQueue() {
    const std::size_t want = options_.queueBytes;
    if (want == 0 || openCount_ == 0 || end_) return;
    bool read = false;
    while (backlog_.size() + unsure_.size() < want) {
        uint8_t buf[4096 + 1];
        const std::size_t room = std::min<std::size_t>(want - backlog_.size() - unsure_.size(), 4096);
        const ssize_t n = ::read(pty_.Fd(), buf, room + 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;   // nothing more now; a hang-up shows at the next look
        if (buf[0] != TIOCPKT_DATA) {
            Status(buf[0]);
            continue;
        }
        unsure_.insert(unsure_.end(), buf + 1, buf + n);
        read = true;
    }
    if (read) ProcessNotify();
}

// Takes the next byte and holds it until the line would have delivered it.
// startBurst: the line was idle, so the byte starts now.
void Rig::TakeNext(bool startBurst) {
    TopUpQueue();
    if (end_ || openCount_ == 0) {
        held_ = false;
        return;
    }
    for (;;) {
        uint8_t byte;
        if (!backlog_.empty()) {
            byte = backlog_.front();
            backlog_.pop_front();
        } else {
            // A close may have come while the line was busy; it must be seen
            // before the next byte, which may be the next session's.
            bool sure = Buffered() > 0;
            const uint64_t closes = closes_;
            ProcessNotify();
            if (end_ || openCount_ == 0) {
                held_ = false;
                return;
            }
            if (closes_ != closes) sure = false;
            if (!backlog_.empty()) continue;
            uint8_t buf[2];
            const ssize_t n = ::read(pty_.Fd(), buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == EAGAIN) {
                held_ = false;            // the line has gone idle
                return;
            }
            if (n <= 0) {
                held_ = false;
                HungUp();
                return;
            }
            if (buf[0] != TIOCPKT_DATA) {
                Status(buf[0]);
                continue;
            }
            if (!sure) {
                unsure_.push_back(buf[1]);
                continue;   // the next look at the events settles it
            }
            byte = buf[1];
        }
        if (openCount_ == 0 || end_) {
            held_ = false;
            return;
        }
        const auto charTime = CharDuration(line_.txBaud, LineBits());
        nextDeadline_ = (startBurst ? Clock::now() : nextDeadline_) + charTime;
        held_ = true;
        heldByte_ = byte;
        return;
    }
}

void Rig::DeliverPaced(Clock::time_point now) {
    while (held_ && nextDeadline_ <= now && !end_) {
        held_ = false;
        Deliver(heldByte_);
        if (end_ || openCount_ == 0) return;
        TakeNext(false);
    }
}

Clock::time_point Rig::PacedWake() const {
    if (line_.txBaud <= kFinePacingLimit) return nextDeadline_;
    // Fast lines: wake on whole milliseconds and take every byte due by then.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(nextDeadline_.time_since_epoch());
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(ms));
}

void Rig::Deliver(uint8_t raw) {
    const uint64_t index = rxCount_++;
    ++sessionBytes_;
    hostLine_ += CharDuration(line_.txBaud, LineBits());
    if (!line_.extproc) RefreshLine();   // the host cleared EXTPROC: changes are no longer signalled
    const FaultSet& f = options_.faults;
    if (f.drop.count(index)) {
        Log("drop fault: byte " + std::to_string(index) + " (" + Hex(raw) + ") lost");
    } else {
        uint8_t b = raw;
        if (f.corrupt.count(index)) {
            b ^= 0x01;
            Log("corrupt fault: byte " + std::to_string(index) + " " + Hex(raw) + " arrives as " + Hex(b));
        }
        if (garbleAfterSwitch_ > 0) {
            --garbleAfterSwitch_;
            b ^= 0x10;
            Log("fast-garble fault: byte " + std::to_string(index) + " " + Hex(raw) + " arrives as " + Hex(b));
        }
        const uint32_t listen = board_->ListenBaud();
        if (listen && !board_->ChecksHostRate() && !RatesMatch(listen, line_.txBaud)) {
            NoteMismatch("host sends", line_.txBaud, listen);
            b = Garble(b, line_.txBaud, listen);
        }
        board_->Receive(b, line_.txBaud);
    }
    if (f.unplug && rxCount_ >= *f.unplug) Unplug();
}

void Rig::Send(const uint8_t* data, std::size_t n) {
    const auto now = Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (options_.faults.silent) {
            if (!silentLogged_) Log("silent fault: answer " + Hex(data[i]) + " and all later answers suppressed");
            silentLogged_ = true;
            continue;
        }
        if (openCount_ == 0 || end_) continue;   // nobody listens
        uint8_t b = data[i];
        auto& badAck = options_.faults.badAck;
        if (!badAck.empty() && *badAck.begin() <= rxCount_) {
            while (!badAck.empty() && *badAck.begin() <= rxCount_) badAck.erase(badAck.begin());
            Log("bad-ack fault: answer " + Hex(b) + " sent as " + Hex(b ^ 0x01u));
            b ^= 0x01;
        }
        const uint32_t baud = board_->ListenBaud();
        // While the host has nothing more on its way it waits for this byte: an
        // answer to bytes received since the last one turns the line around,
        // and the byte's line time adds to the run's. Echoes and answers sent
        // while host data still arrive share the line's time with those data.
        const bool hostWaits = !held_ && backlog_.empty() && unsure_.empty() && Buffered() == 0;
        if (hostWaits && rxCount_ != rxAtLastSend_) ++turnarounds_;
        rxAtLastSend_ = rxCount_;
        ++boardBytes_;
        if (hostWaits) boardLine_ += CharDuration(baud ? baud : line_.rxBaud, LineBits());
        auto due = std::max(now + std::chrono::milliseconds(options_.latencyMs), lastOutDue_);
        if (options_.pace) due += CharDuration(baud ? baud : line_.rxBaud, LineBits());
        lastOutDue_ = due;
        out_.push_back({due, b, baud});
    }
}

void Rig::FlushOutput(Clock::time_point now) {
    while (!out_.empty() && !outBlocked_ && out_.front().due <= now) {
        if (!line_.extproc) RefreshLine();
        const Out& o = out_.front();
        uint8_t b = o.byte;
        if (o.baud && !RatesMatch(o.baud, line_.rxBaud)) {
            NoteMismatch("board sends", o.baud, line_.rxBaud);
            b = Garble(b, o.baud, line_.rxBaud);
        }
        const ssize_t n = ::write(pty_.Fd(), &b, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            outBlocked_ = true;   // the host does not read; wait for room
            return;
        }
        out_.pop_front();          // written, or lost because the port was closed meanwhile
    }
}

void Rig::Status(uint8_t packet) {
    if (packet & TIOCPKT_IOCTL) RefreshLine();
}

void Rig::RefreshLine() {
    const LineSettings now = pty_.QueryLine();
    // A change of rate in a session that has sent bytes is a switch: the
    // fault damages what comes first at the rate of its chosen one (the first
    // by default; a target whose plain runs switch once counts that too).
    if (options_.faults.fastGarble && now.txBaud != line_.txBaud) {
        if (sessionBytes_ > 0) ++rateSwitches_;
        // Only bytes at the new rate: the host's way back is not damaged.
        garbleAfterSwitch_ = sessionBytes_ > 0 && rateSwitches_ == options_.faults.fastGarbleSwitch ? kFastGarbleBytes : 0;
    }
    if (!now.SameLine(line_)) Log("host line: " + now.Describe());
    if (line_.extproc && !now.extproc) Log("host cleared EXTPROC: line settings are read with every byte");
    line_ = now;
}

void Rig::NoteMismatch(const char* direction, uint32_t sender, uint32_t receiver) {
    auto& last = lastMismatch_[direction[0] == 'h' ? 0 : 1];
    if (last == std::make_pair(sender, receiver)) return;
    last = {sender, receiver};
    Log(std::string(direction) + " at " + std::to_string(sender) + " baud, the other side uses " +
        std::to_string(receiver) + ": bytes arrive garbled");
}

// The last descriptor on the slave was closed. reopened: someone has opened it
// again already, so what waits in the master may be the next session's.
void Rig::HostClosed(bool reopened) {
    // Bytes taken and settled before the close was seen are the old session's.
    if (held_) {
        held_ = false;
        Deliver(heldByte_);
    }
    while (!backlog_.empty() && !end_) {
        const uint8_t b = backlog_.front();
        backlog_.pop_front();
        Deliver(b);
    }
    if (!reopened) DrainLeftovers();
    if (end_) return;
    // The pty keeps no mark of the close among the bytes: whatever still waits
    // goes to the new session, and its settings are read as they are now.
    if (const std::size_t waiting = reopened ? Buffered() : 0)
        Log("board behind the host: " + std::to_string(waiting) + " bytes waiting at a close and reopen count for the new session");
    ++closes_;
    {
        using std::chrono::duration_cast;
        using std::chrono::microseconds;
        char line[200];
        std::snprintf(line, sizeof line,
                      "line: host sent %llu bytes in %.3f s of line time, board %llu bytes (%.3f s awaited), %llu turnarounds",
                      static_cast<unsigned long long>(sessionBytes_), duration_cast<microseconds>(hostLine_).count() / 1e6,
                      static_cast<unsigned long long>(boardBytes_), duration_cast<microseconds>(boardLine_).count() / 1e6,
                      static_cast<unsigned long long>(turnarounds_));
        Log(line);
        hostLine_ = boardLine_ = std::chrono::nanoseconds{0};
        boardBytes_ = turnarounds_ = 0;
    }
    const std::string what = "host closed " + options_.portName + " after " + std::to_string(sessionBytes_) + " bytes";
    if (options_.once && sessionBytes_ > 0) {
        Log(what);
        end_ = RigEnd::Once;
        return;
    }
    out_.clear();
    outBlocked_ = false;
    lastMismatch_[0] = lastMismatch_[1] = {};
    board_->Reset();
    // A fresh open must find no stale answers: a UART's driver drops them at
    // the close. The host may be back already, setting its line; the discard
    // leaves the settings alone, so the board never undoes them.
    pty_.DiscardInput();
    // A host that left the line cooked gets raw mode back, unless a host is
    // known to be back: written through the master, the settings could undo a
    // returning host's own, or make its first write fail with EAGAIN (the
    // kernel holds the write lock while it flushes). A host that restores what
    // it found never needs this.
    PullEvents();
    if (!reopened && !OpenPending() && !pty_.Armed()) pty_.Arm();
    sessionBytes_ = 0;
    rateSwitches_ = 0;
    garbleAfterSwitch_ = 0;
    // Logged only now: whoever waits for this line may open the port at once.
    Log(what + "; board reset");
}

// Bytes the host sent before it closed still reach the board, at once. Should
// the host come back meanwhile, what cannot be placed for sure is left to the
// new session.
void Rig::DrainLeftovers() {
    while (!unsure_.empty() && !end_) {   // read before the close was seen, with no reopen yet
        const uint8_t b = unsure_.front();
        unsure_.pop_front();
        Deliver(b);
    }
    uint8_t buf[4096 + 1];
    while (!end_) {
        const std::size_t sure = std::min<std::size_t>(Buffered(), 4096);
        PullEvents();
        if (OpenPending()) return;
        const ssize_t n = ::read(pty_.Fd(), buf, sure ? sure + 1 : sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;   // all of it read
        if (buf[0] != TIOCPKT_DATA) {
            Status(buf[0]);
            continue;
        }
        if (!sure) {
            PullEvents();
            if (OpenPending()) {
                unsure_.insert(unsure_.end(), buf + 1, buf + n);
                return;
            }
        }
        for (ssize_t i = 1; i < n && !end_; ++i) Deliver(buf[i]);
    }
}

void Rig::Unplug() {
    Log("unplug fault: adapter pulled after " + std::to_string(rxCount_) + " bytes");
    out_.clear();
    pty_.Close();
    end_ = RigEnd::Unplugged;
}

}  // namespace qtx::sim
