#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zorvane {

// filter.sock: a Unix stream socket that takes one request per line and answers each with one
// line, in order. A line longer than maximumLineLength gets an error answer and the connection is
// closed, since the rest of it cannot be told apart from the next request.
//
// Sockets, timers and the connection list live on the io_context's thread; requests are answered
// on the decision executor (a small pool in the host), so a request that takes long holds up only
// its own connection. A connection has at most one request in flight, which keeps its replies in
// order without any reordering.
class FlowSocketServer {
public:
    static constexpr std::size_t maximumLineLength = 64 * 1024;

    struct Options {
        // At the cap, a new client closes the connection that has been idle longest; when none
        // is idle, the new client is turned away.
        std::size_t maximumConnections = 128;
        // A connection with no request in flight for this long is closed.
        std::chrono::milliseconds idleTimeout{60'000};
        // Peers running as this user, or as root, are served; any other peer is closed at once.
        // Empty: the server's own effective user.
        std::optional<uid_t> user;
    };

    // Answers one request line (without its line break) with one reply (without line break).
    // Called on the decision executor, possibly for several connections at once.
    using RequestHandler = std::function<std::string(std::string_view line)>;
    // The reply to a line that is too long.
    using OversizedReply = std::function<std::string()>;

    FlowSocketServer(asio::io_context& io, asio::any_io_executor decisions,
                     std::filesystem::path socketPath, RequestHandler handler,
                     OversizedReply oversizedReply, Options options);
    ~FlowSocketServer();

    FlowSocketServer(const FlowSocketServer&) = delete;
    FlowSocketServer& operator=(const FlowSocketServer&) = delete;

    // Removes a stale socket file left by an earlier host (only call this while holding the host
    // lock), binds, makes the socket file readable and writable by its owner alone, and listens.
    // Empty on success, otherwise the reason.
    std::optional<std::string> start();
    // Stops accepting, closes every connection and removes the socket file.
    void stop();

    class Session;

private:
    struct Handlers {
        RequestHandler request;
        OversizedReply oversized;
    };

    void accept();
    void admit(asio::local::stream_protocol::socket socket);
    bool peerAllowed(asio::local::stream_protocol::socket& socket) const;

    asio::any_io_executor decisions_;
    std::filesystem::path socketPath_;
    // Shared with the sessions, whose requests may still be on the decision executor after the
    // server is gone.
    std::shared_ptr<const Handlers> handlers_;
    Options options_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    std::list<std::weak_ptr<Session>> sessions_;
    bool listening_ = false;
};

} // namespace zorvane
