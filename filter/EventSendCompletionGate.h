#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <mutex>

namespace zorvane {

// Decides the one result of one send. The connection's callbacks, the write report and the
// time-out all race to finish the send; whichever comes first decides, and the caller's
// completion runs exactly once, outside the lock, on the thread of that first caller.
//
// Shared (std::shared_ptr) by every callback of its send and alive until the last of them has
// run or been discarded.
class EventSendCompletionGate {
public:
    using Completion = std::function<void(bool success)>;

    // timeout may be null; when given it is cancelled on finish, so that a finished send does
    // not keep its connection object until the time-out would have fired.
    EventSendCompletionGate(std::shared_ptr<asio::ip::tcp::socket> connection,
                            std::shared_ptr<asio::steady_timer> timeout, Completion completion);

    EventSendCompletionGate(const EventSendCompletionGate&) = delete;
    EventSendCompletionGate& operator=(const EventSendCompletionGate&) = delete;

    // The first call closes the connection, cancels the time-out and calls the completion with
    // success; every later call does nothing. Safe from any thread; the connection and the timer
    // are touched only by the first caller, which in the client is always the send's queue.
    void finish(bool success);

    bool finished() const;

private:
    mutable std::mutex lock;
    bool isFinished = false;
    std::shared_ptr<asio::ip::tcp::socket> connection;
    std::shared_ptr<asio::steady_timer> timeout;
    Completion completion;
};

} // namespace zorvane
