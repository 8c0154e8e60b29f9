// The command-line tool as a child process whose stderr is read as it comes,
// so that a test can send a signal when a line appears.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "serial/deadline.h"

namespace qtx::test {

struct Child {
    pid_t pid = -1;
    int err = -1;
    std::string text;

    explicit Child(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("pipe");
        pid = ::fork();
        if (pid == 0) {
            ::dup2(fds[1], 2);
            ::close(fds[0]);
            std::vector<char*> argv{const_cast<char*>(QTXFLASH_CLI_PATH)};
            for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(QTXFLASH_CLI_PATH, argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        err = fds[0];
    }
    ~Child() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (err >= 0) ::close(err);
    }
    // Reads until part appears (true) or the stream ends or timeoutMs passes.
    bool WaitFor(const std::string& part, int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ScaledDeadlineMs(timeoutMs));
        while (text.find(part) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{err, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            char buf[4096];
            const ssize_t n = ::read(err, buf, sizeof buf);
            if (n <= 0) return false;
            text.append(buf, std::size_t(n));
        }
        return true;
    }
    // Exit status (128 + n after signal n), or nullopt when it is still running after timeoutMs.
    std::optional<int> Exit(int timeoutMs) {
        WaitFor("\x01never", timeoutMs);  // drains stderr until it closes
        for (int i = 0; i < ScaledDeadlineMs(timeoutMs) / 10 + 1; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            ::usleep(10000);
        }
        return std::nullopt;
    }
};

inline long MsSince(std::chrono::steady_clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t).count());
}

}  // namespace qtx::test
