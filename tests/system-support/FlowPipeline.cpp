#include "FlowPipeline.h"

#include "tools/FlowCommand.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr std::string_view dropReply = R"({"verdict":"drop"})";
constexpr std::string_view allowReply = R"({"verdict":"allow"})";
// How long the host may stay silent before the run counts as broken.
constexpr int replyTimeoutMilliseconds = 10'000;

int connectTo(const std::filesystem::path& socket) {
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
    if (descriptor < 0 ||
        ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        return -1;
    }
    return descriptor;
}

} // namespace

std::string FlowPipeline::request(const std::filesystem::path& applicationExecutable,
                                  const std::filesystem::path& processExecutable,
                                  const std::string& host, std::uint16_t port, bool inbound) {
    FlowCommand::Options options;
    options.application = applicationExecutable.string();
    options.process = processExecutable.string();
    options.host = host;
    options.port = port;
    options.inbound = inbound;
    return FlowCommand::requestLine(options);
}

FlowPipeline::Result FlowPipeline::run(const std::filesystem::path& socket,
                                       const std::vector<std::string>& lines, std::uint64_t count) {
    Result result;
    if (lines.empty() || count == 0) {
        return result;
    }
    const int descriptor = connectTo(socket);
    if (descriptor < 0) {
        result.problem = "cannot connect to " + socket.string() + ": " + std::strerror(errno);
        return result;
    }

    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> writeFailed{false};
    std::thread writer([&] {
        std::string batch;
        std::uint64_t next = 0;
        while (next < count) {
            batch.clear();
            // About 64 KiB per send: few system calls, and the host never waits for input.
            while (next < count && batch.size() < 64 * 1024) {
                batch += lines[next % lines.size()];
                batch += '\n';
                ++next;
            }
            for (std::size_t sent = 0; sent < batch.size();) {
                const ssize_t written =
                    ::send(descriptor, batch.data() + sent, batch.size() - sent, MSG_NOSIGNAL);
                if (written <= 0) {
                    if (written < 0 && errno == EINTR) {
                        continue;
                    }
                    writeFailed = true;
                    return;
                }
                sent += static_cast<std::size_t>(written);
            }
        }
    });

    std::string pending;
    std::vector<char> buffer(256 * 1024);
    std::uint64_t replies = 0;
    while (replies < count) {
        pollfd waiting{descriptor, POLLIN, 0};
        const int ready = ::poll(&waiting, 1, replyTimeoutMilliseconds);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            result.problem =
                "the host stopped answering after " + std::to_string(replies) + " replies";
            break;
        }
        const ssize_t received = ::recv(descriptor, buffer.data(), buffer.size(), 0);
        if (received <= 0) {
            result.problem = "the host closed the connection after " + std::to_string(replies) +
                             " replies" + (writeFailed ? " (sending failed)" : "");
            break;
        }
        pending.append(buffer.data(), static_cast<std::size_t>(received));
        std::size_t start = 0;
        for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos;
             start = end + 1) {
            const std::string_view reply(pending.data() + start, end - start);
            if (reply == dropReply) {
                ++result.dropped;
            } else if (reply == allowReply) {
                ++result.allowed;
            } else {
                ++result.failed;
            }
            ++replies;
        }
        pending.erase(0, start);
    }
    result.elapsed = std::chrono::steady_clock::now() - started;
    // A broken run leaves the writer blocked in send: the shutdown wakes it.
    ::shutdown(descriptor, SHUT_RDWR);
    writer.join();
    ::close(descriptor);
    return result;
}

} // namespace zorvane
