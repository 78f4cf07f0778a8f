#pragma once

#include <QObject>
#include <chrono>
#include <functional>
#include <memory>

namespace zorvane {

// Runs work once after a delay on the thread of a context object, and not at all when the
// context is gone by then. Tests put a scheduler of their own in its place to run the delayed
// work when they choose instead of waiting.
class DelayScheduler {
public:
    virtual ~DelayScheduler() = default;

    virtual void schedule(std::chrono::milliseconds delay, QObject* context,
                          std::function<void()> work) = 0;

    // Single-shot Qt timers.
    static std::shared_ptr<DelayScheduler> timers();
};

} // namespace zorvane
