#pragma once

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// filter.sock: a Unix stream socket that takes one request per line and answers each with one
// line, in order. A line longer than maximumLineLength gets an error answer and the connection is
// closed, since the rest of it cannot be told apart from the next request.
class FlowSocketServer {
public:
    static constexpr std::size_t maximumLineLength = 64 * 1024;
    static constexpr std::size_t maximumConnections = 128;

    // Answers one request line (without its line break) with one reply (without line break).
    using RequestHandler = std::function<std::string(std::string_view line)>;
    // The reply to a line that is too long.
    using OversizedReply = std::function<std::string()>;

    FlowSocketServer(asio::io_context& io, std::filesystem::path socketPath, RequestHandler handler,
                     OversizedReply oversizedReply);
    ~FlowSocketServer();

    FlowSocketServer(const FlowSocketServer&) = delete;
    FlowSocketServer& operator=(const FlowSocketServer&) = delete;

    // Removes a stale socket file left by an earlier host (only call this while holding the host
    // lock), binds and listens. Empty on success, otherwise the reason.
    std::optional<std::string> start();
    // Stops accepting, closes every connection and removes the socket file.
    void stop();

    class Session;

private:
    void accept();

    std::filesystem::path socketPath_;
    RequestHandler handler_;
    OversizedReply oversizedReply_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    std::list<std::weak_ptr<Session>> sessions_;
    bool listening_ = false;
};

} // namespace zorvane
