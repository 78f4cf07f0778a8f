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

// Time that only ever moves forward, for quiet times and intervals: setting the wall clock (or
// the wall clock's own corrections) never moves it. Seconds from an arbitrary start.
class MonotonicClock {
public:
    virtual ~MonotonicClock() = default;
    virtual double elapsedSeconds() const = 0;

    // The process-wide steady clock.
    static std::shared_ptr<const MonotonicClock> steady();
};

class SteadyClock final : public MonotonicClock {
public:
    double elapsedSeconds() const override;
};

// A clock that only moves when told to; safe to read from any thread. It keeps both kinds of
// time: advance() is time passing (both move), set() is the wall clock being set (only the wall
// time jumps), so one object plays both in tests of clock changes.
class ManualClock final : public Clock, public MonotonicClock {
public:
    explicit ManualClock(Date start = Date::fromUnixSeconds(1'800'000'000.0))
        : seconds_(start.secondsSinceReferenceDate) {}

    Date now() const override { return Date{seconds_.load(std::memory_order_acquire)}; }
    double elapsedSeconds() const override { return elapsed_.load(std::memory_order_acquire); }
    void set(Date date) {
        seconds_.store(date.secondsSinceReferenceDate, std::memory_order_release);
    }
    void advance(double seconds) {
        add(seconds_, seconds);
        add(elapsed_, seconds);
    }

private:
    static void add(std::atomic<double>& value, double seconds) {
        double current = value.load(std::memory_order_relaxed);
        while (
            !value.compare_exchange_weak(current, current + seconds, std::memory_order_acq_rel)) {
        }
    }

    std::atomic<double> seconds_;
    std::atomic<double> elapsed_{0.0};
};

} // namespace zorvane
