#include "sim_board.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "serial/deadline.h"

extern char** environ;

#ifndef QTXSIM_PATH
#error "QTXSIM_PATH must name the qtxsim program"
#endif

namespace qtx::test {

namespace {

using Clock = std::chrono::steady_clock;

int DecodeStatus(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<char*> Argv(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

void KillAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    int raw = 0;
    while (::waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::string MakeTempDir(const std::string& tag) {
    const char* base = std::getenv("TMPDIR");
    std::string clean = tag;
    std::replace_if(clean.begin(), clean.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_'; }, '_');
    std::string path = std::string(base && *base ? base : "/tmp") + "/qtx-" + clean + "-XXXXXX";
    if (!::mkdtemp(path.data())) throw std::runtime_error("cannot create a directory " + path + ": " + std::strerror(errno));
    return path;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> PatternBytes(std::size_t n, uint32_t seed) {
    // xorshift32: cheap, deterministic, and without long runs of equal bytes.
    uint32_t x = seed ? seed : 0x9E3779B9u;
    std::vector<uint8_t> out(n);
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x >> 24);
    }
    return out;
}

// ---- SimBoard -----------------------------------------------------------------

SimBoard::SimBoard(const SimOptions& options) {
    root_ = MakeTempDir("sim");
    portsDir_ = options.portsDir.empty() ? root_ + "/ports" : options.portsDir;
    flashOut_ = root_ + "/flash.bin";
    outPath_ = root_ + "/board.out";
    errPath_ = root_ + "/board.err";
    port_ = options.port;
    std::transform(port_.begin(), port_.end(), port_.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    ::mkdir(portsDir_.c_str(), 0755);
    ::setenv("QTXFLASH_PORTS", portsDir_.c_str(), 1);

    std::vector<std::string> args = {QTXSIM_PATH, "--board", options.board, "--port", options.port,
                                     "--ports-dir", portsDir_, "--flash-out", flashOut_};
    if (options.once) args.push_back("--once");
    if (options.pace) args.push_back("--pace");
    if (options.latencyMs > 0) args.insert(args.end(), {"--latency-ms", std::to_string(options.latencyMs)});
    if (options.eraseMs >= 0) args.insert(args.end(), {"--erase-ms", std::to_string(options.eraseMs)});
    for (const auto& f : options.faults) args.insert(args.end(), {"--fault", f});
    args.insert(args.end(), options.extraArgs.begin(), options.extraArgs.end());

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    auto argv = Argv(args);
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        std::filesystem::remove_all(root_);
        throw std::runtime_error(std::string("cannot start " QTXSIM_PATH ": ") + std::strerror(rc));
    }

    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
        if (ReadText(outPath_).find('\n') != std::string::npos) return;   // the ready line
        int raw = 0;
        std::string why;
        if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
            status_ = DecodeStatus(raw);
            pid_ = -1;
            why = "qtxsim ended with status " + std::to_string(status_) + " before it was ready";
        } else if (Clock::now() > deadline) {
            KillAndReap(pid_);
            pid_ = -1;
            why = "qtxsim was not ready within 10 s";
        }
        if (!why.empty()) {
            const std::string log = Log();
            std::filesystem::remove_all(root_);
            throw std::runtime_error(why + ": " + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

SimBoard::~SimBoard() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        Wait(5000);
    }
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

const std::string& SimBoard::PortsDir() const { return portsDir_; }
const std::string& SimBoard::FlashOutPath() const { return flashOut_; }

std::string SimBoard::DevicePath() const {
    char buf[4096];
    const ssize_t n = ::readlink((portsDir_ + "/" + port_).c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
}

int SimBoard::Wait(int timeoutMs) {
    if (pid_ <= 0) return status_;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ScaledDeadlineMs(timeoutMs));
    for (;;) {
        int raw = 0;
        const pid_t r = ::waitpid(pid_, &raw, WNOHANG);
        if (r == pid_) {
            status_ = DecodeStatus(raw);
            pid_ = -1;
            return status_;
        }
        if (Clock::now() > deadline) {
            KillAndReap(pid_);
            pid_ = -1;
            status_ = -1;
            return status_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void SimBoard::Stop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    Wait();
}

std::vector<uint8_t> SimBoard::Flash() const { return ReadFileBytes(flashOut_); }
std::string SimBoard::Log() const { return ReadText(errPath_); }

// ---- RunProgram -----------------------------------------------------------------

ProcessResult RunProgram(const std::string& path, const std::vector<std::string>& args, int timeoutMs,
                         const std::string& stdinText) {
    std::signal(SIGPIPE, SIG_IGN);   // a child that exits before reading its input must not kill us
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {path};
    all.insert(all.end(), args.begin(), args.end());
    auto argv = Argv(all);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        ::close(in[1]);
        ::close(out[0]);
        ::close(err[0]);
        throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
    }
    ::fcntl(in[1], F_SETFL, O_NONBLOCK);

    ProcessResult result{-1, {}, {}};
    std::size_t written = 0;
    int inFd = in[1];
    if (stdinText.empty()) {
        ::close(inFd);
        inFd = -1;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ScaledDeadlineMs(timeoutMs));
    std::optional<Clock::time_point> exitedAt;
    bool outOpen = true, errOpen = true, timedOut = false;
    while (outOpen || errOpen || !exitedAt) {
        if (!exitedAt) {
            int raw = 0;
            if (::waitpid(pid, &raw, WNOHANG) == pid) {
                result.status = DecodeStatus(raw);
                exitedAt = Clock::now();
            }
        }
        const auto now = Clock::now();
        // A grandchild may hold the pipes open: give up reading a second after the exit.
        if (exitedAt && now - *exitedAt > std::chrono::seconds(1)) break;
        if (!exitedAt && now > deadline) {
            timedOut = true;
            break;
        }
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0},
                         {inFd, POLLOUT, 0}};
        ::poll(fds, 3, 10);
        for (int i = 0; i < 2; ++i) {
            if (!fds[i].revents) continue;
            char buf[4096];
            const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0)
                (i == 0 ? result.out : result.err).append(buf, std::size_t(n));
            else if (n == 0 || errno != EINTR)
                (i == 0 ? outOpen : errOpen) = false;
        }
        if (inFd >= 0 && fds[2].revents) {
            const ssize_t n = ::write(inFd, stdinText.data() + written, stdinText.size() - written);
            if (n > 0) written += std::size_t(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == stdinText.size()) {
                ::close(inFd);
                inFd = -1;
            }
        }
    }
    if (inFd >= 0) ::close(inFd);
    ::close(out[0]);
    ::close(err[0]);
    if (timedOut) {
        KillAndReap(pid);
        result.status = -1;
    }
    return result;
}

}  // namespace qtx::test
