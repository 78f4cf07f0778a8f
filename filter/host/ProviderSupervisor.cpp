#include "filter/host/ProviderSupervisor.h"

#include <asio/post.hpp>
#include <cstdio>

namespace zorvane {

ProviderSupervisor::ProviderSupervisor(asio::io_context& io,
                                       std::unique_ptr<HostedProvider> provider)
    : io_(io), provider_(std::move(provider)) {}

void ProviderSupervisor::apply(const std::optional<FilterConfiguration>& configuration) {
    if (shuttingDown_) {
        return;
    }
    const bool enabled = configuration && configuration->enabled;
    if (enabled) {
        const PlistDictionary* vendor = configuration->vendorConfiguration();
        provider_->setVendorConfiguration(vendor ? std::make_shared<const PlistDictionary>(*vendor)
                                                 : nullptr);
    }
    wantRunning_ = enabled;
    // A new configuration is a new chance for a start that failed before.
    startFailed_ = false;
    startError_.reset();
    reconcile();
}

FilterVerdict ProviderSupervisor::decide(const FilterFlow& flow) {
    return running_.load(std::memory_order_acquire) ? provider_->handleNewFlow(flow)
                                                    : FilterVerdict::allow;
}

void ProviderSupervisor::shutdown(std::function<void()> done) {
    shuttingDown_ = true;
    wantRunning_ = false;
    shutdownDone_ = std::move(done);
    reconcile();
}

void ProviderSupervisor::reconcile() {
    if (state_ == State::stopped && wantRunning_ && !startFailed_) {
        state_ = State::starting;
        // The provider may complete on any thread, or before startFilter returns; either way the
        // state changes on our thread, after this call has unwound.
        provider_->startFilter([this](std::optional<std::string> error) {
            asio::post(io_,
                       [this, error = std::move(error)]() mutable { started(std::move(error)); });
        });
    } else if (state_ == State::running && !wantRunning_) {
        state_ = State::stopping;
        running_.store(false, std::memory_order_release);
        provider_->stopFilter([this] { asio::post(io_, [this] { stopped(); }); });
    } else if (state_ == State::stopped && shuttingDown_ && shutdownDone_) {
        auto done = std::move(shutdownDone_);
        shutdownDone_ = nullptr;
        asio::post(io_, std::move(done));
    }
}

void ProviderSupervisor::started(std::optional<std::string> error) {
    if (error) {
        std::fprintf(stderr, "ZorvaneFilter: the filter did not start: %s\n", error->c_str());
        state_ = State::stopped;
        startFailed_ = true;
        startError_ = std::move(error);
    } else {
        state_ = State::running;
        running_.store(true, std::memory_order_release);
    }
    reconcile();
}

void ProviderSupervisor::stopped() {
    state_ = State::stopped;
    reconcile();
}

} // namespace zorvane
