#include "filter/host/netfilter/SocketDiagnostics.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace zorvane {

// An answer never takes long; a lost one must not hold the packet's verdict.
SocketDiagnostics::SocketDiagnostics() : diagnostics_(std::chrono::milliseconds(200)) {}

std::optional<SocketDiagnostics::Socket> SocketDiagnostics::socketOf(const PacketHeaders& packet) {
    // A TCP lookup takes the socket's own view (source = the local end); the UDP one takes the
    // view of a packet arriving at the socket, so there the ends are given the other way round.
    const bool localFirst = packet.protocol == PacketHeaders::tcp;
    InetDiagnostics::Request request;
    request.family = packet.ipVersion == 4 ? AF_INET : AF_INET6;
    request.protocol = packet.protocol == PacketHeaders::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    request.sourceAddress = localFirst ? packet.sourceAddress : packet.destinationAddress;
    request.sourcePort = localFirst ? packet.sourcePort : packet.destinationPort;
    request.destinationAddress = localFirst ? packet.destinationAddress : packet.sourceAddress;
    request.destinationPort = localFirst ? packet.destinationPort : packet.sourcePort;

    std::lock_guard guard(lock_);
    const auto socket = diagnostics_.lookUp(request);
    // The answer is in the socket's own view. The UDP lookup also finds an unconnected socket
    // bound to the port, so the local port must still be the packet's.
    if (!socket || socket->sourcePort != packet.sourcePort || socket->inode == 0) {
        return std::nullopt;
    }
    return Socket{socket->inode, socket->uid};
}

} // namespace zorvane
