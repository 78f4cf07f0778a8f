#include "app/agent/BackgroundStatusAgentController.h"

#include "app/agent/DarwinStateObserver.h"
#include "app/agent/StateChange.h"
#include "app/agent/StateNotificationNames.h"
#include "app/agent/TrayStatusItem.h"
#include "app/filter-control/FilterController.h"
#include "app/store/RuleSet.h"
#include "app/store/TemporaryAccess.h"
#include "app/update/UpdateController.h"
#include "app/update/UpdateNotificationController.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/FreedesktopNotificationCenter.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"

#include <QCoreApplication>
#include <algorithm>

namespace zorvane {

using Shared = SharedPreferencesState;

BackgroundStatusAgentController::BackgroundStatusAgentController(Dependencies dependencies,
                                                                 QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)),
      ownIdentifier_(dependencies_.mainBundle->identifier()),
      filterController_(dependencies_.filterController),
      statusItem_(std::move(dependencies_.statusItem)) {
    if (!dependencies_.clock) {
        dependencies_.clock = Clock::system();
    }
    filterController_->setParent(this);
    if (dependencies_.updateNotifications) {
        dependencies_.updateNotifications->setParent(this);
    }
    QPointer<BackgroundStatusAgentController> self(this);
    statusItem_->setMenuAboutToOpenHandler([self] {
        if (self) {
            self->menuNeedsUpdate();
        }
    });
    statusItem_->setActionHandler(
        [self](StatusMenuAction action, const std::optional<Uuid>& applicationID) {
            if (self) {
                self->perform(action, applicationID);
            }
        });
    refreshTimer_.setInterval(dependencies_.refreshInterval);
    maintenanceTimer_.setInterval(dependencies_.maintenanceInterval);
    connect(&refreshTimer_, &QTimer::timeout, this, &BackgroundStatusAgentController::refreshTick);
    connect(&maintenanceTimer_, &QTimer::timeout, this,
            &BackgroundStatusAgentController::runMaintenance);
}

BackgroundStatusAgentController::~BackgroundStatusAgentController() {
    refreshTimer_.stop();
    maintenanceTimer_.stop();
    mainStateObserver_.reset();
    if (updateCheck_) {
        delete updateCheck_.data();
    }
}

std::unique_ptr<BackgroundStatusAgentController> BackgroundStatusAgentController::makeStandard() {
    auto preferences = Preferences::standard();
    std::shared_ptr<const MainBundle> mainBundle = LinuxMainBundle::current();
    RunningVersion running{mainBundle->shortVersion(), mainBundle->buildVersion()};

    Dependencies dependencies;
    dependencies.preferences = preferences;
    dependencies.notifications = std::make_shared<DBusStateNotifications>();
    // The agent needs no icons of files, only the running applications.
    dependencies.workspace = std::make_shared<LinuxWorkspace>(LinuxWorkspace::IconRenderer{});
    dependencies.mainBundle = mainBundle;
    // The event receiver runs in the window process; this controller keeps the stored channel.
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        LinuxFilterManager::standard(), LinuxSystemExtensionActivator::standard(), mainBundle, {}});
    dependencies.statusItem = std::make_unique<TrayStatusItem>();
    dependencies.listCopies = std::make_shared<StoredListCopies>(StoredListCopies::standard());
    dependencies.makeUpdateController = [running, preferences] {
        return std::make_unique<UpdateController>(UpdateController::Options{running, preferences});
    };
    dependencies.updateNotifications =
        new UpdateNotificationController(UpdateNotificationController::Options{
            std::make_shared<FreedesktopNotificationCenter>(), preferences});
    return std::make_unique<BackgroundStatusAgentController>(std::move(dependencies));
}

// MARK: start

void BackgroundStatusAgentController::start() {
    // The desktop hands a notification's actions and the user's response only to the process
    // that posted it, and the agent posts the update notification: it offers the download and
    // opens it itself.
    if (dependencies_.updateNotifications) {
        dependencies_.updateNotifications->configure();
    }
    snapshot_ = makeSnapshot();
    refreshFilterStatus();
    updateStatusItemPresence();

    QPointer<BackgroundStatusAgentController> self(this);
    mainStateObserver_ = std::make_unique<DarwinStateObserver>(
        *dependencies_.notifications, StateNotificationNames::mainStateDidChange, [self] {
            if (!self) {
                return;
            }
            self->snapshot_ = self->makeSnapshot();
            self->refreshFilterStatus();
            self->updateStatusItemPresence();
        });

    // Every published status counts, a repeated one too: a switch that ends where it started
    // has still settled.
    connect(filterController_, &FilterController::statusPublished, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { handleFilterChange(); }, Qt::QueuedConnection);
    });

    refreshTimer_.start();
    maintenanceTimer_.start();
    QMetaObject::invokeMethod(
        this, [this] { runMaintenance(); }, Qt::QueuedConnection);
}

