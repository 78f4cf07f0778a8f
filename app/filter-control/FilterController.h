#pragma once

#include "app/filter-control/DelayScheduler.h"
#include "app/filter-control/FilterRules.h"
#include "app/filter-control/FilterStatus.h"
#include "platform/FilterManager.h"
#include "platform/MainBundle.h"
#include "platform/SystemExtensionActivator.h"
#include "shared/Clock.h"
#include "shared/EventChannel.h"
#include "shared/Uuid.h"

#include <QObject>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zorvane {

// Installs the content-filter system extension and keeps the system's filter configuration in
// line with the rule set the block store derives: submits the activation request and answers its
// delegate callbacks, saves the configuration with the rules and the event channel, retries
// saves while the filter permission is still settling, restarts the filter provider when the
// event channel changed, and publishes one status for the interface.
//
// Main thread only. The filter manager's and the activator's answers arrive on any thread and
// are brought to the main thread before they touch anything; answers that arrive after the
// controller is gone are dropped. Every save takes a new configuration generation, and answers
// that belong to an older one change nothing, so the newest rule set alone decides the status.
class FilterController : public QObject {
    Q_OBJECT
    Q_PROPERTY(zorvane::FilterStatus status READ status NOTIFY statusChanged)

public:
    enum class DesiredState { on, off, unchanged };

    struct Dependencies {
        std::shared_ptr<FilterManager> filterManager;
        std::shared_ptr<SystemExtensionActivator> activator;
        std::shared_ptr<const MainBundle> mainBundle;
        // Empty: the receiver never publishes a channel.
        EventChannelSource eventChannel;
        std::shared_ptr<const Clock> clock = Clock::system();
        // Empty: Qt timers.
        std::shared_ptr<DelayScheduler> scheduler;
    };

    static constexpr std::chrono::milliseconds permissionRetryDelay{1500};
    static constexpr std::chrono::milliseconds providerRestartDelay{1000};
    // Saves that fail with a permission error are tried this often in all.
    static constexpr int maximumSaveAttempts = 4;
    static constexpr const char* localizedDescription = "Zorvane";
    static constexpr const char* fallbackBundleIdentifier = "com.example.Zorvane";
    static constexpr const char* extensionSuffix = ".FilterExtension";

    explicit FilterController(Dependencies dependencies, QObject* parent = nullptr);
    ~FilterController() override;

    const FilterStatus& status() const { return status_; }

    // Normalises and keeps the rules, then submits the activation request (or leaves the one
    // already submitted to use them when it finishes).
    void activate(const FilterRules& rules);
    // Saves the pending rules with the filter disabled.
    void deactivate();
    // Normalises and keeps the rules, and saves them without changing whether the filter is on.
    void applyRules(const FilterRules& rules);
    // For rules that take something away (an allowance revoked or ended): normalises and keeps
    // them and, whenever a configuration is stored, saves them into it at once, enabled or not,
    // also while an activation waits for its answer. Never creates a configuration, and leaves
    // the status to an activation still outstanding.
    void applyRulesToStoredConfiguration(const FilterRules& rules);
    // Publishes what the stored configuration shows; with rules, an enabled filter is
    // activated again with them.
    void refreshStatus(std::optional<FilterRules> rules = std::nullopt);

    // Writes these rules into the stored configuration on behalf of a process that does not
    // own the filter's life (the status agent): the event channel stays the one stored, the
    // filter is switched off when protection is not requested and otherwise left as it is.
    // Neither the status nor the pending rules change; failures are only logged.
    void synchronizeInBackground(const FilterRules& rules, bool protectionRequested);

    // The main bundle's identifier (or "com.example.Zorvane") followed by ".FilterExtension".
    std::string extensionBundleIdentifier() const;
    bool isInstalledInApplications() const;

    static bool isFilterPermissionError(const SystemError& error);
    static bool isAwaitingApprovalError(const SystemError& error);

    const FilterRules& pendingRules() const { return pendingRules_; }
    const std::optional<SystemExtensionRequest>& activationRequest() const {
        return activationRequest_;
    }
    const Uuid& configurationGeneration() const { return configurationGeneration_; }

signals:
    // The status changed.
    void statusChanged();
    // A status was published, changed or not: every refresh ends with one. Whoever decides
    // something from the first status the system reports needs this, as an unchanged status
    // raises no statusChanged.
    void statusPublished();

private:
    class RequestDelegate;

    // One run of the save sequence; retries reuse it with the next attempt number.
    struct Save {
        Uuid generation;
        DesiredState desired = DesiredState::unchanged;
        FilterRules rules;
        int attempt = 0;
        // Nothing to save into when no configuration is stored yet.
        bool onlyWhereStored = false;
    };

    FilterRules normalized(const FilterRules& rules) const;
    void saveConfiguration(DesiredState desired, bool onlyWhereStored = false);
    void endSave() { unfinishedDesire_ = DesiredState::unchanged; }
    void loadForSave(Save save);
    void saveLoaded(Save save, FilterManager::LoadResult loaded);
    void finishSave(Save save, bool channelChanged, const std::optional<SystemError>& error);
    void restartProvider(const Uuid& generation);
    void restartLoaded(const Uuid& generation, FilterManager::LoadResult loaded);
    void restartSaved(const std::optional<SystemError>& error);
    void finishRefresh(const FilterManager::LoadResult& loaded, std::optional<FilterRules> rules);
    void synchronizeLoaded(FilterRules rules, bool protectionRequested,
                           FilterManager::LoadResult loaded);

    void requestNeedsUserApproval(const SystemExtensionRequest& request);
    void requestDidFinish(const SystemExtensionRequest& request,
                          SystemExtensionRequestResult result);
    void requestDidFail(const SystemExtensionRequest& request, const SystemError& error);
    bool isCurrentRequest(const SystemExtensionRequest& request) const;

    void setStatus(FilterStatus status);
    std::optional<EventChannel> currentEventChannel() const;

    const Dependencies dependencies_;
    FilterStatus status_ = FilterStatus::inactive();
    FilterRules pendingRules_;
    std::optional<SystemExtensionRequest> activationRequest_;
    Uuid configurationGeneration_ = Uuid::random();
    std::uint64_t requestCount_ = 0;
    // False once protection was turned off after the last activate: an outstanding activation
    // then no longer enables the filter when it is approved.
    bool activationWanted_ = false;
    // What the newest save still under way is to do with the enabled state. A newer save that
    // leaves it unchanged takes this over, so that it cannot silently drop an approval's "on"
    // (or a restart's) by superseding that save.
    DesiredState unfinishedDesire_ = DesiredState::unchanged;
};

} // namespace zorvane
