#include "app/store/TemporaryAccess.h"

#include <algorithm>

namespace zorvane {
namespace {

using Grants = std::vector<TemporaryAccessGrant>;

Grants replacingGrant(Grants grants, TemporaryAccessGrant grant) {
    std::erase_if(grants, [&](const TemporaryAccessGrant& existing) {
        return existing.applicationID == grant.applicationID;
    });
    grants.push_back(std::move(grant));
    return grants;
}

bool isActive(const TemporaryAccessGrant& grant, Date now) {
    // Written so that an instant that is not a number never counts as later.
    return grant.expiresAt > now;
}

} // namespace

std::string TemporaryAccess::notRunningMessage(const BlockedApplication& application) {
    return "Open " + application.name + " first, then choose Allow Until App Quits.";
}

TemporaryAccessGrant TemporaryAccess::makeGrant(const BlockedApplication& application,
                                                Date expiresAt, TemporaryAccessGrant::Mode mode) {
    TemporaryAccessGrant grant;
    grant.applicationID = application.id;
    grant.applicationName = application.name;
    grant.applicationBundleIdentifier = application.bundleIdentifier;
    for (const auto& identity : application.blockingCodeIdentities()) {
        grant.codeIdentityKeys.push_back(identity.key());
    }
    grant.applicationPath = application.path;
    grant.expiresAt = expiresAt;
    grant.mode = mode;
    return grant;
}

Grants TemporaryAccess::allowingTemporarily(Grants grants, const BlockedApplication& application,
                                            double duration, Date now) {
    return replacingGrant(std::move(grants), makeGrant(application, now.addingSeconds(duration),
                                                       TemporaryAccessGrant::Mode::timed));
}

Grants TemporaryAccess::allowingUntilQuit(Grants grants, const BlockedApplication& application,
                                          Date now) {
    return replacingGrant(std::move(grants),
                          makeGrant(application, now.addingSeconds(untilQuitLifetime),
                                    TemporaryAccessGrant::Mode::untilQuit));
}

Grants TemporaryAccess::revoking(Grants grants, const Uuid& applicationID) {
    std::erase_if(grants, [&](const TemporaryAccessGrant& grant) {
        return grant.applicationID == applicationID;
    });
    return grants;
}

Grants TemporaryAccess::pruningExpired(Grants grants, Date now) {
    std::erase_if(grants, [&](const TemporaryAccessGrant& grant) { return !isActive(grant, now); });
    return grants;
}

std::optional<TemporaryAccessGrant>
TemporaryAccess::activeGrant(const Grants& grants, const Uuid& applicationID, Date now) {
    const auto found = std::find_if(grants.begin(), grants.end(), [&](const auto& grant) {
        return grant.applicationID == applicationID && isActive(grant, now);
    });
    if (found == grants.end()) {
        return std::nullopt;
    }
    return *found;
}

Grants TemporaryAccess::endingUntilQuit(Grants grants,
                                        std::string_view terminatedBundleIdentifier) {
    std::erase_if(grants, [&](const TemporaryAccessGrant& grant) {
        return grant.mode == TemporaryAccessGrant::Mode::untilQuit &&
               grant.applicationBundleIdentifier == terminatedBundleIdentifier;
    });
    return grants;
}

double TemporaryAccess::lifetime(TemporaryAccessGrant::Mode mode) {
    return mode == TemporaryAccessGrant::Mode::untilQuit ? untilQuitLifetime : oneHour;
}

Grants TemporaryAccess::cappingToLifetime(Grants grants, Date now) {
    for (auto& grant : grants) {
        const Date latest = now.addingSeconds(lifetime(grant.mode));
        if (grant.expiresAt > latest) {
            grant.expiresAt = latest;
        }
    }
    return grants;
}

Grants TemporaryAccess::restoring(Grants grants, Date now,
                                  const std::vector<std::string>& runningBundleIdentifiers) {
    grants = cappingToLifetime(std::move(grants), now);
    std::erase_if(grants, [&](const TemporaryAccessGrant& grant) {
        if (!isActive(grant, now)) {
            return true;
        }
        return grant.mode == TemporaryAccessGrant::Mode::untilQuit &&
               !isRunning(grant.applicationBundleIdentifier, runningBundleIdentifiers);
    });
    return grants;
}

Grants TemporaryAccess::pausingAll(const std::vector<BlockedApplication>& applications,
                                   double duration, Date now) {
    const Date expiresAt = now.addingSeconds(duration);
    Grants grants;
    grants.reserve(applications.size());
    for (const auto& application : applications) {
        grants.push_back(makeGrant(application, expiresAt, TemporaryAccessGrant::Mode::timed));
    }
    return grants;
}

bool TemporaryAccess::isRunning(std::string_view bundleIdentifier,
                                const std::vector<std::string>& runningBundleIdentifiers) {
    return std::find(runningBundleIdentifiers.begin(), runningBundleIdentifiers.end(),
                     bundleIdentifier) != runningBundleIdentifiers.end();
}

} // namespace zorvane
