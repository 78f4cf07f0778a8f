#include "app/filter-control/FilterController.h"

#include "app/filter-control/FilterControlLog.h"
#include "app/filter-control/FilterRuleNormalizer.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "shared/OwnIdentifier.h"
#include "shared/PlatformWording.h"

#include <QCoreApplication>
#include <QPointer>
#include <filesystem>
#include <system_error>

namespace zorvane {
namespace {

// Runs work with the controller on the main thread, later, and not at all once the controller
// is gone. Callable from any thread; the guard is made on the main thread by the caller.
template <typename Work> void onMainThread(const QPointer<FilterController>& guard, Work work) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!application) {
        return;
    }
    QMetaObject::invokeMethod(
        application,
        [guard, work = std::move(work)]() mutable {
            if (FilterController* controller = guard.data()) {
                work(*controller);
            }
        },
        Qt::QueuedConnection);
}

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

const char* utf8(const std::string& value) {
    return value.c_str();
}

} // namespace

// Answers the activator on its behalf; the controller may be gone by the time an answer comes.
class FilterController::RequestDelegate final : public SystemExtensionRequestDelegate {
public:
    explicit RequestDelegate(FilterController* controller) : controller_(controller) {}

    SystemExtensionReplacementAction
    actionForReplacingExtension(const SystemExtensionRequest&, const SystemExtensionProperties&,
                                const SystemExtensionProperties&) override {
        // The copy the user runs now always brings the extension that belongs to it.
        return SystemExtensionReplacementAction::replace;
    }

    void requestNeedsUserApproval(const SystemExtensionRequest& request) override {
        onMainThread(controller_, [request](FilterController& controller) {
            controller.requestNeedsUserApproval(request);
        });
    }

    void requestDidFinish(const SystemExtensionRequest& request,
                          SystemExtensionRequestResult result) override {
        onMainThread(controller_, [request, result](FilterController& controller) {
            controller.requestDidFinish(request, result);
        });
    }

    void requestDidFail(const SystemExtensionRequest& request, const SystemError& error) override {
        onMainThread(controller_, [request, error](FilterController& controller) {
            controller.requestDidFail(request, error);
        });
    }

private:
    const QPointer<FilterController> controller_;
};

