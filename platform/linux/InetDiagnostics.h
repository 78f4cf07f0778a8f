#pragma once

#include "platform/linux/Descriptor.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace zorvane {

// The kernel's socket diagnostics for TCP and UDP (netlink sock_diag, inet_diag) over one
// netlink socket of its own: which sockets of the caller's network namespace match a request,
// with the inode that /proc lists among a process's descriptors and the uid that owns them.
// Needs no privilege. One request at a time: callers that share one serialise their calls.
class InetDiagnostics {
public:
    struct Request {
        int family = 0;             // AF_INET or AF_INET6
        int protocol = 0;           // IPPROTO_TCP or IPPROTO_UDP
        std::uint32_t states = ~0u; // one bit per TCP state (1 << TCP_LISTEN, ...)
        // Addresses in network order (IPv4 in the first four bytes), ports in host order, in the
        // socket's own view: source is the local end.
        std::array<std::uint8_t, 16> sourceAddress{};
        std::uint16_t sourcePort = 0;
        std::array<std::uint8_t, 16> destinationAddress{};
        std::uint16_t destinationPort = 0;
    };
    struct Socket {
        std::uint32_t inode = 0;
        std::uint32_t uid = 0;
        std::uint8_t state = 0;
        std::uint16_t sourcePort = 0; // host order, the socket's own view
    };

    // An answer that takes longer than answerLimit counts as none; without a limit the kernel,
    // which answers at once, is waited for.
    explicit InetDiagnostics(std::optional<std::chrono::microseconds> answerLimit = std::nullopt);

    // False when the netlink socket could not be opened; every request then fails.
    bool isOpen() const { return socket_.get() >= 0; }

    // The socket with exactly the request's ends; none when no socket has them (any more), or
    // when the kernel could not be asked.
    std::optional<Socket> lookUp(const Request& request);

    // Every socket in one of the request's states whose local port is the request's source
    // port (all ports for 0); none when the kernel could not be asked or reported a failure. A
    // family or protocol the kernel does not know (a kernel without IPv6) has no sockets.
    std::optional<std::vector<Socket>> dump(const Request& request);

private:
    // Sends the request under a new sequence number, which it returns; none when that failed.
    std::optional<std::uint32_t> send(const Request& request, bool dump);

    Descriptor socket_;
    std::uint32_t sequence_ = 0;
};

} // namespace zorvane
