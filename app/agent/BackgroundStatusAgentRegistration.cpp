#include "app/agent/BackgroundStatusAgentRegistration.h"

#include <string>

namespace zorvane {

void registerBackgroundStatusAgent(const MainBundle& bundle, Preferences& preferences,
                                   LoginAgentService& service) {
    if (!bundle.isInApplicationsFolder()) {
        return;
    }
    const std::string currentBuild =
        bundle.buildVersion().value_or(BackgroundStatusAgentRegistration::unknownBuild);
    std::optional<std::string> storedBuild;
    if (auto stored = preferences.value(BackgroundStatusAgentRegistration::registeredBuildKey)) {
        if (const std::string* text = stored->string()) {
            storedBuild = *text;
        }
    }

    const bool enabled = service.status() == LoginAgentService::Status::enabled;
    if (enabled && storedBuild == currentBuild) {
        return;
    }
    if (enabled && service.unregisterAgent()) {
        return;
    }
    if (service.registerAgent()) {
        return;
    }
    preferences.setValue(BackgroundStatusAgentRegistration::registeredBuildKey, currentBuild);
    preferences.synchronize();
}

} // namespace zorvane
