#include "filter/host/FlowSocketServer.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace zorvane {

class FlowSocketServer::Session : public std::enable_shared_from_this<Session> {
public:
    Session(asio::local::stream_protocol::socket socket, asio::any_io_executor decisions,
            std::shared_ptr<const Handlers> handlers, std::chrono::milliseconds idleTimeout)
        : socket_(std::move(socket)), socketThread_(socket_.get_executor()),
          idleTimer_(socketThread_), decisions_(std::move(decisions)),
          buffer_(maximumLineLength + 1), handlers_(std::move(handlers)), idleTimeout_(idleTimeout),
          lastActive_(std::chrono::steady_clock::now()) {}

    void start() { readLine(); }

    void close() {
        asio::error_code ignored;
        idleTimer_.cancel();
        socket_.close(ignored);
    }

    bool isOpen() const { return socket_.is_open(); }
    bool isIdle() const { return !busy_; }
    std::chrono::steady_clock::time_point lastActive() const { return lastActive_; }

private:
    void readLine() {
        busy_ = false;
        lastActive_ = std::chrono::steady_clock::now();
        idleTimer_.expires_after(idleTimeout_);
        idleTimer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            auto self = weak.lock();
            if (!error && self && !self->busy_) {
                self->close();
            }
        });
        asio::async_read_until(
            socket_, buffer_, '\n',
            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                self->lineRead(error, length);
            });
    }

    void lineRead(const asio::error_code& error, std::size_t length) {
        busy_ = true;
        lastActive_ = std::chrono::steady_clock::now();
        idleTimer_.cancel();
        if (error == asio::error::not_found) {
            // The buffer is full and still holds no line break.
            reply(handlers_->oversized(), /*closeAfterwards=*/true);
            return;
        }
        if (error) {
            close(); // end of stream, or closed by stop() or the idle time-out
            return;
        }
        // The line just read, and every further whole line that came with it: a client that
        // sends ahead gets its answers in one hop to the decision thread and one write.
        std::vector<std::string> lines{takeLine(length)};
        for (;;) {
            const auto data = buffer_.data();
            const auto begin = asio::buffers_begin(data);
            const auto end = std::find(begin, asio::buffers_end(data), '\n');
            if (end == asio::buffers_end(data)) {
                break;
            }
            lines.push_back(takeLine(static_cast<std::size_t>(end - begin) + 1));
        }
        // The answers are worked out off the socket thread and come back to it in order. Only
        // the handlers and the lines go to the decision thread, nothing of the session's state.
        asio::post(decisions_, [self = shared_from_this(), lines = std::move(lines)]() mutable {
            std::string answers;
            for (const auto& line : lines) {
                if (!answers.empty()) {
                    answers.push_back('\n');
                }
                answers += self->handlers_->request(line);
            }
            // The session goes back with the replies, so that it always ends on the socket thread.
            const auto socketThread = self->socketThread_;
            asio::post(socketThread,
                       [self = std::move(self), answers = std::move(answers)]() mutable {
                           self->reply(std::move(answers), /*closeAfterwards=*/false);
                       });
        });
    }

    // Removes one line of that length (line break included) from the buffer.
    std::string takeLine(std::size_t length) {
        std::string line(asio::buffers_begin(buffer_.data()),
                         asio::buffers_begin(buffer_.data()) +
                             static_cast<std::ptrdiff_t>(length - 1));
        buffer_.consume(length);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return line;
    }

    void reply(std::string text, bool closeAfterwards) {
        if (!socket_.is_open()) {
            return;
        }
        outgoing_ = std::move(text);
        outgoing_.push_back('\n');
        asio::async_write(socket_, asio::buffer(outgoing_),
                          [self = shared_from_this(),
                           closeAfterwards](const asio::error_code& error, std::size_t) {
                              if (error || closeAfterwards) {
                                  asio::error_code ignored;
                                  self->socket_.shutdown(asio::socket_base::shutdown_both, ignored);
                                  self->close();
                                  return;
                              }
                              self->readLine();
                          });
    }

    asio::local::stream_protocol::socket socket_;
    const asio::any_io_executor socketThread_;
    asio::steady_timer idleTimer_;
    asio::any_io_executor decisions_;
    asio::streambuf buffer_;
    std::string outgoing_;
    std::shared_ptr<const Handlers> handlers_;
    const std::chrono::milliseconds idleTimeout_;
    std::chrono::steady_clock::time_point lastActive_;
    bool busy_ = false;
};

