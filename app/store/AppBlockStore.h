#pragma once

#include "app/filter-control/DelayScheduler.h"
#include "app/filter-control/FilterController.h"
#include "app/filter-control/FilterRules.h"
#include "app/filter-control/FilterStatus.h"
#include "app/store/ActivityLog.h"
#include "app/store/ActivityQueries.h"
#include "app/store/ApplicationInspector.h"
#include "app/store/SharedPreferencesState.h"
#include "app/store/StoredListCopies.h"
#include "platform/Preferences.h"
#include "platform/StateNotifications.h"
#include "platform/Workspace.h"
#include "shared/BlockedApplication.h"
#include "shared/Clock.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/EventChannel.h"
#include "shared/FilterEventEnvelope.h"
#include "shared/NetworkActivityEvent.h"
#include "shared/OwnIdentifier.h"
#include "shared/PlatformWording.h"
#include "shared/TemporaryAccessGrant.h"
#include "shared/Uuid.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zorvane {

class DarwinStateObserver;
class SecretStore;
class UpdateController;
class UpdateNotificationController;

// The window process's model: the block list, the settings kept in the preferences, the
// temporary allowances and the activity the filter reported. It decides when and with which
// rules the filter controller turns the filter on, off or updates it, and keeps the status agent
// in step through the shared preferences and the state notifications.
//
// Main thread only. Inspection and file loads run on background tasks, the block list's writes
// and the merges of reported activity on one serial persistence queue; every result comes back
// to the main thread, and results that arrive after the store is gone are dropped.
class AppBlockStore : public QObject {
    Q_OBJECT
    Q_PROPERTY(QVariantList applications READ applicationsList NOTIFY applicationsChanged)
    Q_PROPERTY(int applicationCount READ applicationCount NOTIFY applicationsChanged)
    Q_PROPERTY(
        int discoveredProcessCount READ discoveredProcessCount NOTIFY discoveredProcessesChanged)
    Q_PROPERTY(int activityEventCount READ activityEventCount NOTIFY activityEventsChanged)
    Q_PROPERTY(QVariantList temporaryAccessGrants READ temporaryAccessGrantsList NOTIFY
                   temporaryAccessGrantsChanged)
    Q_PROPERTY(bool isStatusBarIconEnabled READ isStatusBarIconEnabled WRITE setStatusBarIconEnabled
                   NOTIFY isStatusBarIconEnabledChanged)
    Q_PROPERTY(bool isProtectionRequested READ isProtectionRequested WRITE setProtectionRequested
                   NOTIFY isProtectionRequestedChanged)
    Q_PROPERTY(bool isAddingApplication READ isAddingApplication NOTIFY isAddingApplicationChanged)
    // Empty when there is none; the interface clears it.
    Q_PROPERTY(QString alertMessage READ alertMessageText WRITE setAlertMessageText NOTIFY
                   alertMessageChanged)
    Q_PROPERTY(
        bool isDropTargeted READ isDropTargeted WRITE setDropTargeted NOTIFY isDropTargetedChanged)
    Q_PROPERTY(zorvane::FilterStatus filterStatus READ filterStatus NOTIFY filterStateChanged)
    Q_PROPERTY(bool hasLoadedApplications READ hasLoadedApplications NOTIFY loaded)
    // Null when the store was built without one.
    Q_PROPERTY(zorvane::UpdateController* updateController READ updateController CONSTANT)
    // Where the file dialog for choosing an application opens and what it lists.
    Q_PROPERTY(QList<QUrl> applicationFolders READ applicationFolders CONSTANT)
    Q_PROPERTY(QStringList applicationNameFilters READ applicationNameFilters CONSTANT)
    Q_MOC_INCLUDE("app/update/UpdateController.h")

public:
    static constexpr const char* defaultsKey = SharedPreferencesState::applicationsKey;
    static constexpr const char* protectionRequestedKey =
        SharedPreferencesState::protectionRequestedKey;
    static constexpr const char* temporaryAccessGrantsKey = SharedPreferencesState::grantsKey;
    static constexpr const char* statusBarIconEnabledKey =
        SharedPreferencesState::statusBarIconEnabledKey;
    static constexpr const char* persistenceQueueLabel = "dev.quillmoor.Zorvane.persistence";

    static constexpr const char* cannotBlockItselfMessage = "Zorvane cannot block itself.";
    static constexpr const char* alreadyListedSuffix = " is already on the list.";
    static constexpr const char* moveToApplicationsMessage =
        PlatformWording::text("alert.installationRequired");

    // The event receiver as the store uses it: start it with the two handlers. onReady runs
    // each time its listener became ready, onEnvelope for every authenticated envelope, both on
    // the receiver's own thread.
    struct EventReceiverHooks {
        std::function<void(std::function<void()> onReady,
                           std::function<void(FilterEventEnvelope)> onEnvelope)>
            start;
        // The published channel, for the filter controller's configuration.
        EventChannelSource channel;
    };