void BackgroundStatusAgentController::handleFilterChange() {
    updateStatusButton();
    if (shouldNotifyMainAfterFilterTransition_ &&
        filterController_->status().kind() != FilterStatus::Kind::activating) {
        shouldNotifyMainAfterFilterTransition_ = false;
        postAgentStateChange();
    }
}

// MARK: snapshot

BackgroundStatusAgentController::Snapshot BackgroundStatusAgentController::makeSnapshot() {
    auto& preferences = *dependencies_.preferences;
    preferences.synchronize();

    Snapshot snapshot;
    snapshot.applications = Shared::withoutTheProgramItself(
        Shared::storedApplications(preferences).value_or(std::vector<BlockedApplication>{}),
        ownIdentifier_);
    // Before the grants are checked against what runs: a listed Linux program runs only as
    // far as the workspace knows it is listed.
    dependencies_.workspace->setListedApplications(snapshot.applications);

    const auto decoded =
        Shared::storedGrants(preferences).value_or(std::vector<TemporaryAccessGrant>{});
    snapshot.grants = TemporaryAccess::restoring(
        decoded, now(), dependencies_.workspace->runningBundleIdentifiers());
    if (snapshot.grants != decoded) {
        saveGrants(snapshot.grants, true);
        // The rules go out now; the snapshot itself is stored by the caller, which compares it
        // with the previous one first.
        pushRules(snapshot.applications, snapshot.grants);
    }

    snapshot.showStatusItem =
        Shared::storedBoolean(preferences, statusBarIconEnabledKey).value_or(true);
    snapshot.protectionRequested =
        Shared::storedBoolean(preferences, protectionRequestedKey).value_or(false);
    return snapshot;
}

void BackgroundStatusAgentController::saveGrants(const std::vector<TemporaryAccessGrant>& grants,
                                                 bool notify) {
    auto& preferences = *dependencies_.preferences;
    // The agent cannot tell the person about grants it cannot read, so it leaves them in the
    // stored list for the window process, which keeps a copy and tells. A stored value that is
    // no list at all cannot be carried along; it is written over only once a copy of it exists.
    if (!Shared::storeGrantsKeepingUnreadable(preferences, grants)) {
        const auto stored = Shared::readGrants(preferences);
        if (!stored || stored->unreadableEntries == 0 || !dependencies_.listCopies ||
            !dependencies_.listCopies->keepAsStored(grantsKey, stored->storedText) ||
            !Shared::storeGrants(preferences, grants)) {
            return;
        }
    }
    preferences.synchronize();
    if (notify) {
        postAgentStateChange();
    }
}

FilterRules BackgroundStatusAgentController::deriveRules(
    const std::vector<BlockedApplication>& applications,
    const std::vector<TemporaryAccessGrant>& grants) const {
    return RuleSet::derive(applications, grants, now(), ownIdentifier_).filterRules();
}

void BackgroundStatusAgentController::pushRules(const std::vector<BlockedApplication>& applications,
                                                const std::vector<TemporaryAccessGrant>& grants) {
    if (Shared::storedBoolean(*dependencies_.preferences, protectionRequestedKey).value_or(false)) {
        filterController_->applyRules(deriveRules(applications, grants));
    }
}

void BackgroundStatusAgentController::applyRules(std::vector<BlockedApplication> applications,
                                                 std::vector<TemporaryAccessGrant> grants) {
    snapshot_.applications = std::move(applications);
    dependencies_.workspace->setListedApplications(snapshot_.applications);
    snapshot_.grants = std::move(grants);
    pushRules(snapshot_.applications, snapshot_.grants);
}

void BackgroundStatusAgentController::changeGrants(std::vector<TemporaryAccessGrant> grants) {
    saveGrants(grants, true);
    applyRules(snapshot_.applications, std::move(grants));
    updateStatusButton();
}

// MARK: status item

bool BackgroundStatusAgentController::isProtectionActive() const {
    return StatusMenu::isProtectionActive(snapshot_, filterController_->status());
}

StatusMenu::Appearance BackgroundStatusAgentController::appearance() const {
    return StatusMenu::appearance(snapshot_, filterController_->status(), now());
}

StatusMenuModel BackgroundStatusAgentController::currentMenu() const {
    return StatusMenu::build(snapshot_, filterController_->status(), now(),
                             dependencies_.workspace->runningBundleIdentifiers());
}

