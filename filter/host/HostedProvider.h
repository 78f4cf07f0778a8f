#pragma once

#include "filter/FilterActivityRecorder.h"
#include "filter/FilterFlow.h"
#include "shared/PlistValue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// What the host needs of the provider it drives. The host's state handling is tested against
// fakes of this; the running host wraps the real FilterDataProvider.
class HostedProvider {
public:
    virtual ~HostedProvider() = default;
    virtual void setVendorConfiguration(std::shared_ptr<const PlistDictionary> configuration) = 0;
    virtual void startFilter(std::function<void(std::optional<std::string> error)> completion) = 0;
    virtual void stopFilter(std::function<void()> completion) = 0;
    virtual FilterVerdict handleNewFlow(const FilterFlow& flow) = 0;
    // A real process behind this token ended or runs another program now.
    virtual void forgetProcess(const std::vector<std::uint8_t>& /*auditToken*/) {}
    // What waits to be reported to the application; empty when the provider cannot say.
    virtual std::optional<FilterActivityRecorder::Backlog> activityBacklog() const {
        return std::nullopt;
    }
};

} // namespace zorvane
