#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

namespace zorvane {

// The filter's serial queue for everything that talks to the application: sends, their
// connection callbacks and time-outs, and delayed flushes. One io_context run by exactly one
// thread, so work posted here never runs concurrently with other work posted here.
//
// The thread starts with the first piece of work, so that a provider that never records anything
// never owns a thread. Destruction stops the thread and joins it; work not yet run is discarded
// unrun (its handlers are destroyed with the io_context). Must not be destroyed from its own
// thread.
class ObservationQueue {
public:
    static constexpr std::string_view label = "dev.quillmoor.Zorvane.observations";

    ObservationQueue();
    ~ObservationQueue();

    ObservationQueue(const ObservationQueue&) = delete;
    ObservationQueue& operator=(const ObservationQueue&) = delete;

    // For I/O objects (sockets, timers) whose handlers must run on this queue. Starts the thread.
    asio::io_context& context();

    // Runs work on the queue, after what was submitted before.
    void post(std::function<void()> work);
    // Runs work on the queue once delay has passed (a steady clock: wall-clock changes do not
    // move it). A negative delay counts as none.
    void postAfter(std::chrono::steady_clock::duration delay, std::function<void()> work);

    // True on the queue's own thread.
    bool isCurrentThread() const;

    // Stops the thread and joins it; later work is discarded. Idempotent; the destructor calls it.
    void stop();

private:
    void startIfNeeded();

    asio::io_context context_{1};
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::once_flag started_;
    std::mutex threadLock_;
    std::thread thread_;
    std::atomic<std::thread::id> threadId_{};
    bool stopped_ = false;
};

} // namespace zorvane