void BackgroundStatusAgentController::refreshFilterStatus() {
    // Outside the Applications folder the controller answers installationRequired itself.
    filterController_->refreshStatus();
}

void BackgroundStatusAgentController::updateStatusItemPresence() {
    if (snapshot_.showStatusItem && !snapshot_.applications.empty()) {
        if (!statusItemShown_) {
            statusItem_->setMenu({});
            statusItem_->show();
            statusItemShown_ = true;
        }
        updateStatusButton();
    } else if (statusItemShown_) {
        statusItem_->hide();
        statusItemShown_ = false;
    }
}

void BackgroundStatusAgentController::updateStatusButton() {
    if (!statusItemShown_) {
        return;
    }
    const auto look = appearance();
    statusItem_->setSymbol(look.symbolName);
    statusItem_->setAccessibilityDescription("Zorvane, " + look.title);
    statusItem_->setToolTip("Zorvane: " + look.title);
}

void BackgroundStatusAgentController::menuNeedsUpdate() {
    snapshot_ = makeSnapshot();
    statusItem_->setMenu(currentMenu());
}

// MARK: actions

void BackgroundStatusAgentController::perform(StatusMenuAction action,
                                              const std::optional<Uuid>& applicationID) {
    switch (action) {
    case StatusMenuAction::openZorvane:
        openZorvane();
        return;
    case StatusMenuAction::toggleProtection:
        toggleProtection();
        return;
    case StatusMenuAction::pauseAllForFiveMinutes:
        pauseAllForFiveMinutes();
        return;
    case StatusMenuAction::pauseAllForOneHour:
        pauseAllForOneHour();
        return;
    case StatusMenuAction::resumeAllBlocking:
        resumeAllBlocking();
        return;
    case StatusMenuAction::allowApplicationForFiveMinutes:
        allowApplicationForFiveMinutes(applicationID);
        return;
    case StatusMenuAction::allowApplicationForOneHour:
        allowApplicationForOneHour(applicationID);
        return;
    case StatusMenuAction::allowApplicationUntilQuit:
        allowApplicationUntilQuit(applicationID);
        return;
    case StatusMenuAction::blockApplicationNow:
        blockApplicationNow(applicationID);
        return;
    case StatusMenuAction::hideStatusItem:
        hideStatusItem();
        return;
    }
}

void BackgroundStatusAgentController::toggleProtection() {
    auto& preferences = *dependencies_.preferences;
    const bool requested = !snapshot_.protectionRequested;
    preferences.setValue(protectionRequestedKey, PlistValue(requested));
    preferences.synchronize();
    snapshot_.protectionRequested = requested;
    updateStatusButton();
    shouldNotifyMainAfterFilterTransition_ = true;
    if (requested) {
        filterController_->activate(deriveRules(snapshot_.applications, snapshot_.grants));
    } else {
        filterController_->deactivate();
    }
    postAgentStateChange();
}

void BackgroundStatusAgentController::pauseAllForFiveMinutes() {
    if (isProtectionActive()) {
        changeGrants(TemporaryAccess::pausingAll(snapshot_.applications,
                                                 TemporaryAccess::fiveMinutes, now()));
    }
}

void BackgroundStatusAgentController::pauseAllForOneHour() {
    if (isProtectionActive()) {
        changeGrants(
            TemporaryAccess::pausingAll(snapshot_.applications, TemporaryAccess::oneHour, now()));
    }
}

void BackgroundStatusAgentController::resumeAllBlocking() {
    changeGrants(TemporaryAccess::resumingAll());
}

void BackgroundStatusAgentController::allowApplication(
    const std::optional<Uuid>& applicationID,
    const std::function<std::vector<TemporaryAccessGrant>(const BlockedApplication&)>& grantsFor) {
    if (!applicationID || !isProtectionActive()) {
        return;
    }
    const auto& applications = snapshot_.applications;
    const auto application =
        std::find_if(applications.begin(), applications.end(),
                     [&](const BlockedApplication& listed) { return listed.id == *applicationID; });
    if (application == applications.end()) {
        return;
    }
    changeGrants(grantsFor(*application));
}

void BackgroundStatusAgentController::allowApplicationForFiveMinutes(
    const std::optional<Uuid>& applicationID) {
    allowApplication(applicationID, [this](const BlockedApplication& application) {
        return TemporaryAccess::allowingTemporarily(snapshot_.grants, application,
                                                    TemporaryAccess::fiveMinutes, now());
    });
}

void BackgroundStatusAgentController::allowApplicationForOneHour(
    const std::optional<Uuid>& applicationID) {
    allowApplication(applicationID, [this](const BlockedApplication& application) {
        return TemporaryAccess::allowingTemporarily(snapshot_.grants, application,
                                                    TemporaryAccess::oneHour, now());
    });
}

