#pragma once

#include "filter/host/HostedProvider.h"
#include "platform/FilterConfiguration.h"

#include <asio/io_context.hpp>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zorvane {

// Keeps the provider in step with the saved configuration, the way the system does on macOS:
// an enabled configuration starts the provider with its vendor dictionary (and replaces the
// dictionary on every later change); a disabled or absent one stops it, and with it stopped every
// flow is allowed. Runs on the host's io_context thread: every call, and every provider completion
// (posted back there), happens on that thread.
class ProviderSupervisor {
public:
    enum class State { stopped, starting, running, stopping };

    ProviderSupervisor(asio::io_context& io, std::unique_ptr<HostedProvider> provider);

    void apply(const std::optional<FilterConfiguration>& configuration);

    // Allows every flow unless the provider is running. The provider object lives as long as the
    // supervisor and decides concurrently while its dictionary is replaced, so a decision in
    // flight during a change simply finishes with the rules it started with.
    FilterVerdict decide(const FilterFlow& flow);
    // Safe on any thread, like decide(): what the provider resolved for the token is stale.
    void forgetProcess(const std::vector<std::uint8_t>& auditToken) {
        provider_->forgetProcess(auditToken);
    }

    // Stops the provider if it runs (its stop flush included) and then calls done; later
    // configurations no longer start it.
    void shutdown(std::function<void()> done);

    State state() const { return state_; }
    // The provider's reports still waiting for the application (kept across a stop and start).
    std::optional<FilterActivityRecorder::Backlog> activityBacklog() const {
        return provider_->activityBacklog();
    }
    // The error of the last start that failed, until a configuration arrives.
    const std::optional<std::string>& startError() const { return startError_; }

private:
    void reconcile();
    void started(std::optional<std::string> error);
    void stopped();

    asio::io_context& io_;
    std::unique_ptr<HostedProvider> provider_;
    State state_ = State::stopped;
    // state_ == running, for the decision threads.
    std::atomic<bool> running_{false};
    bool wantRunning_ = false;
    bool startFailed_ = false;
    std::optional<std::string> startError_;
    std::function<void()> shutdownDone_;
    bool shuttingDown_ = false;
};

} // namespace zorvane
