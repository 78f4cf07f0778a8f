#pragma once

#include "Date.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// A process that the filter saw opening a blocked flow; the application learns an application's
// helper processes from these.
struct DiscoveredNetworkProcess {
    std::string signingIdentifier;
    std::optional<std::string> teamIdentifier;
    std::optional<std::string> sourceApplicationIdentifier;
    std::optional<std::string> sourceApplicationTeamIdentifier;
    std::optional<std::string> executablePath;
    Date firstSeenAt;
    Date lastSeenAt;
    std::int64_t connectionCount = 0;

    // The five identifying values, absent as "", joined by "|".
    std::string id() const;

    // Folds another observation of the same id into this one: optional texts kept where present
    // and otherwise taken from `other`, the wider time span, the counts added (saturating).
    void merge(const DiscoveredNetworkProcess& other);

    friend bool operator==(const DiscoveredNetworkProcess&,
                           const DiscoveredNetworkProcess&) = default;
};

} // namespace zorvane

template <> struct std::hash<zorvane::DiscoveredNetworkProcess> {
    std::size_t operator()(const zorvane::DiscoveredNetworkProcess& process) const noexcept;
};
