#include "platform/linux/LinuxListenerOwner.h"

#include "platform/linux/InetDiagnostics.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace zorvane {

std::optional<std::vector<ListenerOwner::Listener>>
LinuxListenerOwner::listenersAt(std::uint16_t port) const {
    InetDiagnostics diagnostics;
    std::vector<Listener> listeners;
    for (const int family : {AF_INET, AF_INET6}) {
        InetDiagnostics::Request request;
        request.family = family;
        request.protocol = IPPROTO_TCP;
        request.states = 1u << TCP_LISTEN;
        request.sourcePort = port;
        const auto sockets = diagnostics.dump(request);
        if (!sockets) {
            return std::nullopt;
        }
        for (const auto& socket : *sockets) {
            if (socket.state == TCP_LISTEN) {
                listeners.push_back({socket.uid, socket.inode});
            }
        }
    }
    return listeners;
}

} // namespace zorvane
