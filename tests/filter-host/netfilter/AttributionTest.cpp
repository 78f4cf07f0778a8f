// From a packet's 5-tuple to the socket and to the process that holds it, on loopback (no root
// needed: the diagnostics answer for any socket of the caller's namespace).
#include "filter/host/netfilter/SocketDiagnostics.h"
#include "filter/host/netfilter/SocketProcesses.h"

#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

void copyAddress(const sockaddr_storage& address, std::array<std::uint8_t, 16>& bytes,
                 std::uint16_t& port) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::memcpy(bytes.data(), &v4.sin_addr, 4);
        port = ntohs(v4.sin_port);
    } else {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(bytes.data(), &v6.sin6_addr, 16);
        port = ntohs(v6.sin6_port);
    }
}

// The packet a socket sends to `remote`; the local end is the socket's bound one, with the
// loopback address put in when it is bound to the wildcard (as the packet would carry it).
PacketHeaders packetFrom(int descriptor, const sockaddr_storage& remote, std::uint8_t protocol) {
    PacketHeaders packet;
    packet.ipVersion = remote.ss_family == AF_INET ? 4 : 6;
    packet.protocol = protocol;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length);
    copyAddress(local, packet.sourceAddress, packet.sourcePort);
    copyAddress(remote, packet.destinationAddress, packet.destinationPort);
    if (packet.sourceAddress == std::array<std::uint8_t, 16>{}) {
        packet.sourceAddress = packet.destinationAddress;
    }
    return packet;
}

sockaddr_storage loopback(int family) {
    sockaddr_storage address{};
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_loopback;
    }
    return address;
}

// A server socket on the loopback of `family`, and its address.
int server(int family, int type, sockaddr_storage& address) {
    address = loopback(family);
    const int descriptor = ::socket(family, type | SOCK_CLOEXEC, 0);
    ::bind(descriptor, reinterpret_cast<sockaddr*>(&address),
           family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
    socklen_t length = sizeof address;
    ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    if (type == SOCK_STREAM) {
        ::listen(descriptor, 8);
    }
    return descriptor;
}

socklen_t lengthOf(const sockaddr_storage& address) {
    return address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
}

std::uint32_t inodeOf(int descriptor) {
    struct stat status {};
    ::fstat(descriptor, &status);
    return static_cast<std::uint32_t>(status.st_ino);
}

TEST(Attribution, TcpAndUdpSocketsOfThisProcessAreFoundByTheirPackets) {
    SocketDiagnostics diagnostics;
    SocketProcesses processes;
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(family == AF_INET ? "IPv4" : "IPv6");
        sockaddr_storage tcpServer{};
        sockaddr_storage udpServer{};
        const int listener = server(family, SOCK_STREAM, tcpServer);
        const int datagrams = server(family, SOCK_DGRAM, udpServer);

        const int tcp = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(tcp, reinterpret_cast<sockaddr*>(&tcpServer), lengthOf(tcpServer)), 0);
        const int connectedUdp = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(
            ::connect(connectedUdp, reinterpret_cast<sockaddr*>(&udpServer), lengthOf(udpServer)),
            0);
        // Never connected: bound to the wildcard by its first send.
        const int unconnectedUdp = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::sendto(unconnectedUdp, "x", 1, 0, reinterpret_cast<sockaddr*>(&udpServer),
                           lengthOf(udpServer)),
                  1);

        for (const auto& [descriptor, protocol, remote] :
             {std::tuple{tcp, PacketHeaders::tcp, tcpServer},
              std::tuple{connectedUdp, PacketHeaders::udp, udpServer},
              std::tuple{unconnectedUdp, PacketHeaders::udp, udpServer}}) {
            const auto socket = diagnostics.socketOf(packetFrom(descriptor, remote, protocol));
            ASSERT_TRUE(socket) << int(protocol);
            EXPECT_EQ(socket->inode, inodeOf(descriptor));
            EXPECT_EQ(socket->uid, ::geteuid());
            EXPECT_EQ(processes.processOf(socket->inode, socket->uid), ::getpid());
        }

        // Another local port is another socket: none has it.
        auto stranger = packetFrom(tcp, tcpServer, PacketHeaders::tcp);
        stranger.sourcePort = static_cast<std::uint16_t>(stranger.sourcePort ^ 0x5555);
        EXPECT_FALSE(diagnostics.socketOf(stranger));
        for (const int descriptor : {listener, datagrams, tcp, connectedUdp, unconnectedUdp}) {
            ::close(descriptor);
        }
    }
}

TEST(Attribution, TheSocketOfAnotherProcessIsItsOwnAndAGoneProcessIsNobody) {
    sockaddr_storage udpServer{};
    const int datagrams = server(AF_INET, SOCK_DGRAM, udpServer);
    int ready[2];
    int finish[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(finish), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Only the parent's end of `finish` stays open elsewhere, so the child ends when the
        // parent does, also when a failed expectation cut the test short.
        ::close(ready[0]);
        ::close(finish[1]);
        const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
        ::connect(socket, reinterpret_cast<sockaddr*>(&udpServer), sizeof(sockaddr_in));
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
        [[maybe_unused]] auto written = ::write(ready[1], &local.sin_port, sizeof local.sin_port);
        char byte;
        [[maybe_unused]] auto read = ::read(finish[0], &byte, 1);
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(finish[0]);
    in_port_t port = 0;
    ASSERT_EQ(::read(ready[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));

    auto packet = packetFrom(datagrams, udpServer, PacketHeaders::udp);
    packet.sourcePort = ntohs(port);
    SocketDiagnostics diagnostics;
    SocketProcesses processes;
    const auto socket = diagnostics.socketOf(packet);
    ASSERT_TRUE(socket);
    EXPECT_EQ(processes.processOf(socket->inode, socket->uid), child);
    EXPECT_EQ(processes.processOf(socket->inode, socket->uid), child) << "from what it remembers";

    ASSERT_EQ(::write(finish[1], "x", 1), 1);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_FALSE(processes.processOf(socket->inode, socket->uid));
    EXPECT_FALSE(diagnostics.socketOf(packet));
    for (const int descriptor : {datagrams, ready[0], finish[1]}) {
        ::close(descriptor);
    }
}

} // namespace
} // namespace zorvane
