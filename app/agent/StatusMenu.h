#pragma once

#include "app/agent/StatusMenuItem.h"
#include "app/agent/StatusSnapshot.h"
#include "app/filter-control/FilterStatus.h"
#include "shared/Date.h"
#include "shared/PlatformWording.h"

#include <cstddef>
#include <string>
#include <vector>

namespace zorvane {

// How the status item looks and what its menu offers, as functions of the agent's snapshot,
// the filter's status and the moment.
class StatusMenu {
public:
    struct Appearance {
        std::string symbolName;
        std::string title;

        friend bool operator==(const Appearance&, const Appearance&) = default;
    };

    static constexpr const char* openTitle = "Open Zorvane";
    static constexpr const char* protectionOnTitle = "Protection On";
    static constexpr const char* protectionOffTitle = "Protection Off";
    static constexpr const char* resumeAllTitle = "Resume All Blocking Now";
    static constexpr const char* pauseFiveMinutesTitle = "Pause All Blocking for 5 Minutes";
    static constexpr const char* pauseOneHourTitle = "Pause All Blocking for 1 Hour";
    static constexpr const char* blockAgainTitle = "Block Again Now";
    static constexpr const char* allowFiveMinutesTitle = "Allow for 5 Minutes";
    static constexpr const char* allowOneHourTitle = "Allow for 1 Hour";
    static constexpr const char* allowUntilQuitTitle = "Allow Until App Quits";
    static constexpr const char* hideTitle = PlatformWording::text("statusItem.hide");

    // The grants whose expiry is later than now. Grants, not applications, are counted.
    static std::size_t activeGrantCount(const std::vector<TemporaryAccessGrant>& grants, Date now);

    static Appearance appearance(bool protectionRequested, const FilterStatus& status,
                                 std::size_t applicationCount, std::size_t activeGrantCount);
    static Appearance appearance(const StatusSnapshot& snapshot, const FilterStatus& status,
                                 Date now);

    // Protection is active when it is requested and the filter is enabled.
    static bool isProtectionActive(const StatusSnapshot& snapshot, const FilterStatus& status);

    static StatusMenuModel build(const StatusSnapshot& snapshot, const FilterStatus& status,
                                 Date now,
                                 const std::vector<std::string>& runningBundleIdentifiers);
};

} // namespace zorvane
