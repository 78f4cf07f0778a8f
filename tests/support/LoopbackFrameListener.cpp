#include "tests/support/LoopbackFrameListener.h"

#include "shared/RecordJson.h"

#include <array>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>

namespace zorvane::testing {

struct LoopbackFrameListener::Implementation {
    asio::io_context context{1};
    asio::ip::tcp::acceptor acceptor{context};
    std::thread thread;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::size_t accepted = 0;
    std::vector<Received> received;

    struct Connection {
        explicit Connection(asio::io_context& io) : socket(io) {}
        asio::ip::tcp::socket socket;
        FrameAssembler assembler;
        std::size_t total = 0;
        std::array<char, 65536> buffer{};
    };

    void accept() {
        auto connection = std::make_shared<Connection>(context);
        acceptor.async_accept(connection->socket, [this, connection](const std::error_code& error) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                accept();
                return;
            }
            {
                std::lock_guard guard(lock);
                ++accepted;
            }
            read(connection);
            accept();
        });
    }

    void read(const std::shared_ptr<Connection>& connection) {
        connection->socket.async_read_some(
            asio::buffer(connection->buffer),
            [this, connection](const std::error_code& error, std::size_t size) {
                if (size > 0) {
                    connection->total += size;
                    connection->assembler.append(std::string_view(connection->buffer.data(), size));
                }
                if (!error) {
                    read(connection);
                    return;
                }
                Received entry;
                entry.status = connection->assembler.status();
                entry.bytesReceived = connection->total;
                if (entry.status == FrameAssembler::Status::complete) {
                    entry.envelopeSize = connection->assembler.envelopeText().size();
                    entry.envelope =
                        RecordJson::decodeEnvelope(connection->assembler.envelopeText());
                }
                {
                    std::lock_guard guard(lock);
                    received.push_back(std::move(entry));
                }
                changed.notify_all();
            });
    }
};

LoopbackFrameListener::LoopbackFrameListener(std::uint16_t port)
    : implementation_(std::make_unique<Implementation>()) {
    auto& acceptor = implementation_->acceptor;
    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen();
    port_ = acceptor.local_endpoint().port();
    implementation_->accept();
    implementation_->thread = std::thread([this] { implementation_->context.run(); });
}

LoopbackFrameListener::~LoopbackFrameListener() {
    implementation_->context.stop();
    implementation_->thread.join();
}

std::size_t LoopbackFrameListener::connectionsAccepted() const {
    std::lock_guard guard(implementation_->lock);
    return implementation_->accepted;
}

std::vector<LoopbackFrameListener::Received> LoopbackFrameListener::received() const {
    std::lock_guard guard(implementation_->lock);
    return implementation_->received;
}

bool LoopbackFrameListener::waitFor(
    const std::function<bool(const std::vector<Received>&)>& condition,
    std::chrono::milliseconds limit) const {
    std::unique_lock guard(implementation_->lock);
    return implementation_->changed.wait_for(guard, limit,
                                             [&] { return condition(implementation_->received); });
}

bool LoopbackFrameListener::waitForCount(std::size_t count, std::chrono::milliseconds limit) const {
    return waitFor([count](const auto& received) { return received.size() >= count; }, limit);
}

std::uint16_t LoopbackFrameListener::unusedPort() {
    asio::io_context context;
    asio::ip::tcp::acceptor acceptor(context,
                                     asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
}

} // namespace zorvane::testing
