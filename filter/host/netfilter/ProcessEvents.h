#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace zorvane {

// The kernel's news of processes (the netlink proc connector): which process started, ran another
// program or ended. What the host remembers of a process (its sockets, its audit token, its
// identity) is only as good as these events, so a lost one says so. Needs CAP_NET_ADMIN in the
// machine's first user and pid namespaces, and the kernel reports only to sockets of its first
// network namespace: a host that runs in another one names that one (a descriptor kept open
// from before, /proc/self/fd/N, does) and the socket is opened there.
class ProcessEvents {
public:
    enum class Kind {
        started,  // a new process (thread group), by fork
        executed, // the process now runs another program (same pid, same start time)
        ended,    // the thread group is gone; its pid may be reused
        lost,     // the kernel dropped events: nothing remembered can be trusted any more
    };
    // Called one event at a time, on the reading thread or in catchUp(); never re-entered.
    using Handler = std::function<void(Kind kind, std::int32_t pid)>;

    static constexpr const char* firstNetworkNamespace = "/proc/1/ns/net";

    explicit ProcessEvents(Handler handler, std::filesystem::path network = firstNetworkNamespace);
    ~ProcessEvents();
    ProcessEvents(const ProcessEvents&) = delete;
    ProcessEvents& operator=(const ProcessEvents&) = delete;

    // Subscribes (and waits for the kernel to confirm) and starts the reading thread. On failure,
    // a text for the log and nothing running.
    std::optional<std::string> start();
    void stop();
    // Subscribed and reading; false again once the socket failed (after a last `lost`).
    bool running() const { return running_.load(std::memory_order_acquire); }

    // Handles, on the caller's thread, every event the kernel has queued so far. The kernel
    // queues an exec or exit before the process can send anything after it, so a decision that
    // catches up first never sees a packet of a program it has not heard of yet.
    void catchUp();

private:
    // Reads what is queued without waiting; false when the socket failed for good.
    bool drain();
    void run();

    Handler handler_;
    std::filesystem::path network_;
    std::mutex lock_; // one reader at a time, so that the handler sees events in order
    int descriptor_ = -1;
    int wakeup_ = -1;
    std::atomic<bool> running_{false};
    std::thread reader_;
};

} // namespace zorvane
