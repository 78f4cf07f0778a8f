#include "tools/FlowSocketClient.h"

#include "platform/linux/Descriptor.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorvane {
FlowSocketClient::FlowSocketClient(std::filesystem::path socketPath,
                                   std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

FlowSocketClient::Result FlowSocketClient::exchange(const std::string& requestLine) const {
    const std::string path = socketPath_.string();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        return {Outcome::failed, {}, "the socket path is too long: " + path};
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    const Descriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        return {
            Outcome::failed, {}, std::string("cannot create a socket: ") + std::strerror(errno)};
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (errno == ENOENT || errno == ECONNREFUSED) {
            return {Outcome::notRunning, {}, {}};
        }
        return {Outcome::failed, {}, "cannot connect to " + path + ": " + std::strerror(errno)};
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    auto remaining = [&] {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    };
    const std::string outgoing = requestLine + "\n";
    for (std::size_t sent = 0; sent < outgoing.size();) {
        const ssize_t result =
            ::send(socket.get(), outgoing.data() + sent, outgoing.size() - sent, MSG_NOSIGNAL);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return {Outcome::failed,
                    {},
                    std::string("cannot send the request: ") + std::strerror(errno)};
        }
        sent += static_cast<std::size_t>(result);
    }

    std::string incoming;
    for (;;) {
        if (auto end = incoming.find('\n'); end != std::string::npos) {
            return {Outcome::replied, incoming.substr(0, end), {}};
        }
        pollfd waiting{socket.get(), POLLIN, 0};
        const int ready = ::poll(&waiting, 1, remaining());
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return {Outcome::failed, {}, "the filter host did not answer in time"};
        }
        char buffer[4096];
        const ssize_t received = ::recv(socket.get(), buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            return {Outcome::failed, {}, "the filter host closed the connection without answering"};
        }
        incoming.append(buffer, static_cast<std::size_t>(received));
    }
}

} // namespace zorvane
