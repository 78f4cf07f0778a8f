#pragma once

#include "filter/host/netfilter/PacketHeaders.h"
#include "platform/linux/InetDiagnostics.h"

#include <cstdint>
#include <mutex>
#include <optional>

namespace zorvane {

// Finds the local socket that sent an outbound packet, through the kernel's socket diagnostics
// (netlink sock_diag, inet_diag): its inode, which /proc lists among a process's descriptors, and
// the uid that owns it. Safe to call from several threads.
class SocketDiagnostics {
public:
    struct Socket {
        std::uint32_t inode = 0;
        std::uint32_t uid = 0;
    };

    SocketDiagnostics();

    // None when no socket has that 5-tuple (any more), or when the kernel cannot be asked.
    std::optional<Socket> socketOf(const PacketHeaders& packet);

private:
    std::mutex lock_;
    InetDiagnostics diagnostics_;
};

} // namespace zorvane
