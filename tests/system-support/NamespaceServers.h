#pragma once

#include <atomic>
#include <cstdint>
#include <poll.h>
#include <thread>
#include <vector>

namespace zorvane::testing {

// The far ends of the connections that tests inside a NetworkNamespace make: TCP listeners
// (whose backlog accepts) and UDP echoes on both of the namespace's addresses at `port`, a TCP
// listener on 127.0.0.1 at `port`, and a UDP echo on the IPv4 address at the name-lookup port.
class NamespaceServers {
public:
    explicit NamespaceServers(std::uint16_t port);
    ~NamespaceServers();

    NamespaceServers(const NamespaceServers&) = delete;
    NamespaceServers& operator=(const NamespaceServers&) = delete;

    // True when every server is bound.
    bool ready() const { return ready_; }

private:
    std::vector<int> descriptors_;
    std::vector<pollfd> datagrams_;
    bool ready_ = true;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

} // namespace zorvane::testing
