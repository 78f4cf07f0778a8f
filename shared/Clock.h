#pragma once

#include "Date.h"

#include <atomic>
#include <memory>

namespace zorvane {

// "Now", injectable so that expiries, throttles and retention windows are tested by moving a
// clock instead of waiting.
class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

    // The process-wide real clock.
    static std::shared_ptr<const Clock> system();
};

class SystemClock final : public Clock {
public:
    Date now() const override;
};

// A clock that only moves when told to; safe to read from any thread.
class ManualClock final : public Clock {
public:
    explicit ManualClock(Date start = Date::fromUnixSeconds(1'800'000'000.0))
        : seconds_(start.secondsSinceReferenceDate) {}

    Date now() const override { return Date{seconds_.load(std::memory_order_acquire)}; }
    void set(Date date) {
        seconds_.store(date.secondsSinceReferenceDate, std::memory_order_release);
    }
    void advance(double seconds) {
        double current = seconds_.load(std::memory_order_relaxed);
        while (!seconds_.compare_exchange_weak(current, current + seconds,
                                               std::memory_order_acq_rel)) {
        }
    }

private:
    std::atomic<double> seconds_;
};

} // namespace zorvane
