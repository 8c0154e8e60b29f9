// The board's end of a pseudo-terminal pair. The host opens the slave like a
// serial port; closing the master looks like an unplugged adapter. The board
// also holds a descriptor on the slave, opened before anyone watches, so that
// it can discard what a host left unread without writing the line settings a
// returning host may be setting at that very moment.
#pragma once

#include <string>

#include "sim/line.h"

namespace qtx::sim {

class PtyPort {
public:
    // Opens the pair, unlocks the slave, puts it in raw mode and enables packet
    // mode on the master. Throws std::runtime_error.
    PtyPort();
    ~PtyPort();
    PtyPort(const PtyPort&) = delete;
    PtyPort& operator=(const PtyPort&) = delete;

    int Fd() const { return fd_; }
    // inotify descriptor reporting every open and close of the slave, in order.
    // A host's quick close and reopen clears the master's hang-up before the
    // board may look; these events are never missed.
    int NotifyFd() const { return notifyFd_; }
    // True while someone besides the board has the slave open. Slow (it looks
    // through /proc): only for when the open and close events were lost.
    bool OpenedElsewhere() const;
    const std::string& SlavePath() const { return slavePath_; }
    bool IsOpen() const { return fd_ >= 0; }

    // Raw mode through the master, with EXTPROC so that the host's settings
    // changes are signalled in the packet stream; discards whatever still waits
    // for the slave to read (the next opener must not see a previous run's bytes).
    void Arm();
    // True while the slave is still in the mode Arm sets.
    bool Armed() const;
    // Discards what waits for the slave to read, as a UART's driver does at a
    // close; the line settings stay untouched.
    void DiscardInput();
    // The slave's settings as the host left them.
    LineSettings QueryLine() const;
    void Close();

private:
    int fd_ = -1;
    int slaveFd_ = -1;    // the board's own descriptor on the slave
    int notifyFd_ = -1;
    std::string slavePath_;
};

}  // namespace qtx::sim
