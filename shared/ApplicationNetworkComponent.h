#pragma once

#include "Date.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// One row of an application's network-process list; built on demand, never stored or sent.
struct ApplicationNetworkComponent {
    enum class Kind { main, bundled, observed };

    std::string id;
    std::string name;
    std::string signingIdentifier;
    std::optional<std::string> teamIdentifier;
    std::optional<std::string> executablePath;
    Kind kind = Kind::main;
    std::optional<Date> lastSeenAt; // observed rows only

    // "Main app", "Bundled", "Observed": shown to the user and used as the raw values.
    static std::string_view displayText(Kind kind);

    friend bool operator==(const ApplicationNetworkComponent&,
                           const ApplicationNetworkComponent&) = default;
};

} // namespace zorvane

template <> struct std::hash<zorvane::ApplicationNetworkComponent> {
    std::size_t operator()(const zorvane::ApplicationNetworkComponent& component) const noexcept;
};
