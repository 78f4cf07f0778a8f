#include "filter/host/HostKeeper.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
    return spawn();
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
    pid_t pid = 0;
    const int error =
        ::posix_spawn(&pid, options_.executable.c_str(), nullptr, nullptr, argv.data(), environ);
    if (error != 0) {
        return "cannot start the filter host " + options_.executable + ": " + std::strerror(error);
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