FilterController::FilterController(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_([&] {
          if (!dependencies.scheduler) {
              dependencies.scheduler = DelayScheduler::timers();
          }
          if (!dependencies.clock) {
              dependencies.clock = Clock::system();
          }
          return std::move(dependencies);
      }()) {}

FilterController::~FilterController() = default;

std::string FilterController::extensionBundleIdentifier() const {
    std::optional<std::string> identifier =
        dependencies_.mainBundle ? dependencies_.mainBundle->identifier() : std::nullopt;
    if (!identifier || identifier->empty()) {
        identifier = fallbackBundleIdentifier;
    }
    return *identifier + extensionSuffix;
}

bool FilterController::isInstalledInApplications() const {
    return dependencies_.mainBundle && dependencies_.mainBundle->isInApplicationsFolder();
}

bool FilterController::isFilterPermissionError(const SystemError& error) {
    return (error.domain == SystemError::filterErrorDomain && error.code == 5) ||
           (error.domain == SystemError::configurationErrorDomain && error.code == 10) ||
           text(error.localizedDescription).contains("permission denied", Qt::CaseInsensitive);
}

bool FilterController::isAwaitingApprovalError(const SystemError& error) {
    return isFilterPermissionError(error) ||
           (error.domain == SystemError::systemExtensionErrorDomain && error.code == 13);
}

FilterRules FilterController::normalized(const FilterRules& rules) const {
    std::error_code error;
    const auto currentDirectory = std::filesystem::current_path(error);
    const FilterRuleNormalizer normalizer(OwnIdentifier(dependencies_.mainBundle
                                                            ? dependencies_.mainBundle->identifier()
                                                            : std::nullopt),
                                          error ? std::string("/") : currentDirectory.string());
    return normalizer.normalized(rules, dependencies_.clock->now().unixSeconds());
}

std::optional<EventChannel> FilterController::currentEventChannel() const {
    return dependencies_.eventChannel ? dependencies_.eventChannel() : std::nullopt;
}

void FilterController::setStatus(FilterStatus status) {
    if (status_ != status) {
        status_ = std::move(status);
        emit statusChanged();
    }
    emit statusPublished();
}

// MARK: activation

void FilterController::activate(const FilterRules& rules) {
    pendingRules_ = normalized(rules);
    activationWanted_ = true;
    if (!isInstalledInApplications()) {
        setStatus(FilterStatus::installationRequired());
        qCInfo(systemExtensionLog,
               "Activation deferred until Zorvane is opened from /Applications");
        return;
    }
    if (activationRequest_) {
        qCInfo(systemExtensionLog, "Activation request already pending; updated pending rules");
        return;
    }
    setStatus(FilterStatus::activating());
    const SystemExtensionRequest request{SystemExtensionRequest::Kind::activation,
                                         extensionBundleIdentifier(), ++requestCount_};
    activationRequest_ = request;
    qCInfo(systemExtensionLog, "Submitting activation request for %s", utf8(request.identifier));
    dependencies_.activator->submit(request, std::make_shared<RequestDelegate>(this));
}

bool FilterController::isCurrentRequest(const SystemExtensionRequest& request) const {
    // Answers to a request that already ended (or to another one) are not ours to act on.
    return activationRequest_ && activationRequest_->number == request.number;
}

void FilterController::requestNeedsUserApproval(const SystemExtensionRequest& request) {
    if (!isCurrentRequest(request)) {
        return;
    }
    qCInfo(systemExtensionLog, "System extension activation requires user approval");
    if (!activationWanted_) {
        // Protection is off: nothing waits for the person any more.
        return;
    }
    setStatus(FilterStatus::awaitingApproval());
}

void FilterController::requestDidFinish(const SystemExtensionRequest& request,
                                        SystemExtensionRequestResult result) {
    if (!isCurrentRequest(request)) {
        return;
    }
    activationRequest_.reset();
    qCInfo(systemExtensionLog, "System extension activation finished");
    switch (result) {
    case SystemExtensionRequestResult::completed:
        if (!activationWanted_) {
            // Turned off while the approval was outstanding: the switch says off, so the
            // filter must stay off; the rules are still brought up to date.
            qCInfo(systemExtensionLog, "Protection was turned off meanwhile; filter stays off");
            saveConfiguration(DesiredState::off);
            return;
        }
        saveConfiguration(DesiredState::on);
        return;
    case SystemExtensionRequestResult::willCompleteAfterReboot:
        setStatus(FilterStatus::failed(PlatformWording::text("filter.restartRequired")));
        return;
    case SystemExtensionRequestResult::unknown:
        break;
    }
    setStatus(FilterStatus::failed("The extension installation finished with an unknown result."));
}

void FilterController::requestDidFail(const SystemExtensionRequest& request,
                                      const SystemError& error) {
    if (!isCurrentRequest(request)) {
        return;
    }
    activationRequest_.reset();
    qCWarning(systemExtensionLog, "System extension activation failed: %s",
              utf8(error.localizedDescription));
    const QString description = text(error.localizedDescription);
    if (!isInstalledInApplications() ||
        description.contains("/Applications", Qt::CaseInsensitive)) {
        setStatus(FilterStatus::installationRequired());
    } else if (isAwaitingApprovalError(error)) {
        setStatus(FilterStatus::awaitingApproval());
    } else {
        setStatus(FilterStatus::failed(description));
    }
}

// MARK: rules and saving

void FilterController::deactivate() {
    activationWanted_ = false;
    saveConfiguration(DesiredState::off);
}

void FilterController::applyRules(const FilterRules& rules) {
    pendingRules_ = normalized(rules);
    saveConfiguration(DesiredState::unchanged);
}

void FilterController::applyRulesToStoredConfiguration(const FilterRules& rules) {
    pendingRules_ = normalized(rules);
    saveConfiguration(DesiredState::unchanged, true);
}

void FilterController::saveConfiguration(DesiredState desired, bool onlyWhereStored) {
    if (desired == DesiredState::unchanged) {
        desired = unfinishedDesire_;
    }
    unfinishedDesire_ = desired;
    // A save that switches the filter on or off writes a configuration in any case.
    Save save{Uuid::random(), desired, normalized(pendingRules_), 0,
              onlyWhereStored && desired == DesiredState::unchanged};
    configurationGeneration_ = save.generation;
    loadForSave(std::move(save));
}

void FilterController::loadForSave(Save save) {
    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->load(
        [guard, save = std::move(save)](FilterManager::LoadResult loaded) mutable {
            onMainThread(guard, [save = std::move(save),
                                 loaded = std::move(loaded)](FilterController& controller) mutable {
                if (controller.configurationGeneration_ == save.generation) {
                    controller.saveLoaded(std::move(save), std::move(loaded));
                }
            });
        });
}

void FilterController::saveLoaded(Save save, FilterManager::LoadResult loaded) {
    if (loaded.error && loaded.error->domain == SystemError::filterErrorDomain &&
        loaded.error->code == SystemError::filterConfigurationInvalid) {
        // The filter takes a configuration it cannot read for none at all; so does the save, or
        // a broken file would refuse every later save, the one that removes its cause included.
        qCWarning(systemExtensionLog, "Replacing a filter configuration that cannot be read: %s",
                  utf8(loaded.error->localizedDescription));
        loaded = {};
    }
    if (loaded.error) {
        qCWarning(systemExtensionLog, "Failed to load filter configuration: %s",
                  utf8(loaded.error->localizedDescription));
        endSave();
        setStatus(isAwaitingApprovalError(*loaded.error)
                      ? FilterStatus::awaitingApproval()
                      : FilterStatus::failed(text(loaded.error->localizedDescription)));
        return;
    }
    if (save.onlyWhereStored && !loaded.configuration) {
        // The rules stay pending for the save that first creates a configuration.
        endSave();
        return;
    }

    FilterConfiguration configuration = loaded.configuration.value_or(FilterConfiguration{});
    const PlistDictionary* stored = configuration.vendorConfiguration();
    const auto channel = currentEventChannel();
    // The running provider reads the channel only when it starts, so a new channel needs a
    // restart: saved disabled now, enabled again a moment later.
    const bool channelChanged = configuration.enabled && save.desired != DesiredState::off &&
                                channel &&
                                !FilterVendorConfiguration::holdsChannel(stored, *channel);

    auto provider =
        configuration.providerConfiguration.value_or(FilterConfiguration::ProviderConfiguration{});
    provider.filterSockets = true;
    provider.filterDataProviderBundleIdentifier = extensionBundleIdentifier();
    provider.vendorConfiguration = FilterVendorConfiguration::make(save.rules, channel, stored);
    configuration.providerConfiguration = std::move(provider);
    configuration.localizedDescription = localizedDescription;
    if (channelChanged) {
        configuration.enabled = false;
    } else if (save.desired != DesiredState::unchanged) {
        configuration.enabled = save.desired == DesiredState::on;
    }

    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->save(
        std::move(configuration),
        [guard, save = std::move(save), channelChanged](std::optional<SystemError> error) mutable {
            onMainThread(guard, [save = std::move(save), channelChanged,
                                 error = std::move(error)](FilterController& controller) mutable {
                if (controller.configurationGeneration_ == save.generation) {
                    controller.finishSave(std::move(save), channelChanged, error);
                }
            });
        });
}

void FilterController::finishSave(Save save, bool channelChanged,
                                  const std::optional<SystemError>& error) {
    if (error) {
        if (isFilterPermissionError(*error) && save.attempt < maximumSaveAttempts - 1) {
            qCInfo(systemExtensionLog,
                   "Filter permission is still propagating; retrying save (attempt %ld)",
                   static_cast<long>(save.attempt + 2));
            dependencies_.scheduler->schedule(permissionRetryDelay, this,
                                              [this, save = std::move(save)]() mutable {
                                                  if (configurationGeneration_ != save.generation) {
                                                      return;
                                                  }
                                                  ++save.attempt;
                                                  loadForSave(std::move(save));
                                              });
            return;
        }
        endSave();
        if (isAwaitingApprovalError(*error)) {
            qCInfo(systemExtensionLog, "Filter configuration is waiting for user approval");
            setStatus(FilterStatus::awaitingApproval());
        } else {
            qCWarning(systemExtensionLog, "Failed to save filter configuration: %s",
                      utf8(error->localizedDescription));
            setStatus(FilterStatus::failed(text(error->localizedDescription)));
        }
        return;
    }
    if (!channelChanged) {
        endSave();
        if (save.onlyWhereStored && activationRequest_) {
            // The outstanding activation's answer decides the status, not this save.
            qCInfo(systemExtensionLog, "Filter configuration saved while activation is pending");
            return;
        }
        qCInfo(systemExtensionLog, "Filter configuration saved; reloading confirmed state");
        refreshStatus();
        return;
    }
    // Saved disabled for the restart: a save that overtakes the restart must enable it.
    unfinishedDesire_ = DesiredState::on;
    qCInfo(systemExtensionLog, "Event channel changed; restarting filter provider");
    dependencies_.scheduler->schedule(
        providerRestartDelay, this,
        [this, generation = save.generation] { restartProvider(generation); });
}

void FilterController::restartProvider(const Uuid& generation) {
    if (configurationGeneration_ != generation) {
        return;
    }
    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->load([guard, generation](FilterManager::LoadResult loaded) {
        onMainThread(
            guard, [generation, loaded = std::move(loaded)](FilterController& controller) mutable {
                if (controller.configurationGeneration_ == generation) {
                    controller.restartLoaded(generation, std::move(loaded));
                }
            });
    });
}

void FilterController::restartLoaded(const Uuid& generation, FilterManager::LoadResult loaded) {
    if (!loaded.error && !loaded.configuration) {
        // Removed behind our back: enabling an empty configuration would start a filter without
        // rules or provider.
        loaded.error =
            SystemError{SystemError::filterErrorDomain, SystemError::filterConfigurationInvalid,
                        "No filter configuration is stored."};
    }
    if (loaded.error) {
        endSave();
        qCWarning(systemExtensionLog, "Failed to reload filter before restart: %s",
                  utf8(loaded.error->localizedDescription));
        setStatus(FilterStatus::failed(text(loaded.error->localizedDescription)));
        return;
    }
    FilterConfiguration configuration = std::move(*loaded.configuration);
    configuration.enabled = true;
    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->save(
        std::move(configuration), [guard, generation](std::optional<SystemError> error) {
            onMainThread(guard, [generation, error](FilterController& controller) {
                if (controller.configurationGeneration_ == generation) {
                    controller.restartSaved(error);
                }
            });
        });
}

void FilterController::restartSaved(const std::optional<SystemError>& error) {
    endSave();
    if (error) {
        qCWarning(systemExtensionLog, "Failed to restart filter provider: %s",
                  utf8(error->localizedDescription));
        setStatus(FilterStatus::failed(text(error->localizedDescription)));
        return;
    }
    qCInfo(systemExtensionLog, "Filter provider restarted with the current event channel");
    refreshStatus();
}

// MARK: status

void FilterController::refreshStatus(std::optional<FilterRules> rules) {
    if (!isInstalledInApplications()) {
        setStatus(FilterStatus::installationRequired());
        return;
    }
    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->load(
        [guard, rules = std::move(rules)](FilterManager::LoadResult loaded) mutable {
            onMainThread(guard, [rules = std::move(rules),
                                 loaded = std::move(loaded)](FilterController& controller) mutable {
                controller.finishRefresh(loaded, std::move(rules));
            });
        });
}

void FilterController::finishRefresh(const FilterManager::LoadResult& loaded,
                                     std::optional<FilterRules> rules) {
    if (loaded.error) {
        qCWarning(systemExtensionLog, "Failed to refresh filter status: %s",
                  utf8(loaded.error->localizedDescription));
        setStatus(isAwaitingApprovalError(*loaded.error)
                      ? FilterStatus::awaitingApproval()
                      : FilterStatus::failed(text(loaded.error->localizedDescription)));
        return;
    }
    const bool enabled = loaded.configuration && loaded.configuration->enabled;
    if (enabled) {
        setStatus(FilterStatus::enabled());
    } else if (activationRequest_ && activationWanted_ &&
               status_.kind() == FilterStatus::Kind::awaitingApproval) {
        setStatus(FilterStatus::awaitingApproval());
    } else {
        setStatus(FilterStatus::inactive());
    }
    qCInfo(systemExtensionLog, "Filter status refreshed: enabled=%s", enabled ? "true" : "false");
    if (enabled && rules) {
        activate(*rules);
    }
}

} // namespace zorvane

