#include "app/agent/StatusMenu.h"

#include "app/store/TemporaryAccess.h"

#include <algorithm>

namespace zorvane {
namespace {

using Kind = FilterStatus::Kind;

StatusMenuItem actionItem(std::string title, StatusMenuAction action) {
    StatusMenuItem item;
    item.title = std::move(title);
    item.action = action;
    return item;
}

StatusMenuItem applicationItem(std::string title, StatusMenuAction action, const Uuid& id) {
    StatusMenuItem item = actionItem(std::move(title), action);
    item.applicationID = id;
    return item;
}

} // namespace

std::size_t StatusMenu::activeGrantCount(const std::vector<TemporaryAccessGrant>& grants,
                                         Date now) {
    return static_cast<std::size_t>(
        std::count_if(grants.begin(), grants.end(),
                      [&](const TemporaryAccessGrant& grant) { return grant.expiresAt > now; }));
}

StatusMenu::Appearance StatusMenu::appearance(bool protectionRequested, const FilterStatus& status,
                                              std::size_t applicationCount,
                                              std::size_t activeGrantCount) {
    if (!protectionRequested) {
        return {"shield.slash.fill", "Protection Off"};
    }
    switch (status.kind()) {
    case Kind::inactive:
    case Kind::activating:
        return {"shield.lefthalf.filled", "Turning On..."};
    case Kind::installationRequired:
        return {"shield.lefthalf.filled", PlatformWording::text("statusItem.installationRequired")};
    case Kind::awaitingApproval:
        return {"shield.lefthalf.filled", "Awaiting Approval"};
    case Kind::failed:
        return {"shield.lefthalf.filled", "Action Required"};
    case Kind::enabled:
        break;
    }
    if (activeGrantCount != 0 && activeGrantCount == applicationCount) {
        return {"pause.circle.fill", "All Blocking Paused"};
    }
    if (activeGrantCount == 1) {
        return {"pause.circle.fill", "1 App Temporarily Allowed"};
    }
    if (activeGrantCount == 0) {
        return {"shield.fill", "Protection On"};
    }
    return {"pause.circle.fill", std::to_string(activeGrantCount) + " Apps Temporarily Allowed"};
}

StatusMenu::Appearance StatusMenu::appearance(const StatusSnapshot& snapshot,
                                              const FilterStatus& status, Date now) {
    return appearance(snapshot.protectionRequested, status, snapshot.applications.size(),
                      activeGrantCount(snapshot.grants, now));
}

bool StatusMenu::isProtectionActive(const StatusSnapshot& snapshot, const FilterStatus& status) {
    return snapshot.protectionRequested && status.kind() == Kind::enabled;
}

StatusMenuModel StatusMenu::build(const StatusSnapshot& snapshot, const FilterStatus& status,
                                  Date now,
                                  const std::vector<std::string>& runningBundleIdentifiers) {
    StatusMenuModel menu;
    const Appearance look = appearance(snapshot, status, now);
    StatusMenuItem header;
    header.title = look.title;
    header.symbolName = look.symbolName;
    header.isEnabled = false;
    menu.push_back(std::move(header));
    menu.push_back(StatusMenuItem::separator());
    menu.push_back(actionItem(openTitle, StatusMenuAction::openZorvane));
    menu.push_back(StatusMenuItem::separator());

    StatusMenuItem protection =
        actionItem(snapshot.protectionRequested ? protectionOnTitle : protectionOffTitle,
                   StatusMenuAction::toggleProtection);
    protection.isChecked = snapshot.protectionRequested;
    // While the system is busy with the filter, a second switch would only cross the first.
    protection.isEnabled = status.kind() != Kind::installationRequired &&
                           status.kind() != Kind::activating &&
                           status.kind() != Kind::awaitingApproval;
    menu.push_back(std::move(protection));

    if (isProtectionActive(snapshot, status)) {
        if (activeGrantCount(snapshot.grants, now) > 0) {
            menu.push_back(actionItem(resumeAllTitle, StatusMenuAction::resumeAllBlocking));
        }
        menu.push_back(actionItem(pauseFiveMinutesTitle, StatusMenuAction::pauseAllForFiveMinutes));
        menu.push_back(actionItem(pauseOneHourTitle, StatusMenuAction::pauseAllForOneHour));
    }

    if (!snapshot.applications.empty()) {
        menu.push_back(StatusMenuItem::separator());
        for (const auto& application : snapshot.applications) {
            StatusMenuItem item;
            item.title = application.name;
            item.iconData = application.iconData;
            const auto& id = application.id;
            if (TemporaryAccess::activeGrant(snapshot.grants, id, now)) {
                item.submenu.push_back(
                    applicationItem(blockAgainTitle, StatusMenuAction::blockApplicationNow, id));
            } else {
                item.submenu.push_back(applicationItem(
                    allowFiveMinutesTitle, StatusMenuAction::allowApplicationForFiveMinutes, id));
                item.submenu.push_back(applicationItem(
                    allowOneHourTitle, StatusMenuAction::allowApplicationForOneHour, id));
                StatusMenuItem untilQuit = applicationItem(
                    allowUntilQuitTitle, StatusMenuAction::allowApplicationUntilQuit, id);
                untilQuit.isEnabled = TemporaryAccess::isRunning(application.bundleIdentifier,
                                                                 runningBundleIdentifiers);
                item.submenu.push_back(std::move(untilQuit));
            }
            menu.push_back(std::move(item));
        }
    }

    menu.push_back(StatusMenuItem::separator());
    menu.push_back(actionItem(hideTitle, StatusMenuAction::hideStatusItem));
    return menu;
}

} // namespace zorvane
