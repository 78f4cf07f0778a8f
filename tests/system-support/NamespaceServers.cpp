#include "NamespaceServers.h"

#include "NetworkNamespace.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zorvane::testing {

NamespaceServers::NamespaceServers(std::uint16_t port) {
    struct Endpoint {
        const char* host;
        std::uint16_t port;
        int type;
    };
    const Endpoint endpoints[] = {
        {NetworkNamespace::ipv4Address, port, SOCK_STREAM},
        {NetworkNamespace::ipv4Address, port, SOCK_DGRAM},
        {NetworkNamespace::ipv6Address, port, SOCK_STREAM},
        {NetworkNamespace::ipv6Address, port, SOCK_DGRAM},
        {"127.0.0.1", port, SOCK_STREAM},
        {NetworkNamespace::ipv4Address, 53, SOCK_DGRAM},
    };
    for (const auto& endpoint : endpoints) {
        sockaddr_storage address{};
        socklen_t length = 0;
        if (std::strchr(endpoint.host, ':')) {
            auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
            v6.sin6_family = AF_INET6;
            v6.sin6_port = htons(endpoint.port);
            inet_pton(AF_INET6, endpoint.host, &v6.sin6_addr);
            length = sizeof v6;
        } else {
            auto& v4 = reinterpret_cast<sockaddr_in&>(address);
            v4.sin_family = AF_INET;
            v4.sin_port = htons(endpoint.port);
            inet_pton(AF_INET, endpoint.host, &v4.sin_addr);
            length = sizeof v4;
        }
        const int descriptor = ::socket(address.ss_family, endpoint.type | SOCK_CLOEXEC, 0);
        if (descriptor < 0) {
            ready_ = false;
            continue;
        }
        ready_ = ready_ && ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), length) == 0;
        if (endpoint.type == SOCK_STREAM) {
            ready_ = ready_ && ::listen(descriptor, 64) == 0;
        } else {
            datagrams_.push_back({descriptor, POLLIN, 0});
        }
        descriptors_.push_back(descriptor);
    }
    echo_ = std::thread([this] {
        while (!stop_) {
            auto fds = datagrams_;
            if (::poll(fds.data(), fds.size(), 50) <= 0) {
                continue;
            }
            for (const auto& fd : fds) {
                if (fd.revents & POLLIN) {
                    char buffer[64];
                    sockaddr_storage from{};
                    socklen_t length = sizeof from;
                    const ssize_t n = ::recvfrom(fd.fd, buffer, sizeof buffer, 0,
                                                 reinterpret_cast<sockaddr*>(&from), &length);
                    if (n > 0) {
                        ::sendto(fd.fd, buffer, static_cast<std::size_t>(n), 0,
                                 reinterpret_cast<sockaddr*>(&from), length);
                    }
                }
            }
        }
    });
}

NamespaceServers::~NamespaceServers() {
    stop_ = true;
    echo_.join();
    for (const int descriptor : descriptors_) {
        ::close(descriptor);
    }
}

} // namespace zorvane::testing
