#include "filter/host/HostKeeper.h"

#include "platform/linux/FileLock.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zorvane {

// Tells the keeper when its child has ended. A pidfd turns the child's end into a readable
// descriptor for the io_context; where the kernel has none, the child is polled instead.
class HostKeeper::ExitWatch {
public:
    ExitWatch(asio::io_context& io, pid_t pid, std::function<void(int)> exited)
        : pid_(pid), exited_(std::move(exited)), descriptor_(io), poll_(io) {
#ifdef SYS_pidfd_open
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) {
            descriptor_.assign(pidfd);
            descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                                   [this](const asio::error_code& error) {
                                       if (!error) {
                                           reap(0);
                                       }
                                   });
            return;
        }
#endif
        pollLater();
    }

    ~ExitWatch() {
        asio::error_code ignored;
        descriptor_.close(ignored);
        poll_.cancel();
    }

private:
    static constexpr auto pollInterval = std::chrono::milliseconds(50);

    void pollLater() {
        poll_.expires_after(pollInterval);
        poll_.async_wait([this](const asio::error_code& error) {
            if (!error && !reap(WNOHANG)) {
                pollLater();
            }
        });
    }

    // Collects the child's status; false when it has not ended yet.
    bool reap(int options) {
        int status = 0;
        pid_t result = 0;
        do {
            result = ::waitpid(pid_, &status, options);
        } while (result < 0 && errno == EINTR);
        if (result == 0) {
            return false;
        }
        // Someone else reaped it (result < 0): it has ended all the same, cause unknown.
        exited_(result == pid_ ? status : -1);
        return true;
    }

    const pid_t pid_;
    std::function<void(int)> exited_;
    asio::posix::stream_descriptor descriptor_;
    asio::steady_timer poll_;
};

HostKeeper::HostKeeper(asio::io_context& io, Options options)
    : io_(io), options_(std::move(options)), restart_(io), grace_(io),
      nextDelay_(options_.restartDelay) {}

HostKeeper::~HostKeeper() {
    if (child_ > 0) {
        // Whoever drops a running keeper takes its host with it.
        ::kill(child_, SIGKILL);
        ::waitpid(child_, nullptr, 0);
    }
}

std::optional<std::string> HostKeeper::start(std::function<void()> ended) {
    ended_ = std::move(ended);
    takeOver();
    return spawn();
}

void HostKeeper::takeOver() {
    if (options_.hostLock.empty() || !FileLock::isHeld(options_.hostLock)) {
        return;
    }
    pid_t holder = 0;
    std::ifstream(options_.hostLock) >> holder;
    if (holder <= 1 || holder == ::getpid()) {
        return;
    }
    // The number could be stale and name some other program by now: only a host of our own
    // executable is stopped.
    std::error_code error;
    const auto running = std::filesystem::read_symlink(
        std::filesystem::path("/proc") / std::to_string(holder) / "exe", error);
    const auto ours = std::filesystem::weakly_canonical(options_.executable, error);
    if (running.empty() || running != ours) {
        return;
    }
    std::fprintf(stderr,
                 "ZorvaneFilter: a filter host (process %d) was left running without its keeper; "
                 "stopping it\n",
                 static_cast<int>(holder));
    ::kill(holder, SIGTERM);
    // Before the io_context runs, so waiting here holds up nothing else.
    const auto poll = std::chrono::milliseconds(20);
    const auto deadline = std::chrono::steady_clock::now() + options_.stopGrace;
    while (FileLock::isHeld(options_.hostLock) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(poll);
    }
    if (FileLock::isHeld(options_.hostLock)) {
        ::kill(holder, SIGKILL);
        const auto killDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (FileLock::isHeld(options_.hostLock) &&
               std::chrono::steady_clock::now() < killDeadline) {
            std::this_thread::sleep_for(poll);
        }
    }
}

void HostKeeper::stop() {
    if (stopping_ || finished_) {
        return;
    }
    stopping_ = true;
    restart_.cancel();
    if (child_ <= 0) {
        finish();
        return;
    }
    ::kill(child_, SIGTERM);
    grace_.expires_after(options_.stopGrace);
    grace_.async_wait([this](const asio::error_code& error) {
        if (!error && child_ > 0) {
            std::fprintf(stderr, "ZorvaneFilter: the filter host did not stop in time\n");
            ::kill(child_, SIGKILL);
        }
    });
}

std::optional<std::string> HostKeeper::spawn() {
    std::vector<char*> argv{const_cast<char*>(options_.executable.c_str())};
    for (const auto& argument : options_.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    // The child reports a failed exec through this pipe; a successful one closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return "cannot start the filter host " + options_.executable + ": " + std::strerror(errno);
    }
    const pid_t keeper = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return "cannot start the filter host " + options_.executable + ": " + std::strerror(error);
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        ::close(report[0]);
        int error = 0;
        if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) {
            error = errno;
        } else if (::getppid() != keeper) {
            // The keeper died before the signal was armed: nobody would keep this host.
            ::_exit(127);
        } else {
            ::execve(options_.executable.c_str(), argv.data(), environ);
            error = errno;
        }
        [[maybe_unused]] const auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int childError = 0;
    ssize_t received = 0;
    do {
        received = ::read(report[0], &childError, sizeof childError);
    } while (received < 0 && errno == EINTR);
    ::close(report[0]);
    if (received == static_cast<ssize_t>(sizeof childError)) {
        ::waitpid(pid, nullptr, 0);
        return "cannot start the filter host " + options_.executable + ": " +
               std::strerror(childError);
    }
    child_ = pid;
    childStartedAt_ = std::chrono::steady_clock::now();
    ++startCount_;
    watch_ = std::make_unique<ExitWatch>(io_, pid, [this](int status) {
        // The watch must not go inside its own handler: hand the status on from a fresh turn.
        asio::post(io_, [this, status] { exited(status); });
    });
    return std::nullopt;
}

void HostKeeper::exited(int status) {
    const pid_t pid = child_;
    child_ = 0;
    watch_.reset();
    if (stopping_) {
        grace_.cancel();
        finish();
        return;
    }
    if (status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        finish();
        return;
    }
    if (std::chrono::steady_clock::now() - childStartedAt_ >= options_.stableRunTime) {
        nextDelay_ = options_.restartDelay;
    }
    if (status >= 0 && WIFSIGNALED(status)) {
        std::fprintf(stderr,
                     "ZorvaneFilter: the filter host (process %d) ended on signal %d; starting it "
                     "again in %lld ms\n",
                     static_cast<int>(pid), WTERMSIG(status),
                     static_cast<long long>(nextDelay_.count()));
    } else {
        std::fprintf(stderr,
                     "ZorvaneFilter: the filter host (process %d) ended with status %d; starting "
                     "it again in %lld ms\n",
                     static_cast<int>(pid), status >= 0 ? WEXITSTATUS(status) : -1,
                     static_cast<long long>(nextDelay_.count()));
    }
    scheduleRestart();
}

void HostKeeper::scheduleRestart() {
    restart_.expires_after(nextDelay_);
    nextDelay_ = std::min(nextDelay_ * 2, options_.maximumRestartDelay);
    restart_.async_wait([this](const asio::error_code& error) {
        if (error || stopping_) {
            return;
        }
        if (auto problem = spawn()) {
            std::fprintf(stderr, "ZorvaneFilter: %s\n", problem->c_str());
            childStartedAt_ = std::chrono::steady_clock::now();
            scheduleRestart();
        }
    });
}

void HostKeeper::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    if (ended_) {
        ended_();
    }
}

} // namespace zorvane