namespace zorvane {

// MARK: background synchronisation

void FilterController::synchronizeInBackground(const FilterRules& rules, bool protectionRequested) {
    const QPointer<FilterController> guard(this);
    dependencies_.filterManager->load([guard, rules = normalized(rules), protectionRequested](
                                          FilterManager::LoadResult loaded) mutable {
        onMainThread(guard, [rules = std::move(rules), protectionRequested,
                             loaded = std::move(loaded)](FilterController& controller) mutable {
            controller.synchronizeLoaded(std::move(rules), protectionRequested, std::move(loaded));
        });
    });
}

void FilterController::synchronizeLoaded(FilterRules rules, bool protectionRequested,
                                         FilterManager::LoadResult loaded) {
    if (loaded.error) {
        qCWarning(systemExtensionLog, "Background filter synchronization failed: %s",
                  utf8(loaded.error->localizedDescription));
        return;
    }
    FilterConfiguration configuration = loaded.configuration.value_or(FilterConfiguration{});
    auto provider =
        configuration.providerConfiguration.value_or(FilterConfiguration::ProviderConfiguration{});
    provider.filterSockets = true;
    provider.filterDataProviderBundleIdentifier = extensionBundleIdentifier();
    // The channel belongs to whichever process runs the event receiver; this one only keeps
    // what is stored.
    provider.vendorConfiguration =
        FilterVendorConfiguration::make(rules, std::nullopt, configuration.vendorConfiguration());
    configuration.providerConfiguration = std::move(provider);
    configuration.localizedDescription = localizedDescription;
    if (!protectionRequested) {
        configuration.enabled = false;
    }
    dependencies_.filterManager->save(std::move(configuration),
                                      [](std::optional<SystemError> error) {
                                          if (error) {
                                              qCWarning(systemExtensionLog,
                                                        "Background filter synchronization "
                                                        "failed: %s",
                                                        utf8(error->localizedDescription));
                                          }
                                      });
}

} // namespace zorvane
