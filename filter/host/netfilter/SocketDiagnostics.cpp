#include "filter/host/netfilter/SocketDiagnostics.h"

#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zorvane {
namespace {

void putAddress(__be32 (&field)[4], const PacketHeaders& packet,
                const std::array<std::uint8_t, 16>& address) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, address.data(), packet.addressLength());
}

} // namespace

SocketDiagnostics::SocketDiagnostics() {
    descriptor_ = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (descriptor_ >= 0) {
        // An answer never takes long; a lost one must not hold the packet's verdict.
        timeval limit{0, 200'000};
        ::setsockopt(descriptor_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
}

SocketDiagnostics::~SocketDiagnostics() {
    if (descriptor_ >= 0) {
        ::close(descriptor_);
    }
}

std::optional<SocketDiagnostics::Socket> SocketDiagnostics::socketOf(const PacketHeaders& packet) {
    std::lock_guard guard(lock_);
    if (descriptor_ < 0) {
        return std::nullopt;
    }
    // A TCP lookup takes the socket's own view (source = the local end); the UDP one takes the
    // view of a packet arriving at the socket, so there the ends are given the other way round.
    return ask(packet, packet.protocol == PacketHeaders::tcp);
}

std::optional<SocketDiagnostics::Socket> SocketDiagnostics::ask(const PacketHeaders& packet,
                                                                bool localFirst) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.header.nlmsg_seq = ++sequence_;
    auto& request = message.request;
    request.sdiag_family = packet.ipVersion == 4 ? AF_INET : AF_INET6;
    request.sdiag_protocol = packet.protocol == PacketHeaders::tcp ? IPPROTO_TCP : IPPROTO_UDP;
    request.idiag_states = ~0u;
    const auto& first = localFirst ? packet.sourceAddress : packet.destinationAddress;
    const auto& second = localFirst ? packet.destinationAddress : packet.sourceAddress;
    request.id.idiag_sport = htons(localFirst ? packet.sourcePort : packet.destinationPort);
    request.id.idiag_dport = htons(localFirst ? packet.destinationPort : packet.sourcePort);
    putAddress(request.id.idiag_src, packet, first);
    putAddress(request.id.idiag_dst, packet, second);
    request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(descriptor_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) < 0) {
        return std::nullopt;
    }
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const ssize_t received = ::recv(descriptor_, buffer, sizeof buffer, 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        int remaining = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            // An answer to an earlier question that timed out.
            if (header->nlmsg_seq != message.header.nlmsg_seq) {
                continue;
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return std::nullopt; // NLMSG_ERROR: no such socket
            }
            const auto* answer = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            // The answer is in the socket's own view. The UDP lookup also finds an unconnected
            // socket bound to the port, so the local port must still be the packet's.
            if (answer->id.idiag_sport != htons(packet.sourcePort) || answer->idiag_inode == 0) {
                return std::nullopt;
            }
            return Socket{answer->idiag_inode, answer->idiag_uid};
        }
    }
}

} // namespace zorvane