FlowSocketServer::FlowSocketServer(asio::io_context& io, asio::any_io_executor decisions,
                                   std::filesystem::path socketPath, RequestHandler handler,
                                   OversizedReply oversizedReply, Options options)
    : decisions_(std::move(decisions)), socketPath_(std::move(socketPath)),
      handlers_(std::make_shared<const Handlers>(
          Handlers{std::move(handler), std::move(oversizedReply)})),
      options_(options), acceptor_(io), acceptRetry_(io) {
    if (!options_.user) {
        options_.user = ::geteuid();
    }
}

FlowSocketServer::~FlowSocketServer() {
    stop();
}

std::optional<std::string> FlowSocketServer::start() {
    const std::string path = socketPath_.string();
    if (path.size() >= sizeof(sockaddr_un::sun_path)) {
        return "the socket path " + path + " is longer than a Unix socket address allows (" +
               std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes)";
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) == 0) {
        if (!S_ISSOCK(status.st_mode)) {
            return path + " exists and is not a socket; not removing it";
        }
        // Nobody serves it: the host lock, which the caller holds, says so.
        ::unlink(path.c_str());
    }

    asio::error_code error;
    const asio::local::stream_protocol::endpoint endpoint(path);
    acceptor_.open(endpoint.protocol(), error);
    if (!error) {
        acceptor_.bind(endpoint, error);
    }
    // bind() made the file with the umask's mode. Nobody can reach it before listen() below, and
    // the directory is the owner's alone, so setting the mode now leaves no window.
    if (!error && ::chmod(path.c_str(), 0600) != 0) {
        error = asio::error_code(errno, asio::error::get_system_category());
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
        ::unlink(path.c_str());
        return "cannot listen on " + path + ": " + error.message();
    }
    listening_ = true;
    accept();
    return std::nullopt;
}

void FlowSocketServer::stop() {
    asio::error_code ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    for (auto& weak : sessions_) {
        if (auto session = weak.lock()) {
            session->close();
        }
    }
    sessions_.clear();
    if (listening_) {
        listening_ = false;
        ::unlink(socketPath_.c_str());
    }
}

void FlowSocketServer::accept() {
    acceptor_.async_accept(
        [this](const asio::error_code& error, asio::local::stream_protocol::socket socket) {
            if (error == asio::error::operation_aborted || !acceptor_.is_open()) {
                return;
            }
            if (error) {
                // Out of descriptors or similar: try again shortly rather than spinning.
                acceptRetry_.expires_after(std::chrono::milliseconds(100));
                acceptRetry_.async_wait([this](const asio::error_code& timerError) {
                    if (!timerError && acceptor_.is_open()) {
                        accept();
                    }
                });
                return;
            }
            admit(std::move(socket));
            accept();
        });
}

bool FlowSocketServer::peerAllowed(asio::local::stream_protocol::socket& socket) const {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
        length != sizeof peer) {
        return false;
    }
    return peer.uid == *options_.user || peer.uid == 0;
}

void FlowSocketServer::admit(asio::local::stream_protocol::socket socket) {
    if (!peerAllowed(socket)) {
        return; // the socket closes here: another user learns nothing of the filter
    }
    sessions_.remove_if([](const auto& weak) {
        auto session = weak.lock();
        return !session || !session->isOpen();
    });
    if (sessions_.size() >= options_.maximumConnections) {
        // Idle clients must not lock out one that has something to ask.
        auto oldest = sessions_.end();
        std::shared_ptr<Session> oldestSession;
        for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
            auto session = it->lock();
            if (session && session->isIdle() &&
                (!oldestSession || session->lastActive() < oldestSession->lastActive())) {
                oldest = it;
                oldestSession = std::move(session);
            }
        }
        if (!oldestSession) {
            return; // every connection has a request in flight: the new client sees the end
        }
        oldestSession->close();
        sessions_.erase(oldest);
    }
    auto session =
        std::make_shared<Session>(std::move(socket), decisions_, handlers_, options_.idleTimeout);
    sessions_.push_back(session);
    session->start();
}

} // namespace zorvane
