#pragma once

#include "platform/ListenerOwner.h"

namespace zorvane {

// ListenerOwner over netlink's socket diagnostics: one SOCK_DIAG_BY_FAMILY dump of the TCP
// sockets in the listening state at the port, per address family. Needs no privilege for one's
// own network namespace. Blocking, but answered by the kernel at once.
class LinuxListenerOwner final : public ListenerOwner {
public:
    std::optional<std::vector<Listener>> listenersAt(std::uint16_t port) const override;
};

} // namespace zorvane