void BackgroundStatusAgentController::allowApplicationUntilQuit(
    const std::optional<Uuid>& applicationID) {
    allowApplication(applicationID, [this](const BlockedApplication& application) {
        return TemporaryAccess::allowingUntilQuit(snapshot_.grants, application, now());
    });
}

void BackgroundStatusAgentController::blockApplicationNow(
    const std::optional<Uuid>& applicationID) {
    if (applicationID) {
        changeGrants(TemporaryAccess::revoking(snapshot_.grants, *applicationID));
    }
}

void BackgroundStatusAgentController::hideStatusItem() {
    auto& preferences = *dependencies_.preferences;
    preferences.setValue(statusBarIconEnabledKey, PlistValue(false));
    preferences.synchronize();
    snapshot_.showStatusItem = false;
    postAgentStateChange();
    updateStatusItemPresence();
}

// MARK: timers

void BackgroundStatusAgentController::refreshTick() {
    ++refreshTick_;
    auto fresh = makeSnapshot();
    if (fresh == snapshot_) {
        updateStatusButton();
    } else {
        snapshot_ = std::move(fresh);
        updateStatusItemPresence();
    }
    if (refreshTick_ % filterRefreshEveryTicks == 0) {
        refreshFilterStatus();
    }
}

void BackgroundStatusAgentController::runMaintenance() {
    synchronizeFilterInBackground();
    QPointer<BackgroundStatusAgentController> self(this);
    checkForUpdates([self] {
        if (!self) {
            return;
        }
        self->refreshFilterStatus();
        self->snapshot_ = self->makeSnapshot();
        self->updateStatusItemPresence();
        emit self->maintenanceFinished();
    });
}

void BackgroundStatusAgentController::synchronizeFilterInBackground() {
    auto& preferences = *dependencies_.preferences;
    preferences.synchronize();
    const auto applications = Shared::withoutTheProgramItself(
        Shared::storedApplications(preferences).value_or(std::vector<BlockedApplication>{}),
        ownIdentifier_);
    const auto grants = TemporaryAccess::pruningExpired(
        TemporaryAccess::cappingToLifetime(
            Shared::storedGrants(preferences).value_or(std::vector<TemporaryAccessGrant>{}), now()),
        now());
    const bool requested =
        Shared::storedBoolean(preferences, protectionRequestedKey).value_or(false);
    filterController_->synchronizeInBackground(deriveRules(applications, grants), requested);
}

void BackgroundStatusAgentController::checkForUpdates(std::function<void()> then) {
    if (!dependencies_.makeUpdateController) {
        then();
        return;
    }
    // A check of an earlier run that is still waiting for the server gives way to this one.
    if (updateCheck_) {
        delete updateCheck_.data();
    }
    UpdateController* update = dependencies_.makeUpdateController().release();
    update->setParent(this);
    updateCheck_ = update;
    auto finish = [this, update, then = std::move(then)] {
        if (dependencies_.updateNotifications) {
            dependencies_.updateNotifications->notifyUpdate(update->availableUpdate());
        }
        update->deleteLater();
        then();
    };
    if (update->checkForUpdates(false, false)) {
        connect(update, &UpdateController::checkFinished, this, finish, Qt::SingleShotConnection);
    } else {
        finish();
    }
}

// MARK: opening the main application

std::string BackgroundStatusAgentController::bundleIdentifier() const {
    auto identifier = dependencies_.mainBundle->identifier();
    return identifier && !identifier->empty() ? *identifier : fallbackBundleIdentifier;
}

void BackgroundStatusAgentController::openZorvane() {
    const std::string identifier = bundleIdentifier();
    const std::int32_t self = dependencies_.processIdentifier.value_or(
        static_cast<std::int32_t>(QCoreApplication::applicationPid()));
    for (const auto& application : dependencies_.workspace->runningApplications()) {
        if (application.bundleIdentifier == identifier && application.processIdentifier != self &&
            application.activationPolicy == Workspace::ActivationPolicy::regular) {
            StateChange::requestOpenMainWindow(*dependencies_.notifications);
            dependencies_.workspace->activate(application);
            return;
        }
    }
    dependencies_.workspace->launchNewInstance(dependencies_.mainBundle->url());
}

bool BackgroundStatusAgentController::handleReopen() {
    openZorvane();
    return false;
}

void BackgroundStatusAgentController::postAgentStateChange() {
    StateChange::post(*dependencies_.preferences, *dependencies_.notifications, "agent");
}

} // namespace zorvane
