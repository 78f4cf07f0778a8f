#pragma once

#include "filter/FilterFlow.h"
#include "filter/ProcessIdentity.h"
#include "shared/Clock.h"
#include "shared/PlistValue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace zorvane {

class TaskInspector;

// The filter's provider: the host (the system on macOS, filter/host on Linux) creates one, starts
// it, hands it the configuration's vendor dictionary whenever that changes, asks it for a verdict
// on every new flow, and stops it.
class FilterDataProvider {
public:
    // The host's way of applying filter settings; the callback receives the error text, if any.
    using ApplySettings = std::function<void(std::function<void(std::optional<std::string>)>)>;

    struct Dependencies {
        std::shared_ptr<TaskInspector> taskInspector;
        std::shared_ptr<const Clock> clock = Clock::system();
        ApplySettings applySettings;
        // The running program's main-bundle identifier (the filter's own).
        std::optional<std::string> mainBundleIdentifier;
    };

    explicit FilterDataProvider(Dependencies dependencies);
    ~FilterDataProvider();

    FilterDataProvider(const FilterDataProvider&) = delete;
    FilterDataProvider& operator=(const FilterDataProvider&) = delete;

    // Replaces the vendor dictionary; null means the configuration has none. Safe to call while
    // flows are being decided: the next decision uses the new one.
    void setVendorConfiguration(std::shared_ptr<const PlistDictionary> vendorConfiguration);

    void startFilter(std::function<void(std::optional<std::string> error)> completion);
    void stopFilter(std::function<void()> completion);

    FilterVerdict handleNewFlow(const FilterFlow& flow);

    // Further public members (rule-set readers, identity resolution, ...) are added by the
    // implementation.
};

} // namespace zorvane
