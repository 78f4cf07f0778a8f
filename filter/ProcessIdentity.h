#pragma once

#include <optional>
#include <string>

namespace zorvane {

// The signed identity of the process behind a flow; kept by the filter, never sent.
struct ProcessIdentity {
    std::string signingIdentifier;
    std::optional<std::string> teamIdentifier;
    std::optional<std::string> executablePath;

    friend bool operator==(const ProcessIdentity&, const ProcessIdentity&) = default;
};

} // namespace zorvane
