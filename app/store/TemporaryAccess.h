#pragma once

#include "shared/BlockedApplication.h"
#include "shared/Date.h"
#include "shared/TemporaryAccessGrant.h"
#include "shared/Uuid.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// The data rules of temporary allowances and of pausing all blocking: grant lists in, grant
// lists out. The window process's store and the status agent apply the same rules to their own
// copies; whether protection is active, whether an application runs and what is saved or
// pushed afterwards stay with the caller. Callers learn whether anything changed by comparing
// the sizes (or the lists), which is all that decides a save.
class TemporaryAccess {
public:
    static constexpr double fiveMinutes = 300.0;
    static constexpr double oneHour = 3600.0;
    // An until-quit allowance still ends after a day when the application keeps running.
    static constexpr double untilQuitLifetime = 86400.0;

    static constexpr std::string_view protectionInactiveMessage =
        "Turn on protection before allowing an app temporarily.";
    // "Open <name> first, then choose Allow Until App Quits."
    static std::string notRunningMessage(const BlockedApplication& application);

    // A grant covering the application's blocking identities (primary first) and its path.
    static TemporaryAccessGrant makeGrant(const BlockedApplication& application, Date expiresAt,
                                          TemporaryAccessGrant::Mode mode);

    // A timed grant ending `duration` seconds after now, replacing the application's earlier
    // grants (a shorter allowance after a longer one shortens it).
    static std::vector<TemporaryAccessGrant>
    allowingTemporarily(std::vector<TemporaryAccessGrant> grants,
                        const BlockedApplication& application, double duration, Date now);

    // An until-quit grant ending a day after now, replacing the application's earlier grants.
    // The caller has checked that the application runs (isRunning).
    static std::vector<TemporaryAccessGrant>
    allowingUntilQuit(std::vector<TemporaryAccessGrant> grants,
                      const BlockedApplication& application, Date now);

    // Without every grant of that application (revoking, and removing it from the list).
    static std::vector<TemporaryAccessGrant> revoking(std::vector<TemporaryAccessGrant> grants,
                                                      const Uuid& applicationID);

    // Without the grants whose expiry is not later than now; the order of the rest is kept.
    static std::vector<TemporaryAccessGrant>
    pruningExpired(std::vector<TemporaryAccessGrant> grants, Date now);

    // The first grant in list order for that application whose expiry is later than now.
    static std::optional<TemporaryAccessGrant>
    activeGrant(const std::vector<TemporaryAccessGrant>& grants, const Uuid& applicationID,
                Date now);

    // After an application with this bundle identifier terminated: without its until-quit
    // grants. Timed grants are never ended by a quit.
    static std::vector<TemporaryAccessGrant>
    endingUntilQuit(std::vector<TemporaryAccessGrant> grants,
                    std::string_view terminatedBundleIdentifier);

    // The longest a grant of this mode is ever made for: a timed grant does not record whether
    // it was made for five minutes or an hour, so an hour bounds every timed one; an until-quit
    // grant is made for a day.
    static double lifetime(TemporaryAccessGrant::Mode mode);

    // Grants as read from storage, each ending no later than now plus its lifetime: an end
    // further ahead comes from a clock set back since, or from a hand-edited file, and would
    // otherwise allow the application for as long as that. The order is kept.
    static std::vector<TemporaryAccessGrant>
    cappingToLifetime(std::vector<TemporaryAccessGrant> grants, Date now);

    // The grants worth keeping after a start: not expired, none ending beyond its lifetime from
    // now (cappingToLifetime), and until-quit ones only while an application with their bundle
    // identifier runs.
    static std::vector<TemporaryAccessGrant>
    restoring(std::vector<TemporaryAccessGrant> grants, Date now,
              const std::vector<std::string>& runningBundleIdentifiers);

    // Pausing all blocking: one timed grant per listed application, all ending at the same
    // instant; whatever was granted before is discarded.
    static std::vector<TemporaryAccessGrant>
    pausingAll(const std::vector<BlockedApplication>& applications, double duration, Date now);

    // Resuming all blocking: no grants at all.
    static std::vector<TemporaryAccessGrant> resumingAll() { return {}; }

    // Whether an application with this bundle identifier is among the running ones.
    static bool isRunning(std::string_view bundleIdentifier,
                          const std::vector<std::string>& runningBundleIdentifiers);
};

} // namespace zorvane
