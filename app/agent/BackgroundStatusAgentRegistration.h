#pragma once

#include "platform/LoginAgentService.h"
#include "platform/MainBundle.h"
#include "platform/Preferences.h"

namespace zorvane {

// Keeps the status agent registered as a login agent, once per build of the application.
struct BackgroundStatusAgentRegistration {
    // The build ("CFBundleVersion") for which the agent was last registered successfully.
    static constexpr const char* registeredBuildKey = "backgroundStatusAgentRegisteredBuild";
    // The build recorded when the bundle does not say.
    static constexpr const char* unknownBuild = "unknown";
};

// Registers the agent unless it is already registered for the running build; a new build
// unregisters the old registration first. Only a copy inside the Applications folder registers:
// one started from a disk image or a download folder would otherwise leave a login agent behind
// that points at a place about to disappear. Failures are dropped without a trace: the stored
// build stays as it was and the next start tries again.
void registerBackgroundStatusAgent(const MainBundle& bundle, Preferences& preferences,
                                   LoginAgentService& service);

} // namespace zorvane
