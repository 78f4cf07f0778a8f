#include "platform/linux/LinuxListenerOwner.h"

#include "platform/linux/Descriptor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zorvane {
namespace {

// Appends the listeners of one address family; false when the kernel could not be asked or
// answered with an error.
bool dumpListeners(int socket, std::uint8_t family, std::uint16_t port,
                   std::vector<ListenerOwner::Listener>& listeners) {
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.header.nlmsg_seq = family;
    message.request.sdiag_family = family;
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    message.request.id.idiag_sport = htons(port);
    message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof(kernel)) != static_cast<ssize_t>(sizeof(message))) {
        return false;
    }

    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const ssize_t received = ::recv(socket, buffer, sizeof(buffer), 0);
        if (received < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (received == 0) {
            return false;
        }
        int length = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, length);
             header = NLMSG_NEXT(header, length)) {
            if (header->nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (header->nlmsg_type == NLMSG_ERROR) {
                // A kernel without IPv6 has no IPv6 sockets to report, and says so this way.
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
                return family == AF_INET6 && header->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr)) &&
                       error->error == -ENOENT;
            }
            if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                continue;
            }
            const auto* socketInfo = static_cast<const inet_diag_msg*>(NLMSG_DATA(header));
            // The kernel filters dumps of listening sockets by port; checked again all the same.
            if (socketInfo->idiag_state != TCP_LISTEN ||
                ntohs(socketInfo->id.idiag_sport) != port) {
                continue;
            }
            listeners.push_back({socketInfo->idiag_uid, socketInfo->idiag_inode});
        }
    }
}

} // namespace

std::optional<std::vector<ListenerOwner::Listener>>
LinuxListenerOwner::listenersAt(std::uint16_t port) const {
    const Descriptor socket(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (socket.get() < 0) {
        return std::nullopt;
    }
    std::vector<Listener> listeners;
    for (const std::uint8_t family : {std::uint8_t{AF_INET}, std::uint8_t{AF_INET6}}) {
        if (!dumpListeners(socket.get(), family, port, listeners)) {
            return std::nullopt;
        }
    }
    return listeners;
}

} // namespace zorvane
