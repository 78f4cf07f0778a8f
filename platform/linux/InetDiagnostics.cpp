#include "platform/linux/InetDiagnostics.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace zorvane {
namespace {

InetDiagnostics::Socket socketFrom(const inet_diag_msg& answer) {
    return {answer.idiag_inode, answer.idiag_uid, answer.idiag_state, ntohs(answer.id.idiag_sport)};
}

// Reads the kernel's messages and hands those that answer this sequence number to handle, until
// it says the answer is complete; false when reading failed first (or the answer limit passed).
template <std::size_t BufferSize, typename Handle>
bool receiveAnswer(int socket, std::uint32_t sequence, Handle&& handle) {
    alignas(nlmsghdr) char buffer[BufferSize];
    for (;;) {
        const ssize_t received = ::recv(socket, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return false;
        }
        int remaining = static_cast<int>(received);
        for (auto* header = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
             header = NLMSG_NEXT(header, remaining)) {
            // Messages of another sequence answer an earlier question that timed out.
            if (header->nlmsg_seq == sequence && handle(*header)) {
                return true;
            }
        }
    }
}

} // namespace

InetDiagnostics::InetDiagnostics(std::optional<std::chrono::microseconds> answerLimit)
    : socket_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
    if (isOpen() && answerLimit) {
        const auto micros = answerLimit->count();
        timeval limit{static_cast<time_t>(micros / 1'000'000),
                      static_cast<suseconds_t>(micros % 1'000'000)};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
}

std::optional<std::uint32_t> InetDiagnostics::send(const Request& request, bool dump) {
    if (!isOpen()) {
        return std::nullopt;
    }
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    message.header.nlmsg_seq = ++sequence_;
    auto& body = message.request;
    body.sdiag_family = static_cast<std::uint8_t>(request.family);
    body.sdiag_protocol = static_cast<std::uint8_t>(request.protocol);
    body.idiag_states = request.states;
    body.id.idiag_sport = htons(request.sourcePort);
    body.id.idiag_dport = htons(request.destinationPort);
    const std::size_t addressLength = request.family == AF_INET ? 4 : 16;
    std::memcpy(body.id.idiag_src, request.sourceAddress.data(), addressLength);
    std::memcpy(body.id.idiag_dst, request.destinationAddress.data(), addressLength);
    body.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(socket_.get(), &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
                 sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
        return std::nullopt;
    }
    return message.header.nlmsg_seq;
}

std::optional<InetDiagnostics::Socket> InetDiagnostics::lookUp(const Request& request) {
    const auto sequence = send(request, false);
    if (!sequence) {
        return std::nullopt;
    }
    std::optional<Socket> found;
    const bool answered =
        receiveAnswer<8192>(socket_.get(), *sequence, [&](const nlmsghdr& header) {
            // Anything else is NLMSG_ERROR: no such socket.
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                found = socketFrom(*static_cast<const inet_diag_msg*>(NLMSG_DATA(&header)));
            }
            return true;
        });
    return answered ? found : std::nullopt;
}

std::optional<std::vector<InetDiagnostics::Socket>> InetDiagnostics::dump(const Request& request) {
    const auto sequence = send(request, true);
    if (!sequence) {
        return std::nullopt;
    }
    std::vector<Socket> sockets;
    bool failed = false;
    const bool answered =
        receiveAnswer<16384>(socket_.get(), *sequence, [&](const nlmsghdr& header) {
            if (header.nlmsg_type == NLMSG_DONE) {
                return true;
            }
            if (header.nlmsg_type == NLMSG_ERROR) {
                const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(&header));
                failed =
                    header.nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)) || error->error != -ENOENT;
                return true;
            }
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                header.nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                const auto socket =
                    socketFrom(*static_cast<const inet_diag_msg*>(NLMSG_DATA(&header)));
                // The kernel filters only listening sockets by the local port.
                if (request.sourcePort == 0 || socket.sourcePort == request.sourcePort) {
                    sockets.push_back(socket);
                }
            }
            return false;
        });
    if (!answered || failed) {
        return std::nullopt;
    }
    return sockets;
}

} // namespace zorvane
