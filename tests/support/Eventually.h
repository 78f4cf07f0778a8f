#pragma once

#include <chrono>
#include <thread>

namespace zorvane::testing {

// Polls until the condition holds, for work that another thread or process finishes; false when
// the limit passed first. The limit only ends a test that failed, so it is generous enough for
// the sanitizer builds on a busy machine. `between` runs between two polls (by default a short
// pause; tests of Qt objects pass one that runs the event loop).
template <typename Condition, typename Between>
bool eventually(Condition condition, std::chrono::milliseconds limit, Between between) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        between();
    }
    return true;
}

template <typename Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(20'000)) {
    return eventually(condition, limit,
                      [] { std::this_thread::sleep_for(std::chrono::milliseconds(2)); });
}

} // namespace zorvane::testing
