#include "filter/EventSendCompletionGate.h"

namespace zorvane {

EventSendCompletionGate::EventSendCompletionGate(
    std::shared_ptr<asio::ip::tcp::socket> sendConnection,
    std::shared_ptr<asio::steady_timer> sendTimeout, Completion sendCompletion)
    : connection(std::move(sendConnection)), timeout(std::move(sendTimeout)),
      completion(std::move(sendCompletion)) {}

void EventSendCompletionGate::finish(bool success) {
    {
        std::lock_guard guard(lock);
        if (isFinished) {
            return;
        }
        isFinished = true;
    }
    // Only the winner gets here, so nothing below races with another finish. Closing aborts
    // whatever is still pending on the connection; those handlers then find the gate finished.
    std::error_code ignored;
    if (connection) {
        connection->close(ignored);
    }
    if (timeout) {
        timeout->cancel();
    }
    Completion done = std::move(completion);
    completion = nullptr;
    if (done) {
        done(success);
    }
}

bool EventSendCompletionGate::finished() const {
    std::lock_guard guard(lock);
    return isFinished;
}

} // namespace zorvane
