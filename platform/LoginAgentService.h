#pragma once

#include <optional>

namespace zorvane {

// A per-user login agent that the bundle carries: the system starts it when the user logs in,
// once it is registered. Failures are values; nothing here shows or logs anything.
class LoginAgentService {
public:
    enum class Status {
        enabled,          // registered and allowed to run
        notRegistered,    // the bundle carries it, but it is not registered
        requiresApproval, // registered, but the user has turned it off
        notFound,         // the bundle carries no such agent
    };

    enum class Error {
        notFound,       // the bundle carries no usable description of the agent
        disabledByUser, // the user turned the agent off; registering does not overrule that
        writeFailed,    // the registration could not be written
        removeFailed,   // the registration could not be removed
    };

    virtual ~LoginAgentService() = default;

    virtual Status status() const = 0;
    // Both are empty on success.
    virtual std::optional<Error> registerAgent() = 0;
    virtual std::optional<Error> unregisterAgent() = 0;
};

} // namespace zorvane
