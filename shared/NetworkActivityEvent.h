#pragma once

#include "Date.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// An aggregate of blocked connection attempts from one process of one application to one
// destination.
struct NetworkActivityEvent {
    std::optional<std::string> sourceApplicationIdentifier;
    std::optional<std::string> sourceApplicationTeamIdentifier;
    std::string processSigningIdentifier;
    std::optional<std::string> processTeamIdentifier;
    std::optional<std::string> processExecutablePath;
    std::string destinationHost; // "Unknown destination" when the filter had none
    std::optional<std::string> destinationPort;
    Date firstSeenAt;
    Date lastSeenAt;
    std::int64_t blockedConnectionCount = 0;

    // Aggregate identity: the seven source and destination values, absent as "", joined by "|".
    // An absent and an empty port therefore name the same aggregate.
    std::string id() const;

    // Folds another event of the same id into this one: optional texts kept where present and
    // otherwise taken from `other`, the wider time span, and the counts added (saturating, so
    // that counts read from disk cannot overflow).
    void merge(const NetworkActivityEvent& other);

    // Last path component of the executable path when there is one, else the signing identifier.
    std::string processDisplayName() const;
    // "host:port" when a non-empty port is known, else the host.
    std::string destinationDescription() const;

    friend bool operator==(const NetworkActivityEvent&, const NetworkActivityEvent&) = default;
};

} // namespace zorvane

template <> struct std::hash<zorvane::NetworkActivityEvent> {
    std::size_t operator()(const zorvane::NetworkActivityEvent& event) const noexcept;
};
