// zorvane_connect_probe tcp|udp ADDRESS PORT: one connection the way a program makes it.
// Exit 0: connected (TCP), or the UDP server's echo came back; 1: refused (ECONNREFUSED);
// 3: anything else (printed), also when no answer came within two seconds.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int outcome(int error) {
    if (error == 0) {
        return 0;
    }
    if (error == ECONNREFUSED) {
        return 1;
    }
    std::fprintf(stderr, "zorvane_connect_probe: %s\n", std::strerror(error));
    return 3;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zorvane_connect_probe tcp|udp ADDRESS PORT\n");
        return 2;
    }
    const bool tcp = std::strcmp(argv[1], "tcp") == 0;
    sockaddr_storage address{};
    socklen_t length = 0;
    const auto port = static_cast<in_port_t>(htons(static_cast<std::uint16_t>(std::atoi(argv[3]))));
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        inet_pton(AF_INET, argv[2], &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = port;
        length = sizeof *v4;
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               inet_pton(AF_INET6, argv[2], &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port;
        length = sizeof *v6;
    } else {
        std::fprintf(stderr, "zorvane_connect_probe: not an address: %s\n", argv[2]);
        return 2;
    }
    const int descriptor = ::socket(address.ss_family, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    timeval limit{2, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        return outcome(errno);
    }
    if (tcp) {
        return 0;
    }
    if (::send(descriptor, "probe", 5, 0) != 5) {
        return outcome(errno);
    }
    char echo[16];
    return outcome(::recv(descriptor, echo, sizeof echo, 0) > 0 ? 0 : errno);
}
