#pragma once

// clang-format off
// Qt first: moc fails on <compare> (pulled in by shared/Uuid.h) when no other library header
// came before it.
#include <QObject>
// clang-format on

#include "app/agent/StatusItem.h"
#include "app/agent/StatusMenu.h"
#include "app/agent/StatusSnapshot.h"
#include "app/filter-control/FilterRules.h"
#include "app/store/SharedPreferencesState.h"
#include "app/store/StoredListCopies.h"
#include "platform/MainBundle.h"
#include "platform/Preferences.h"
#include "platform/StateNotifications.h"
#include "platform/Workspace.h"
#include "shared/Clock.h"
#include "shared/OwnIdentifier.h"

#include <QPointer>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zorvane {

class DarwinStateObserver;
class FilterController;
class UpdateController;
class UpdateNotificationController;

// Agent mode: one status item that shows whether protection is on, and a menu from which the
// user opens the main application, switches protection, pauses or resumes all blocking and
// allows or blocks single applications. The agent keeps no state of its own: it reads the
// preferences the window process writes, writes the same keys when the user acts here, tells
// the window process through the agent's state notification, and drives its own filter
// controller against the same filter configuration.
//
// Main thread only; created once, started once, and alive until the process ends.
class BackgroundStatusAgentController : public QObject {
    Q_OBJECT

public:
    using Snapshot = StatusSnapshot;

    static constexpr const char* applicationsKey = SharedPreferencesState::applicationsKey;
    static constexpr const char* grantsKey = SharedPreferencesState::grantsKey;
    static constexpr const char* protectionRequestedKey =
        SharedPreferencesState::protectionRequestedKey;
    static constexpr const char* statusBarIconEnabledKey =
        SharedPreferencesState::statusBarIconEnabledKey;
    static constexpr const char* fallbackBundleIdentifier = "dev.quillmoor.Zorvane";

    static constexpr std::chrono::milliseconds defaultRefreshInterval{5000};
    static constexpr std::chrono::milliseconds defaultMaintenanceInterval{3'600'000};
    // The filter status is asked for on every this many refresh ticks.
    static constexpr std::int64_t filterRefreshEveryTicks = 3;

    struct Dependencies {
        std::shared_ptr<Preferences> preferences;          // required
        std::shared_ptr<StateNotifications> notifications; // required
        std::shared_ptr<Workspace> workspace;              // required
        std::shared_ptr<const MainBundle> mainBundle;      // required
        FilterController* filterController = nullptr;      // required; adopted
        std::unique_ptr<StatusItem> statusItem;            // required
        // A fresh controller for each maintenance check; empty: no update checks.
        std::function<std::unique_ptr<UpdateController>()> makeUpdateController;
        UpdateNotificationController* updateNotifications = nullptr; // optional; adopted
        std::shared_ptr<const Clock> clock = Clock::system();
        std::chrono::milliseconds refreshInterval = defaultRefreshInterval;
        std::chrono::milliseconds maintenanceInterval = defaultMaintenanceInterval;
        // Empty: this process's.
        std::optional<std::int32_t> processIdentifier;
        // Where a stored grant list that is no list at all is kept before the agent writes
        // over it; none: such a list is not written over.
        std::shared_ptr<const StoredListCopies> listCopies;
    };

    explicit BackgroundStatusAgentController(Dependencies dependencies, QObject* parent = nullptr);
    ~BackgroundStatusAgentController() override;

    // The agent on this platform's services. Needs a QApplication for its status item.
    static std::unique_ptr<BackgroundStatusAgentController> makeStandard();

    // Reads the state, shows the status item when it is wanted, starts watching the window
    // process and the filter, starts the timers and runs maintenance once, right after. From
    // then on it answers the user's responses to its update notification.
    void start();

    // The application was opened again while this process runs (the reopen event): opens the
    // main application. Always false, as nothing of the agent's own is to be shown.
    bool handleReopen();

    // MARK: menu actions
    void openZorvane();
    void toggleProtection();
    void pauseAllForFiveMinutes();
    void pauseAllForOneHour();
    void resumeAllBlocking();
    void allowApplicationForFiveMinutes(const std::optional<Uuid>& applicationID);
    void allowApplicationForOneHour(const std::optional<Uuid>& applicationID);
    void allowApplicationUntilQuit(const std::optional<Uuid>& applicationID);
    void blockApplicationNow(const std::optional<Uuid>& applicationID);
    void hideStatusItem();
    void perform(StatusMenuAction action, const std::optional<Uuid>& applicationID);

    // The menu is about to open: a new snapshot, then the menu built from it.
    void menuNeedsUpdate();

    // What the timers run; callable directly so that tests need not wait for them.
    void refreshTick();
    void runMaintenance();

    // MARK: state
    const Snapshot& snapshot() const { return snapshot_; }
    std::int64_t refreshTickCount() const { return refreshTick_; }
    bool isStatusItemShown() const { return statusItemShown_; }
    bool shouldNotifyMainAfterFilterTransition() const {
        return shouldNotifyMainAfterFilterTransition_;
    }
    FilterController& filterController() const { return *filterController_; }
    bool isProtectionActive() const;
    StatusMenu::Appearance appearance() const;
    // The menu as it would be built now from the current snapshot.
    StatusMenuModel currentMenu() const;

signals:
    // A maintenance run finished, the update check included.
    void maintenanceFinished();

private:
    Snapshot makeSnapshot();
    void saveGrants(const std::vector<TemporaryAccessGrant>& grants, bool notify);
    void applyRules(std::vector<BlockedApplication> applications,
                    std::vector<TemporaryAccessGrant> grants);
    void pushRules(const std::vector<BlockedApplication>& applications,
                   const std::vector<TemporaryAccessGrant>& grants);
    FilterRules deriveRules(const std::vector<BlockedApplication>& applications,
                            const std::vector<TemporaryAccessGrant>& grants) const;
    void changeGrants(std::vector<TemporaryAccessGrant> grants);
    void refreshFilterStatus();
    void updateStatusItemPresence();
    void updateStatusButton();
    void handleFilterChange();
    void synchronizeFilterInBackground();
    void checkForUpdates(std::function<void()> then);
    void allowApplication(
        const std::optional<Uuid>& applicationID,
        const std::function<std::vector<TemporaryAccessGrant>(const BlockedApplication&)>&
            grantsFor);
    void postAgentStateChange();
    std::string bundleIdentifier() const;
    Date now() const { return dependencies_.clock->now(); }

    Dependencies dependencies_;
    const OwnIdentifier ownIdentifier_;
    FilterController* filterController_;
    std::unique_ptr<StatusItem> statusItem_;
    bool statusItemShown_ = false;
    QTimer refreshTimer_;
    QTimer maintenanceTimer_;
    Snapshot snapshot_;
    std::int64_t refreshTick_ = 0;
    bool shouldNotifyMainAfterFilterTransition_ = false;
    std::unique_ptr<DarwinStateObserver> mainStateObserver_;
    // The check of the maintenance run in progress, if any.
    QPointer<UpdateController> updateCheck_;
};

} // namespace zorvane
