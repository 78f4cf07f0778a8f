#pragma once

#include "filter/FilterDataProvider.h"
#include "filter/host/HostedProvider.h"

namespace zorvane {

// The real provider, as the host drives it.
class HostedFilterDataProvider final : public HostedProvider {
public:
    explicit HostedFilterDataProvider(FilterDataProvider::Dependencies dependencies)
        : provider_(std::move(dependencies)) {}

    void setVendorConfiguration(std::shared_ptr<const PlistDictionary> configuration) override {
        provider_.setVendorConfiguration(std::move(configuration));
    }
    void startFilter(std::function<void(std::optional<std::string>)> completion) override {
        provider_.startFilter(std::move(completion));
    }
    void stopFilter(std::function<void()> completion) override {
        provider_.stopFilter(std::move(completion));
    }
    FilterVerdict handleNewFlow(const FilterFlow& flow) override {
        return provider_.handleNewFlow(flow);
    }
    void forgetProcess(const std::vector<std::uint8_t>& auditToken) override {
        provider_.forgetProcess(auditToken);
    }
    std::optional<FilterActivityRecorder::Backlog> activityBacklog() const override {
        return provider_.activityBacklog();
    }

private:
    FilterDataProvider provider_;
};

} // namespace zorvane
