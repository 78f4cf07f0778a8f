#pragma once

#include "shared/BlockedApplication.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <optional>
#include <string>
#include <vector>

namespace zorvane::fixtures {

inline const Date start = Date::fromUnixSeconds(1'800'000'000.0);

inline BlockedApplication application(const std::string& name, const std::string& signing,
                                      std::optional<std::string> team = "TEAM123456",
                                      std::vector<CodeIdentity> auxiliary = {}) {
    BlockedApplication app;
    app.id = Uuid::random();
    app.name = name;
    app.bundleIdentifier = signing;
    app.signingIdentifier = signing;
    app.teamIdentifier = std::move(team);
    app.auxiliaryCodeIdentities = std::move(auxiliary);
    app.inspectionVersion = BlockedApplication::currentInspectionVersion;
    app.path = "/Applications/" + name + ".app";
    return app;
}

inline NetworkActivityEvent event(const std::string& signing, std::optional<std::string> team,
                                  Date lastSeen, std::int64_t count = 1,
                                  std::string host = "example.com") {
    NetworkActivityEvent event;
    event.processSigningIdentifier = signing;
    event.processTeamIdentifier = std::move(team);
    event.destinationHost = std::move(host);
    event.destinationPort = "443";
    event.firstSeenAt = lastSeen;
    event.lastSeenAt = lastSeen;
    event.blockedConnectionCount = count;
    return event;
}

inline DiscoveredNetworkProcess observation(const std::string& signing,
                                            std::optional<std::string> team, Date lastSeen,
                                            std::optional<std::string> path = std::nullopt) {
    DiscoveredNetworkProcess process;
    process.signingIdentifier = signing;
    process.teamIdentifier = std::move(team);
    process.executablePath = std::move(path);
    process.firstSeenAt = lastSeen;
    process.lastSeenAt = lastSeen;
    process.connectionCount = 1;
    return process;
}

} // namespace zorvane::fixtures