    using Inspect = std::function<ApplicationInspector::Result(const std::filesystem::path& bundle,
                                                               const Uuid& id)>;

    struct Dependencies {
        std::shared_ptr<Preferences> preferences;          // required
        std::shared_ptr<StateNotifications> notifications; // required
        std::shared_ptr<Workspace> workspace;              // required
        FilterController* filterController = nullptr;      // required; the store adopts it
        UpdateController* updateController = nullptr;      // optional; adopted
        UpdateNotificationController* updateNotifications = nullptr; // optional; adopted
        EventReceiverHooks eventReceiver;                            // empty: no receiver
        std::shared_ptr<const Clock> clock = Clock::system();
        // Blocking; called on background threads.
        Inspect inspect;                                // required
        std::shared_ptr<const ActivityLog> activityLog; // required
        // Where the lists are copied: as stored when some entries could not be read, and the
        // last good saves of the block list. None: no copies, and so a stored list with entries
        // that could not be read is never written over.
        std::shared_ptr<const StoredListCopies> listCopies;
        OwnIdentifier ownIdentifier{std::nullopt};
        // Registers the status agent as a login agent; empty: nothing to register.
        std::function<void()> registerBackgroundStatusAgent;
        std::chrono::milliseconds tickInterval{5000};
        // How long an addition waits for its inspection before it gives up; the delay runs on
        // the scheduler (empty: Qt timers).
        std::chrono::milliseconds inspectionTimeLimit{30000};
        std::shared_ptr<DelayScheduler> scheduler;
    };

    explicit AppBlockStore(Dependencies dependencies, QObject* parent = nullptr);
    ~AppBlockStore() override;

    // The store of the window process on this platform's services; without receiver hooks it
    // gets the real event receiver, whose token lives in the keychain.
    static std::unique_ptr<AppBlockStore> makeStandard(EventReceiverHooks eventReceiver = {},
                                                       QObject* parent = nullptr);

    // The real event receiver as the standard store runs it: its preferred port from the
    // preferences, its token in the given secret store. The receiver and the secret store live
    // as long as the hooks and their copies.
    static EventReceiverHooks localEventReceiver(std::shared_ptr<Preferences> preferences,
                                                 std::unique_ptr<SecretStore> secrets);

    // MARK: published state
    const std::vector<BlockedApplication>& applications() const { return applications_; }
    const std::vector<DiscoveredNetworkProcess>& discoveredProcesses() const {
        return discoveredProcesses_;
    }
    const std::vector<NetworkActivityEvent>& activityEvents() const { return activityEvents_; }
    const std::vector<TemporaryAccessGrant>& temporaryAccessGrants() const {
        return temporaryAccessGrants_;
    }
    bool isStatusBarIconEnabled() const { return isStatusBarIconEnabled_; }
    bool isProtectionRequested() const { return isProtectionRequested_; }
    bool isAddingApplication() const { return isAddingApplication_; }
    const std::optional<QString>& alertMessage() const { return alertMessage_; }
    void setAlertMessage(std::optional<QString> message);
    bool isDropTargeted() const { return isDropTargeted_; }
    void setDropTargeted(bool targeted);
    bool hasLoadedApplications() const { return hasLoadedApplications_; }

    FilterController& filterController() const { return *filterController_; }
    UpdateController* updateController() const { return updateController_; }
    const FilterStatus& filterStatus() const { return filterController_->status(); }
    Workspace& workspace() const { return *dependencies_.workspace; }
    // The same, for work that may outlive the store (reads on worker threads).
    std::shared_ptr<const Workspace> sharedWorkspace() const { return dependencies_.workspace; }

    QVariantList applicationsList() const;
    int applicationCount() const { return static_cast<int>(applications_.size()); }
    int discoveredProcessCount() const { return static_cast<int>(discoveredProcesses_.size()); }
    int activityEventCount() const { return static_cast<int>(activityEvents_.size()); }
    QVariantList temporaryAccessGrantsList() const;
    QString alertMessageText() const { return alertMessage_.value_or(QString()); }
    void setAlertMessageText(const QString& text);

    // What the views show per application, over the current lists.
    ActivityQueries activityQueries() const;

    // The four values for the filter, derived from the current state.
    FilterRules ruleSet() const;

    // The desktop's applications folders that exist, the person's own first, as file
    // addresses; desktop entries are chosen there, programs anywhere.
    static QList<QUrl> applicationFolders();
    static QStringList applicationNameFilters();

    // MARK: operations
    void addApplication(const std::filesystem::path& bundle);
    Q_INVOKABLE void addApplication(const QUrl& fileUrl);
    void removeApplication(const Uuid& id);
    Q_INVOKABLE void removeApplication(const QString& id);
    void setProtectionRequested(bool requested);
    void setStatusBarIconEnabled(bool enabled);
    Q_INVOKABLE void explainProtectionUnavailable();
    Q_INVOKABLE void handleBecameActive();
    Q_INVOKABLE void synchronizeFilter();
    Q_INVOKABLE void checkForUpdatesFromMenu();
    void reloadSharedState();
    void reinspectOutdatedApplications();

