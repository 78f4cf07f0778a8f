#include "LocalFilterEventReceiver.h"

#include "FilterEventFrameReader.h"
#include "platform/Preferences.h"
#include "platform/SecretStore.h"
#include "shared/Utf8.h"
#include "shared/Uuid.h"

#include <asio.hpp>
#include <atomic>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <vector>

namespace zorvane {
namespace {

using asio::ip::tcp;

std::string loadOrCreateToken(SecretStore& secrets) {
    const SecretReadResult stored = secrets.read(LocalFilterEventReceiver::keychainServiceName,
                                                 LocalFilterEventReceiver::tokenAccount);
    if (const auto* text = std::get_if<std::string>(&stored);
        text && text->size() >= LocalFilterEventReceiver::minimumTokenSize &&
        Utf8::isValid(*text)) {
        return *text;
    }
    std::string token = Uuid::random().string() + Uuid::random().string();
    // Whether this sticks does not matter now: the token serves this run, and a next run that
    // finds none makes another and re-saves the filter configuration once it listens.
    (void)secrets.write(LocalFilterEventReceiver::keychainServiceName,
                        LocalFilterEventReceiver::tokenAccount, token);
    return token;
}

std::optional<std::uint16_t> storedPort(const Preferences& preferences) {
    const auto value = preferences.value(LocalFilterEventReceiver::eventChannelPortKey);
    const std::int64_t* number = value ? value->integer() : nullptr;
    if (!number || *number <= 0 || *number > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*number);
}

// Errors after which accepting again can succeed: the failed connection was the peer's
// problem, or the process is short of descriptors or memory for a moment.
bool isTransientAcceptError(const std::error_code& error) {
    return error == asio::error::connection_aborted || error == asio::error::try_again ||
           error == asio::error::would_block || error == asio::error::interrupted ||
           error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory ||
           error == std::error_code(ENFILE, asio::error::get_system_category()) ||
           error == std::error_code(EPROTO, asio::error::get_system_category()) ||
           error == std::error_code(EPERM, asio::error::get_system_category());
}

bool needsPause(const std::error_code& error) {
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory ||
           error == std::error_code(ENFILE, asio::error::get_system_category());
}

} // namespace

// Everything that lives on the receiver's queue. Only the published channel, the token, the
// preferred port and the connection count are touched from other threads.
class LocalFilterEventReceiver::Queue {
public:
    Queue(std::shared_ptr<Preferences> preferences, std::string token,
          std::optional<std::uint16_t> preferredPort, Limits limits)
        : preferences_(std::move(preferences)), token_(std::move(token)),
          preferredPort_(preferredPort), limits_(limits),
          scratch_(std::max<std::size_t>(limits.maximumReceiveSize, 1)), acceptRetryTimer_(io_),
          work_(asio::make_work_guard(io_)) {
        thread_ = std::thread([this] {
            // Thread names are limited to 15 characters.
            pthread_setname_np(pthread_self(), "event-receiver");
            io_.run();
        });
    }

    ~Queue() {
        asio::post(io_, [this] { shutDown(); });
        work_.reset();
        thread_.join();
    }

    void start(std::optional<std::uint16_t> preferredPort, bool retry, ReadyHandler onReady,
               EnvelopeHandler onEnvelope) {
        asio::post(io_, [this, preferredPort, retry, onReady = std::move(onReady),
                         onEnvelope = std::move(onEnvelope)]() mutable {
            if (acceptor_) {
                return;
            }
            onReady_ = std::move(onReady);
            onEnvelope_ = std::move(onEnvelope);
            listen(preferredPort, retry);
        });
    }

    const std::string& token() const { return token_; }
    std::optional<std::uint16_t> preferredPort() const { return preferredPort_; }

    std::optional<EventChannel> channel() const {
        std::lock_guard lock(channelMutex_);
        return channel_;
    }

    std::size_t connectionCount() const { return connectionCount_.load(); }

private:
    struct Connection {
        Connection(tcp::socket s, asio::io_context& io, const std::string& token)
            : socket(std::move(s)), deadline(io), reader(token) {}
        tcp::socket socket;
        asio::steady_timer deadline;
        FilterEventFrameReader reader;
        std::list<std::shared_ptr<Connection>>::iterator position;
        bool open = true;
    };
    using ConnectionPointer = std::shared_ptr<Connection>;

