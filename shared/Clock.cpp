#include "Clock.h"

#include <chrono>

namespace zorvane {

Date SystemClock::now() const {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date::fromUnixSeconds(std::chrono::duration<double>(since).count());
}

double SteadyClock::elapsedSeconds() const {
    const auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration<double>(since).count();
}

std::shared_ptr<const MonotonicClock> MonotonicClock::steady() {
    static const auto clock = std::make_shared<const SteadyClock>();
    return clock;
}

std::shared_ptr<const Clock> Clock::system() {
    static const auto clock = std::make_shared<const SystemClock>();
    return clock;
}

} // namespace zorvane