    // Temporary access: allowing works only while protection is active.
    bool isProtectionActive() const;
    void allowTemporarily(const BlockedApplication& application, double duration);
    void allowUntilQuit(const BlockedApplication& application);
    void revokeTemporaryAccess(const Uuid& applicationID);
    // The same by the listed application's id, for the views; unknown ids change nothing.
    Q_INVOKABLE void allowTemporarily(const QString& applicationID, double duration);
    Q_INVOKABLE void allowUntilQuit(const QString& applicationID);
    Q_INVOKABLE void revokeTemporaryAccess(const QString& applicationID);
    // Whether an application with this bundle identifier runs now.
    Q_INVOKABLE bool isApplicationRunning(const QString& bundleIdentifier) const;
    void pruneExpiredTemporaryAccess();
    std::optional<TemporaryAccessGrant> activeTemporaryAccessGrant(const Uuid& applicationID) const;

    // Activity: the merges run on the persistence queue, the refreshes load on background
    // tasks and apply on the main thread; a refresh asked for while one runs is left to the
    // next request.
    void persistEnvelopeContents(std::vector<NetworkActivityEvent> events,
                                 std::vector<DiscoveredNetworkProcess> observations);
    void refreshActivity();
    void refreshDiscoveredProcesses();
    void applyDiscoveredProcesses(const std::vector<DiscoveredNetworkProcess>& processes);

    // Blocks until the persistence queue has run everything given to it so far.
    void waitForPersistence();

signals:
    void applicationsChanged();
    void discoveredProcessesChanged();
    void activityEventsChanged();
    void temporaryAccessGrantsChanged();
    void isStatusBarIconEnabledChanged();
    void isProtectionRequestedChanged();
    void isAddingApplicationChanged();
    void alertMessageChanged();
    void isDropTargetedChanged();
    // The filter controller's or the update controller's published state changed.
    void filterStateChanged();
    void updateStateChanged();
    // The start-up load has finished.
    void loaded();
    // An add finished, whatever its outcome.
    void addFinished();

private:
    struct Persistence;
    // What the start-up load read, and what it had to leave out.
    struct Decoded {
        std::vector<BlockedApplication> applications;
        std::vector<TemporaryAccessGrant> grants;
        std::size_t unreadableApplications = 0;
        std::size_t unreadableGrants = 0;
        // The copies of the stored values that held them; none when that copy failed.
        std::optional<std::filesystem::path> applicationsCopy;
        std::optional<std::filesystem::path> grantsCopy;
    };

    void readSettings();
    void connectControllers();
    void startReceiver();
    void tick();
    void finishLoad(Decoded decoded);
    // Runs the change now once the start-up load has finished, else right after it, so that a
    // change made meanwhile neither is lost to the loaded lists nor saves over them.
    void whenLoaded(std::function<void()> change);
    // Tells the person what the load left out, and what the preferences could not read or write.
    void tellWhatWasLeftOut(const Decoded& decoded);
    void tellPreferencesTrouble();
    void tell(const QString& message);
    void bringFilterInLineWithStoredWish();
    void handleStatus();
    void acceptInspected(const ApplicationInspector::Result& result);
    void handleTermination(const Workspace::RunningApplication& application);
    void finishAdd();

    bool isTheProgramItself(const BlockedApplication& application) const;
    void sortApplications(std::vector<BlockedApplication>& applications) const;
    void setApplications(std::vector<BlockedApplication> applications);
    void setGrants(std::vector<TemporaryAccessGrant> grants);
    // Stores the grants, and when their number changed saves them and pushes the rules.
    void changeGrants(std::vector<TemporaryAccessGrant> grants);
    void setProtectionRequestedValue(bool requested);
    void setAddingApplication(bool adding);
    void writeProtectionRequested(bool requested);
    void saveApplications();
    void saveGrants();
    void postMainStateChange();
    Date now() const { return dependencies_.clock->now(); }

    Dependencies dependencies_;
    FilterController* filterController_;
    UpdateController* updateController_;

    std::vector<BlockedApplication> applications_;
    std::vector<DiscoveredNetworkProcess> discoveredProcesses_;
    std::vector<NetworkActivityEvent> activityEvents_;
    std::vector<TemporaryAccessGrant> temporaryAccessGrants_;
    bool isStatusBarIconEnabled_ = true;
    bool isProtectionRequested_ = false;
    bool isAddingApplication_ = false;
    std::optional<QString> alertMessage_;
    bool isDropTargeted_ = false;
    bool hasLoadedApplications_ = false;
    bool discoveryRefreshRunning_ = false;
    bool activityRefreshRunning_ = false;
    // Numbers the additions, so that the result of one that was given up is known as such.
    std::uint64_t addition_ = 0;
    std::vector<std::function<void()>> waitingForLoad_;

    std::shared_ptr<Persistence> persistence_;
    QTimer timer_;
    std::unique_ptr<DarwinStateObserver> backgroundStateObserver_;
};

} // namespace zorvane
