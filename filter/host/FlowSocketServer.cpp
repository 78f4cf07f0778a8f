#include "filter/host/FlowSocketServer.h"

#include <asio/read_until.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zorvane {

class FlowSocketServer::Session : public std::enable_shared_from_this<Session> {
public:
    Session(asio::local::stream_protocol::socket socket, const RequestHandler& handler,
            const OversizedReply& oversizedReply)
        : socket_(std::move(socket)), buffer_(maximumLineLength + 1), handler_(handler),
          oversizedReply_(oversizedReply) {}

    void start() { readLine(); }

    void close() {
        asio::error_code ignored;
        socket_.close(ignored);
    }

private:
    void readLine() {
        asio::async_read_until(
            socket_, buffer_, '\n',
            [self = shared_from_this()](const asio::error_code& error, std::size_t length) {
                self->lineRead(error, length);
            });
    }

    void lineRead(const asio::error_code& error, std::size_t length) {
        if (error == asio::error::not_found) {
            // The buffer is full and still holds no line break.
            reply(oversizedReply_(), /*closeAfterwards=*/true);
            return;
        }
        if (error) {
            return; // end of stream, or closed by stop()
        }
        std::string line(asio::buffers_begin(buffer_.data()),
                         asio::buffers_begin(buffer_.data()) +
                             static_cast<std::ptrdiff_t>(length - 1));
        buffer_.consume(length);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        reply(handler_(line), /*closeAfterwards=*/false);
    }

    void reply(std::string text, bool closeAfterwards) {
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
    asio::streambuf buffer_;
    std::string outgoing_;
    const RequestHandler& handler_;
    const OversizedReply& oversizedReply_;
};

FlowSocketServer::FlowSocketServer(asio::io_context& io, std::filesystem::path socketPath,
                                   RequestHandler handler, OversizedReply oversizedReply)
    : socketPath_(std::move(socketPath)), handler_(std::move(handler)),
      oversizedReply_(std::move(oversizedReply)), acceptor_(io), acceptRetry_(io) {}

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
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (error) {
        asio::error_code ignored;
        acceptor_.close(ignored);
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
    acceptor_.async_accept([this](const asio::error_code& error,
                                  asio::local::stream_protocol::socket socket) {
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
        sessions_.remove_if([](const auto& weak) { return weak.expired(); });
        if (sessions_.size() < maximumConnections) {
            auto session = std::make_shared<Session>(std::move(socket), handler_, oversizedReply_);
            sessions_.push_back(session);
            session->start();
        } // else: the socket closes here; the client sees the end of the stream.
        accept();
    });
}

} // namespace zorvane
