#pragma once

#include <compare>

namespace zorvane {

// An instant, kept the way the records store it: fractional seconds since the reference date
// 2001-01-01 00:00:00 UTC. Conversions to the Unix epoch are exact offsets.
struct Date {
    static constexpr double unixOffset = 978307200.0; // seconds from 1970-01-01 to 2001-01-01

    double secondsSinceReferenceDate = 0.0;

    static constexpr Date fromReferenceSeconds(double seconds) { return Date{seconds}; }
    static constexpr Date fromUnixSeconds(double seconds) { return Date{seconds - unixOffset}; }
    constexpr double unixSeconds() const { return secondsSinceReferenceDate + unixOffset; }

    constexpr Date addingSeconds(double seconds) const {
        return Date{secondsSinceReferenceDate + seconds};
    }
    constexpr double secondsSince(Date other) const {
        return secondsSinceReferenceDate - other.secondsSinceReferenceDate;
    }

    friend constexpr auto operator<=>(const Date&, const Date&) = default;
};

} // namespace zorvane