    // The application starts other programs (the filter host among them). A listener they
    // inherited would outlive the application: the filter's reports would be accepted into a
    // backlog nobody reads, and lost, while the application is away.
    static void keepFromChildren(int descriptor) {
        const int flags = ::fcntl(descriptor, F_GETFD);
        if (flags >= 0) {
            ::fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
        }
    }

    void listen(std::optional<std::uint16_t> preferredPort, bool retry) {
        if (acceptor_) {
            return;
        }
        // The required local endpoint is the loopback address: nothing off this machine can
        // reach the listener.
        const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), preferredPort.value_or(0));
        auto acceptor = std::make_shared<tcp::acceptor>(io_);
        std::error_code error;
        acceptor->open(endpoint.protocol(), error);
        if (!error) {
            keepFromChildren(acceptor->native_handle());
        }
        // Our own connections linger in TIME_WAIT after we close them; without this a quick
        // restart could not have its port back. Linux still refuses a port that another socket
        // listens on.
        if (!error) {
            acceptor->set_option(tcp::acceptor::reuse_address(true), error);
        }
        if (!error) {
            acceptor->bind(endpoint, error);
        }
        if (!error) {
            acceptor->listen(asio::socket_base::max_listen_connections, error);
        }
        if (error) {
            if (retry) {
                forgetPreferredPort();
                listen(std::nullopt, false);
            }
            return;
        }
        acceptor_ = acceptor;
        retry_ = retry;
        asio::post(io_, [this, acceptor] {
            if (acceptor == acceptor_) {
                becameReady();
            }
        });
        acceptNext();
    }

    void becameReady() {
        std::error_code error;
        const std::uint16_t port = acceptor_->local_endpoint(error).port();
        if (error || port == 0) {
            return;
        }
        preferences_->setValue(eventChannelPortKey, PlistValue(static_cast<int>(port)));
        preferences_->synchronize();
        publish(EventChannel{port, token_});
        if (onReady_) {
            onReady_();
        }
    }

    void acceptNext() {
        acceptor_->async_accept(
            [this, acceptor = acceptor_](std::error_code error, tcp::socket socket) {
                if (acceptor != acceptor_) {
                    return; // a listener that is gone
                }
                if (!error) {
                    keepFromChildren(socket.native_handle());
                    open(std::move(socket));
                    acceptNext();
                } else if (error == asio::error::operation_aborted) {
                    cancelled();
                } else if (isTransientAcceptError(error)) {
                    acceptAgain(needsPause(error));
                } else {
                    failed();
                }
            });
    }

    void acceptAgain(bool afterPause) {
        if (!afterPause) {
            acceptNext();
            return;
        }
        acceptRetryTimer_.expires_after(limits_.acceptRetryDelay);
        acceptRetryTimer_.async_wait([this, acceptor = acceptor_](std::error_code error) {
            if (!error && acceptor == acceptor_) {
                acceptNext();
            }
        });
    }

    void failed() {
        publish(std::nullopt);
        dropListener();
        if (std::exchange(retry_, false)) {
            forgetPreferredPort();
            listen(std::nullopt, false);
        }
    }

    void cancelled() {
        publish(std::nullopt);
        dropListener();
    }

    void dropListener() {
        if (acceptor_) {
            std::error_code ignored;
            acceptor_->close(ignored);
            acceptor_.reset();
        }
        acceptRetryTimer_.cancel();
    }

    void forgetPreferredPort() {
        preferences_->removeValue(eventChannelPortKey);
        preferences_->synchronize();
    }

    void publish(std::optional<EventChannel> channel) {
        std::lock_guard lock(channelMutex_);
        channel_ = std::move(channel);
    }

    void open(tcp::socket socket) {
        if (connections_.size() >= std::max<std::size_t>(limits_.maximumConnections, 1)) {
            close(connections_.front());
        }
        auto connection = std::make_shared<Connection>(std::move(socket), io_, token_);
        connection->position = connections_.insert(connections_.end(), connection);
        connectionCount_.store(connections_.size());
        std::error_code error;
        connection->socket.non_blocking(true, error);
        if (error) {
            close(connection);
            return;
        }
        connection->deadline.expires_after(limits_.connectionTimeLimit);
        connection->deadline.async_wait([this, connection](std::error_code timerError) {
            if (!timerError) {
                close(connection);
            }
        });
        awaitData(connection);
    }

    // Waiting for readability instead of reading into a buffer of its own means an idle
    // connection holds no receive buffer; every read goes through the one scratch buffer.
    void awaitData(const ConnectionPointer& connection) {
        connection->socket.async_wait(tcp::socket::wait_read,
                                      [this, connection](std::error_code error) {
                                          if (!connection->open) {
                                              return;
                                          }
                                          if (error) {
                                              close(connection);
                                              return;
                                          }
                                          readAvailable(connection);
                                      });
    }

    void readAvailable(const ConnectionPointer& connection) {
        std::error_code error;
        const std::size_t size = connection->socket.read_some(
            asio::buffer(scratch_.data(), std::min(scratch_.size(), limits_.maximumReceiveSize)),
            error);
        if (error == asio::error::would_block || error == asio::error::try_again) {
            awaitData(connection);
            return;
        }
        if (error) {
            // A receive error, or the peer closed before its frame was complete.
            close(connection);
            return;
        }
        if (size > limits_.maximumBufferedBytes - bufferedBytes_) {
            close(connection);
            return;
        }
        auto& reader = connection->reader;
        const std::size_t before = reader.bytesBuffered();
        const auto status = reader.append(std::string_view(scratch_.data(), size));
        bufferedBytes_ = bufferedBytes_ - before + reader.bytesBuffered();
        switch (status) {
        case FilterEventFrameReader::Status::needMore:
            awaitData(connection);
            return;
        case FilterEventFrameReader::Status::accepted:
            if (auto envelope = reader.takeEnvelope(); envelope && onEnvelope_) {
                onEnvelope_(std::move(*envelope));
            }
            close(connection);
            return;
        case FilterEventFrameReader::Status::refused:
            close(connection);
            return;
        }
    }

    void close(const ConnectionPointer& connectionReference) {
        // The reference may be the list's own element, which the erase below destroys.
        const ConnectionPointer connection = connectionReference;
        if (!connection->open) {
            return;
        }
        connection->open = false;
        bufferedBytes_ -= connection->reader.bytesBuffered();
        // Counted out before the peer can see the close.
        connections_.erase(connection->position);
        connectionCount_.store(connections_.size());
        std::error_code ignored;
        connection->socket.close(ignored);
        connection->deadline.cancel();
    }

    void shutDown() {
        if (acceptor_) {
            cancelled();
        }
        while (!connections_.empty()) {
            close(connections_.front());
        }
    }

    // Declared first so that it is destroyed last, after every socket and timer of its own.
    asio::io_context io_;
    const std::shared_ptr<Preferences> preferences_;
    const std::string token_;
    const std::optional<std::uint16_t> preferredPort_;
    const Limits limits_;

    mutable std::mutex channelMutex_;
    std::optional<EventChannel> channel_;
    std::atomic<std::size_t> connectionCount_{0};

    // Queue-only state.
    std::vector<char> scratch_;
    std::shared_ptr<tcp::acceptor> acceptor_;
    asio::steady_timer acceptRetryTimer_;
    bool retry_ = false;
    ReadyHandler onReady_;
    EnvelopeHandler onEnvelope_;
    std::list<ConnectionPointer> connections_; // oldest first
    std::size_t bufferedBytes_ = 0;

    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

