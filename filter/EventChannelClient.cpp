#include "filter/EventChannelClient.h"

#include "filter/EventSendCompletionGate.h"
#include "shared/FilterEventEnvelope.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"

#include <asio/connect.hpp>
#include <asio/ip/address_v4.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <memory>

namespace zorvane {

EventChannelClient::EventChannelClient(ObservationQueue& queue, Configuration configuration)
    : queue_(queue), configuration_(std::move(configuration)),
      receiverCheck_(std::make_shared<const EventReceiverCheck>(configuration_.receiverCheck)) {}

void EventChannelClient::sendEnvelope(std::vector<NetworkActivityEvent> activityEvents,
                                      std::vector<DiscoveredNetworkProcess> observations,
                                      Completion completion) {
    const auto fail = [&completion] {
        if (completion) {
            completion(false);
        }
    };

    std::optional<std::string> token;
    if (configuration_.token) {
        token = configuration_.token();
    }
    if (!token || token->size() < minimumTokenSize) {
        return fail();
    }
    std::optional<std::uint16_t> port;
    if (configuration_.port) {
        port = configuration_.port();
    }
    if (!port || *port == 0) {
        return fail();
    }

    const FilterEventEnvelope envelope{std::move(*token), std::move(activityEvents),
                                       std::move(observations)};
    const auto json = RecordJson::encodeEnvelope(envelope);
    if (!json) {
        return fail();
    }
    // Refuses JSON over the limit; nothing is sent and the caller keeps its events.
    auto encoded = FrameCodec::encode(*json);
    if (!encoded) {
        return fail();
    }
    auto frame = std::make_shared<const std::string>(std::move(*encoded));

    asio::io_context& context = queue_.context();
    auto connection = std::make_shared<asio::ip::tcp::socket>(context);
    auto timeout = std::make_shared<asio::steady_timer>(context);
    // The time-out counts from now, not from when the queue gets to the connection.
    timeout->expires_after(configuration_.sendTimeout);
    {
        std::lock_guard lock(inFlight_->lock);
        ++inFlight_->count;
    }
    auto gate = std::make_shared<EventSendCompletionGate>(
        connection, timeout,
        [inFlight = inFlight_, completion = std::move(completion)](bool success) {
            if (completion) {
                completion(success);
            }
            // Notified under the lock: a waiter that sees zero may destroy what it waited on.
            std::lock_guard lock(inFlight->lock);
            --inFlight->count;
            inFlight->changed.notify_all();
        });

    const asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), *port);
    queue_.post([gate, connection, timeout, frame, endpoint, check = receiverCheck_] {
        timeout->async_wait([gate](const std::error_code& error) {
            if (!error) {
                gate->finish(false);
            }
        });
        connection->async_connect(endpoint, [gate, connection, frame, check,
                                             port = endpoint.port()](const std::error_code& error) {
            // Asked once connected: the socket that accepted this connection listens at the
            // port now, so only a listener changing hands within this moment could slip by.
            if (error || !check->accepts(port)) {
                gate->finish(false);
                return;
            }
            asio::async_write(
                *connection, asio::buffer(*frame),
                [gate, frame](const std::error_code& writeError, std::size_t written) {
                    gate->finish(!writeError && written == frame->size());
                });
        });
    });
}

std::size_t EventChannelClient::sendsInFlight() const {
    std::lock_guard lock(inFlight_->lock);
    return inFlight_->count;
}

void EventChannelClient::waitForSendsInFlight() {
    std::unique_lock lock(inFlight_->lock);
    inFlight_->changed.wait(lock, [this] { return inFlight_->count == 0; });
}

} // namespace zorvane
