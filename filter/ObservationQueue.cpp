#include "filter/ObservationQueue.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <cassert>
#include <memory>
#include <pthread.h>

namespace zorvane {

ObservationQueue::ObservationQueue() : work_(asio::make_work_guard(context_)) {}

ObservationQueue::~ObservationQueue() {
    stop();
}

asio::io_context& ObservationQueue::context() {
    startIfNeeded();
    return context_;
}

void ObservationQueue::post(std::function<void()> work) {
    startIfNeeded();
    asio::post(context_, std::move(work));
}

void ObservationQueue::postAfter(std::chrono::steady_clock::duration delay,
                                 std::function<void()> work) {
    startIfNeeded();
    auto timer = std::make_shared<asio::steady_timer>(
        context_, std::max(delay, std::chrono::steady_clock::duration::zero()));
    // The handler owns the timer; a queue that stops first destroys both without running it.
    timer->async_wait([timer, work = std::move(work)](const std::error_code& error) {
        if (!error) {
            work();
        }
    });
}

bool ObservationQueue::isCurrentThread() const {
    return std::this_thread::get_id() == threadId_.load(std::memory_order_acquire);
}

void ObservationQueue::startIfNeeded() {
    std::call_once(started_, [this] {
        std::lock_guard lock(threadLock_);
        if (stopped_) {
            return;
        }
        thread_ = std::thread([this] {
            // Linux keeps at most 15 bytes of a thread name: the label's last component.
            const std::string_view name = label.substr(label.rfind("Zorvane.") + 8);
            const std::string shortName(name.substr(0, 15));
            pthread_setname_np(pthread_self(), shortName.c_str());
            context_.run();
        });
        threadId_.store(thread_.get_id(), std::memory_order_release);
    });
}

void ObservationQueue::stop() {
    std::thread thread;
    {
        std::lock_guard lock(threadLock_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        thread = std::move(thread_);
    }
    assert(!isCurrentThread() && "the observation queue cannot stop itself");
    work_.reset();
    context_.stop();
    if (thread.joinable()) {
        thread.join();
    }
}

} // namespace zorvane