LocalFilterEventReceiver::LocalFilterEventReceiver(std::shared_ptr<Preferences> preferences,
                                                   SecretStore& secrets)
    : LocalFilterEventReceiver(std::move(preferences), secrets, Limits{}) {}

LocalFilterEventReceiver::LocalFilterEventReceiver(std::shared_ptr<Preferences> preferences,
                                                   SecretStore& secrets, Limits limits) {
    std::string token = loadOrCreateToken(secrets);
    const auto port = storedPort(*preferences);
    queue_ = std::make_unique<Queue>(std::move(preferences), std::move(token), port, limits);
}

LocalFilterEventReceiver::~LocalFilterEventReceiver() = default;

void LocalFilterEventReceiver::start(std::optional<std::uint16_t> preferredPort,
                                     bool retryWithAnyPort, ReadyHandler onReady,
                                     EnvelopeHandler onEnvelope) {
    queue_->start(preferredPort, retryWithAnyPort, std::move(onReady), std::move(onEnvelope));
}

const std::string& LocalFilterEventReceiver::authenticationToken() const {
    return queue_->token();
}

std::optional<std::uint16_t> LocalFilterEventReceiver::preferredPort() const {
    return queue_->preferredPort();
}

std::optional<EventChannel> LocalFilterEventReceiver::channel() const {
    return queue_->channel();
}

std::size_t LocalFilterEventReceiver::connectionCount() const {
    return queue_->connectionCount();
}

} // namespace zorvane
