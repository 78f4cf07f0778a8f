// A program that runs another one in its own place, keeping its pid and its socket:
//   zorvane_exec_probe ADDRESS FIRST_PORT SECOND_PORT NEXT
//     exchanges a datagram with ADDRESS:FIRST_PORT over a UDP socket, then executes NEXT with
//     --socket FD ADDRESS SECOND_PORT (exit 4: the first exchange failed; 5: NEXT did not run)
//   zorvane_exec_probe --socket FD ADDRESS PORT
//     sends a datagram from the inherited socket to ADDRESS:PORT; exit 0: the echo came back,
//     1: refused (ECONNREFUSED), 3: anything else.
//   zorvane_exec_probe --thread
//     starts a thread, waits for it and exits 0 (a process with a thread of its own).
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int exchange(int descriptor, const char* host, const char* port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    if (inet_pton(AF_INET, host, &address.sin_addr) != 1) {
        return 3;
    }
    timeval limit{2, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    char echo[16];
    if (::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::send(descriptor, "probe", 5, 0) != 5 || ::recv(descriptor, echo, sizeof echo, 0) <= 0) {
        if (errno == ECONNREFUSED) {
            return 1;
        }
        std::fprintf(stderr, "zorvane_exec_probe: %s\n", std::strerror(errno));
        return 3;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--thread") == 0) {
        std::thread([] {}).join();
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--socket") == 0) {
        return exchange(std::atoi(argv[2]), argv[3], argv[4]);
    }
    if (argc != 5) {
        std::fprintf(stderr, "usage: zorvane_exec_probe ADDRESS FIRST_PORT SECOND_PORT NEXT\n");
        return 2;
    }
    // Not close-on-exec: the next program takes it over.
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (exchange(descriptor, argv[1], argv[2]) != 0) {
        return 4;
    }
    const std::string number = std::to_string(descriptor);
    ::execl(argv[4], argv[4], "--socket", number.c_str(), argv[1], argv[3],
            static_cast<char*>(nullptr));
    return 5;
}
