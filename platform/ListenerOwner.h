#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace zorvane {

// Who holds the TCP sockets listening at a local port: on Linux the kernel's socket diagnostics
// (inet_diag) answer with each socket's owner and inode, which is also what later ties a socket
// to the process holding it. The filter uses it to send its token only to the person's own
// receiver.
class ListenerOwner {
public:
    struct Listener {
        std::uint32_t userID = 0;
        std::uint64_t inode = 0;

        friend bool operator==(const Listener&, const Listener&) = default;
    };

    virtual ~ListenerOwner() = default;

    // Every TCP socket listening at the port, IPv4 and IPv6, on any local address (a connection
    // to 127.0.0.1 reaches a wildcard or dual-stack listener too). Empty: nobody listens there.
    // Nothing: the system could not be asked.
    virtual std::optional<std::vector<Listener>> listenersAt(std::uint16_t port) const = 0;

    // The conservative reading the event channel relies on: somebody listens at the port, and
    // every socket listening there belongs to that user.
    bool isHeldOnlyBy(std::uint16_t port, std::uint32_t userID) const {
        const auto listeners = listenersAt(port);
        if (!listeners || listeners->empty()) {
            return false;
        }
        for (const auto& listener : *listeners) {
            if (listener.userID != userID) {
                return false;
            }
        }
        return true;
    }
};

} // namespace zorvane
