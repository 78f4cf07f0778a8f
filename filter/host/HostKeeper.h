#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvane {

// What the system does for an activated extension on macOS: it runs the extension's process and,
// when that process crashes or is killed, starts it again. On Linux the filter host is that
// process and the keeper runs it as a child. A host that ends on its own with status 0 was
// stopped on purpose (SIGTERM): the keeper ends too. Any other end (a signal, a failed start) is a
// crash, and a new host starts after a pause. The pause doubles while hosts keep dying young, so
// that a host that cannot start (its socket path taken, say) never spins, and falls back to the
// first one after a host that lived.
//
// The host dies with its keeper: it gets SIGTERM when the keeper's thread that started it ends
// (the parent-death signal, so the keeper must run on one thread that outlives its hosts). A host
// left behind by an earlier keeper (one killed before hosts died with it, or a host started by
// hand) is stopped when the keeper starts, so that the keeper's own host can take the directory.
//
// Runs on the io_context's thread: every call and every callback happens there.
class HostKeeper {
public:
    struct Options {
        std::string executable;
        std::vector<std::string> arguments; // after the program name
        std::chrono::milliseconds restartDelay{200};
        std::chrono::milliseconds maximumRestartDelay{8000};
        // A host that ran at least this long before it died counts as having lived.
        std::chrono::milliseconds stableRunTime{10000};
        // How long a stop waits after SIGTERM before the host gets SIGKILL.
        std::chrono::milliseconds stopGrace{10000};
        // The lock a running host holds (its process id written in it). When set, a host of the
        // same executable that holds it at start is stopped first (SIGTERM, SIGKILL after the
        // grace).
        std::filesystem::path hostLock;
    };

    HostKeeper(asio::io_context& io, Options options);
    ~HostKeeper();

    HostKeeper(const HostKeeper&) = delete;
    HostKeeper& operator=(const HostKeeper&) = delete;

    // Starts the first host; ended runs when the keeper is done (the host stopped on purpose, or
    // after stop()). The error text when not even the first host could be started.
    std::optional<std::string> start(std::function<void()> ended);

    // Stops the running host (SIGTERM, then SIGKILL after the grace) and starts no other; ended
    // runs once it is gone.
    void stop();

    // The running host's process, 0 while none runs.
    pid_t hostProcess() const { return child_; }
    // Hosts started so far, the first one included.
    std::uint64_t startCount() const { return startCount_; }
    // The pause before the next restart.
    std::chrono::milliseconds nextRestartDelay() const { return nextDelay_; }

private:
    class ExitWatch;

    std::optional<std::string> spawn();
    void takeOver();
    void exited(int status);
    void scheduleRestart();
    void finish();

    asio::io_context& io_;
    const Options options_;
    std::function<void()> ended_;
    pid_t child_ = 0;
    std::chrono::steady_clock::time_point childStartedAt_;
    std::unique_ptr<ExitWatch> watch_;
    asio::steady_timer restart_;
    asio::steady_timer grace_;
    std::chrono::milliseconds nextDelay_;
    std::uint64_t startCount_ = 0;
    bool stopping_ = false;
    bool finished_ = false;
};

} // namespace zorvane
