#pragma once

#include "platform/ListenerOwner.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace zorvane {

// Whose receiver may have the event channel's token. Any local user can listen at the port while
// the application is away, and would receive the token and the activity with it, so the port
// must be held by the person the filter configuration belongs to, and by nobody else.
struct EventReceiverCheck {
    // Null: nothing is checked (where the system cannot tell who listens).
    std::shared_ptr<const ListenerOwner> listenerOwner;
    // The user the receiver must belong to, read for every send; nothing fails the check.
    std::function<std::optional<std::uint32_t>()> receiverUser;

    bool accepts(std::uint16_t port) const {
        if (!listenerOwner) {
            return true;
        }
        const auto user = receiverUser ? receiverUser() : std::nullopt;
        return user && listenerOwner->isHeldOnlyBy(port, *user);
    }
};

} // namespace zorvane
