// zorvane_connect_probe tcp|udp ADDRESS PORT [PROGRAM ARGUMENT...]: one connection the way a
// program makes it.
// Exit 0: connected (TCP), or the UDP server's echo came back; 1: refused (ECONNREFUSED);
// 3: anything else (printed), also when no answer came within two seconds.
// With a program after the connection's arguments it starts that program the way a launcher
// does, once its own connection succeeded (else it exits with 10 + the outcome), and exits with
// the program's status. With --connect-first before the program, the child connects once more
// before it becomes the program, so that what is known of the child's process before the exec is
// this probe; it exits with 20 + the outcome when that connection failed.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

// The outcome of one connection; the socket stays open until the process ends.
int connectOnce(const char* protocol, const char* host, const char* portText) {
    const bool tcp = std::strcmp(protocol, "tcp") == 0;
    sockaddr_storage address{};
    socklen_t length = 0;
    const auto port =
        static_cast<in_port_t>(htons(static_cast<std::uint16_t>(std::atoi(portText))));
    if (auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
        inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = port;
        length = sizeof *v4;
    } else if (auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
               inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = port;
        length = sizeof *v6;
    } else {
        std::fprintf(stderr, "zorvane_connect_probe: not an address: %s\n", host);
        return 2;
    }
    const int descriptor =
        ::socket(address.ss_family, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, 0);
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

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: zorvane_connect_probe tcp|udp ADDRESS PORT [[--connect-first] "
                             "PROGRAM ARGUMENT...]\n");
        return 2;
    }
    const int own = connectOnce(argv[1], argv[2], argv[3]);
    if (argc == 4) {
        return own;
    }
    if (own != 0) {
        return 10 + own;
    }
    int program = 4;
    const bool connectFirst = std::strcmp(argv[program], "--connect-first") == 0;
    if (connectFirst && ++program == argc) {
        return 2;
    }
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return 4;
    }
    if (child == 0) {
        if (const int before = connectFirst ? connectOnce(argv[1], argv[2], argv[3]) : 0;
            before != 0) {
            ::_exit(20 + before);
        }
        ::execv(argv[program], argv + program);
        ::_exit(5);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return 6;
    }
    return WEXITSTATUS(status);
}
