#include "app/store/AppBlockStore.h"

#include "app/agent/BackgroundStatusAgentRegistration.h"
#include "app/agent/DarwinStateObserver.h"
#include "app/agent/StateChange.h"
#include "app/agent/StateNotificationNames.h"
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/DesktopEnvironment.h"
#include "app/store/HelperLearning.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "app/store/RuleSet.h"
#include "app/store/SharedPreferencesState.h"
#include "app/store/StoreLog.h"
#include "app/store/TemporaryAccess.h"
#include "app/update/UpdateController.h"
#include "app/update/UpdateNotificationController.h"
#include "platform/SecretStore.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/FreedesktopNotificationCenter.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxLoginAgentService.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"
#include "shared/Utf8.h"
#include "zorvane/BuildInfo.h"

#include <QCollator>
#include <QFuture>
#include <QFutureWatcher>
#include <QThreadPool>
#include <QVariantMap>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

namespace zorvane {

namespace {

QString text(const std::string& value) {
    return QString::fromStdString(value);
}

std::optional<bool> storedBoolean(const Preferences& preferences, const std::string& key) {
    return SharedPreferencesState::storedBoolean(preferences, key);
}

// Runs the continuation on the context's thread from its event loop, never inside the call
// that started the work: a future that finished early would otherwise complete an operation
// before its caller returned. The watcher belongs to the context, so nothing runs once the
// context is gone.
template <typename T, typename Continuation>
void later(const QFuture<T>& future, QObject* context, Continuation continuation) {
    auto* watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, continuation = std::move(continuation)]() mutable {
                         watcher->deleteLater();
                         continuation(watcher->result());
                     });
    watcher->setFuture(future);
}

} // namespace

// The serial persistence queue and the one way back from it to the store. Work given to the
// queue may outlive the store (the event receiver hands envelopes over from its own thread),
// so the way back is a pointer cleared under a lock when the store goes; a hop posted before
// that is dropped by Qt together with the store.
struct AppBlockStore::Persistence {
    std::mutex mutex;
    AppBlockStore* store = nullptr; // guarded by mutex
    std::shared_ptr<const StoredListCopies> copies;
    // By preference key: a stored value that held entries the store could not read, while no
    // copy of it exists yet. Nothing is written over it before there is one.
    std::map<std::string, std::string> uncopied; // guarded by mutex
    QThreadPool queue;                           // last: destroyed, and so drained, first

    Persistence() {
        queue.setMaxThreadCount(1);
        queue.setObjectName(QString::fromLatin1(persistenceQueueLabel));
    }

    void enqueue(std::function<void()> work) { queue.start(std::move(work)); }

    // A copy of the stored value before anything is written over it: its path, or none, in
    // which case the key is not written until a later attempt succeeds.
    std::optional<std::filesystem::path> keepAsStored(const std::string& key,
                                                      const std::string& storedText) {
        std::lock_guard lock(mutex);
        auto copy = copies ? copies->keepAsStored(key, storedText) : std::nullopt;
        if (copy) {
            uncopied.erase(key);
        } else {
            uncopied.insert_or_assign(key, storedText);
        }
        return copy;
    }

    // The stored value is copied by the next write of the key, before it writes.
    void copyBeforeWriting(const std::string& key, const std::string& storedText) {
        std::lock_guard lock(mutex);
        uncopied.insert_or_assign(key, storedText);
    }

    // Whether the key may be written now: a stored value that waits for its copy gets it first.
    bool mayWrite(const std::string& key) {
        std::lock_guard lock(mutex);
        const auto waiting = uncopied.find(key);
        if (waiting == uncopied.end()) {
            return true;
        }
        if (!copies || !copies->keepAsStored(key, waiting->second)) {
            return false;
        }
        uncopied.erase(waiting);
        return true;
    }

    // Runs the work on the main thread, when the store still exists.
    void toStore(std::function<void(AppBlockStore&)> work) {
        std::lock_guard lock(mutex);
        if (store == nullptr) {
            return;
        }
        AppBlockStore* target = store;
        QMetaObject::invokeMethod(
            target, [target, work = std::move(work)] { work(*target); }, Qt::QueuedConnection);
    }
};

AppBlockStore::AppBlockStore(Dependencies dependencies, QObject* parent)
    : QObject(parent), dependencies_(std::move(dependencies)),
      filterController_(dependencies_.filterController),
      updateController_(dependencies_.updateController),
      persistence_(std::make_shared<Persistence>()) {
    persistence_->store = this;
    persistence_->copies = dependencies_.listCopies;
    filterController_->setParent(this);
    if (updateController_) {
        updateController_->setParent(this);
    }
    if (dependencies_.updateNotifications) {
        dependencies_.updateNotifications->setParent(this);
    }

    readSettings();
    connectControllers();

    timer_.setInterval(dependencies_.tickInterval);
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &AppBlockStore::tick);
    timer_.start();

    QPointer<AppBlockStore> self(this);
    dependencies_.workspace->setTerminationHandler(
        [self](const Workspace::RunningApplication& application) {
            if (self) {
                self->handleTermination(application);
            }
        });

    backgroundStateObserver_ = std::make_unique<DarwinStateObserver>(
        *dependencies_.notifications, StateNotificationNames::agentStateDidChange, [self] {
            if (self) {
                self->reloadSharedState();
            }
        });

    startReceiver();

    if (dependencies_.updateNotifications) {
        dependencies_.updateNotifications->configure();
    }
    if (dependencies_.registerBackgroundStatusAgent) {
        dependencies_.registerBackgroundStatusAgent();
    }
    if (updateController_) {
        QMetaObject::invokeMethod(
            this,
            [this] {
                if (updateController_) {
                    updateController_->checkForUpdates(true, false);
                }
            },
            Qt::QueuedConnection);
    }

    // The load: decoding off the main thread, the rest back here. Entry by entry, so that one
    // entry that cannot be read costs only itself; the stored value that held it is copied
    // before anything can be written over it (nothing writes either list before the load ends).
    auto preferences = dependencies_.preferences;
    auto load = QtConcurrent::run([preferences, persistence = persistence_] {
        Decoded decoded;
        if (auto stored = SharedPreferencesState::readApplications(*preferences)) {
            decoded.applications = std::move(stored->records);
            decoded.unreadableApplications = stored->unreadableEntries;
            if (stored->unreadableEntries > 0) {
                decoded.applicationsCopy =
                    persistence->keepAsStored(defaultsKey, stored->storedText);
            }
        }
        if (auto stored = SharedPreferencesState::readGrants(*preferences)) {
            decoded.grants = std::move(stored->records);
            decoded.unreadableGrants = stored->unreadableEntries;
            if (stored->unreadableEntries > 0) {
                decoded.grantsCopy =
                    persistence->keepAsStored(temporaryAccessGrantsKey, stored->storedText);
            }
        }
        return decoded;
    });
    later(std::move(load), this, [this](Decoded decoded) { finishLoad(std::move(decoded)); });
}

AppBlockStore::~AppBlockStore() {
    timer_.stop();
    dependencies_.workspace->setTerminationHandler({});
    backgroundStateObserver_.reset();
    {
        std::lock_guard lock(persistence_->mutex);
        persistence_->store = nullptr;
    }
    // Writes already given to the queue still reach the preferences and the files.
    persistence_->queue.waitForDone();
}

namespace {

// The receiver and the secret store it reads its token from, kept alive together by the hooks
// the store holds for its whole life.
struct OwnedEventReceiver {
    OwnedEventReceiver(std::shared_ptr<Preferences> preferences,
                       std::unique_ptr<SecretStore> secretStore)
        : secrets(std::move(secretStore)), receiver(std::move(preferences), *secrets) {}

    std::unique_ptr<SecretStore> secrets;
    LocalFilterEventReceiver receiver;
};

} // namespace

AppBlockStore::EventReceiverHooks
AppBlockStore::localEventReceiver(std::shared_ptr<Preferences> preferences,
                                  std::unique_ptr<SecretStore> secrets) {
    auto shared = std::make_shared<OwnedEventReceiver>(std::move(preferences), std::move(secrets));
    EventReceiverHooks hooks;
    hooks.start = [shared](std::function<void()> onReady,
                           std::function<void(FilterEventEnvelope)> onEnvelope) {
        auto& receiver = shared->receiver;
        const auto port = receiver.preferredPort();
        receiver.start(port, port.has_value(), std::move(onReady), std::move(onEnvelope));
    };
    hooks.channel = [shared] { return shared->receiver.channel(); };
    return hooks;
}

std::unique_ptr<AppBlockStore> AppBlockStore::makeStandard(EventReceiverHooks eventReceiver,
                                                           QObject* parent) {
    auto preferences = Preferences::standard();
    auto mainBundle = LinuxMainBundle::current();
    if (!eventReceiver.start) {
        eventReceiver = localEventReceiver(preferences, SecretStore::standard());
    }
    std::shared_ptr<SystemExtensionActivator> activator = LinuxSystemExtensionActivator::standard();

    Dependencies dependencies;
    dependencies.preferences = preferences;
    dependencies.notifications = std::make_shared<DBusStateNotifications>();
    dependencies.workspace = std::make_shared<LinuxWorkspace>(&ApplicationIconRenderer::render);
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        LinuxFilterManager::standard(), activator, mainBundle, eventReceiver.channel});
    dependencies.updateController = new UpdateController(UpdateController::Options{
        RunningVersion{mainBundle->shortVersion(), mainBundle->buildVersion()}, preferences});
    dependencies.updateNotifications =
        new UpdateNotificationController(UpdateNotificationController::Options{
            std::make_shared<FreedesktopNotificationCenter>(), preferences});
    dependencies.eventReceiver = std::move(eventReceiver);
    dependencies.inspect = [inspector = ApplicationInspector(&ApplicationIconRenderer::render)](
                               const std::filesystem::path& bundle, const Uuid& id) {
        return inspector.inspect(bundle, id);
    };
    dependencies.activityLog = std::make_shared<ActivityLog>(ActivityLog::standard());
    dependencies.listCopies = std::make_shared<StoredListCopies>(StoredListCopies::standard());
    dependencies.ownIdentifier = OwnIdentifier(mainBundle->identifier());
    dependencies.registerBackgroundStatusAgent = [mainBundle, preferences] {
        LinuxLoginAgentService service(mainBundle->url(), build_info::agentPlistName);
        registerBackgroundStatusAgent(*mainBundle, *preferences, service);
    };
    return std::make_unique<AppBlockStore>(std::move(dependencies), parent);
}

// MARK: start-up

void AppBlockStore::readSettings() {
    auto& preferences = *dependencies_.preferences;
    if (auto enabled = storedBoolean(preferences, statusBarIconEnabledKey)) {
        isStatusBarIconEnabled_ = *enabled;
    }
    if (auto requested = storedBoolean(preferences, protectionRequestedKey)) {
        isProtectionRequested_ = *requested;
    }
}

void AppBlockStore::connectControllers() {
    connect(filterController_, &FilterController::statusChanged, this, [this] {
        emit filterStateChanged();
        QMetaObject::invokeMethod(
            this, [this] { postMainStateChange(); }, Qt::QueuedConnection);
    });
    // Every published status, also an unchanged one: the first one after a refresh may have to
    // decide the protection wish.
    connect(filterController_, &FilterController::statusPublished, this,
            &AppBlockStore::handleStatus);
    if (updateController_) {
        connect(updateController_, &UpdateController::availableUpdateChanged, this,
                &AppBlockStore::updateStateChanged);
        connect(updateController_, &UpdateController::isCheckingChanged, this,
                &AppBlockStore::updateStateChanged);
        connect(updateController_, &UpdateController::messageChanged, this,
                &AppBlockStore::updateStateChanged);
        connect(updateController_, &UpdateController::isBannerVisibleChanged, this,
                &AppBlockStore::updateStateChanged);
    }
}

void AppBlockStore::startReceiver() {
    if (!dependencies_.eventReceiver.start) {
        return;
    }
    std::weak_ptr<Persistence> weakPersistence = persistence_;
    auto log = dependencies_.activityLog;
    // Both handlers run on the receiver's thread: they only hop or enqueue.
    auto onReady = [weakPersistence] {
        if (auto persistence = weakPersistence.lock()) {
            persistence->toStore([](AppBlockStore& store) { store.synchronizeFilter(); });
        }
    };
    auto onEnvelope = [weakPersistence, log](FilterEventEnvelope envelope) {
        auto persistence = weakPersistence.lock();
        if (!persistence) {
            return;
        }
        qCDebug(storeLog, "Envelope received: %zu activity events, %zu observations",
                envelope.activityEvents.size(), envelope.observations.size());
        Persistence* queue = persistence.get();
        queue->enqueue([queue, log, events = std::move(envelope.activityEvents),
                        observations = std::move(envelope.observations)] {
            log->persistEnvelopeContents(events, observations);
            queue->toStore([](AppBlockStore& store) {
                store.refreshActivity();
                store.refreshDiscoveredProcesses();
            });
        });
    };
    dependencies_.eventReceiver.start(std::move(onReady), std::move(onEnvelope));
}

void AppBlockStore::finishLoad(Decoded decoded) {
    std::vector<BlockedApplication> kept;
    for (auto& application : decoded.applications) {
        if (!isTheProgramItself(application)) {
            kept.push_back(application);
        }
    }
    // Before the grants are checked against what runs: a listed Linux program runs only as
    // far as the workspace knows it is listed.
    dependencies_.workspace->setListedApplications(kept);
    auto grants = TemporaryAccess::restoring(decoded.grants, now(),
                                             dependencies_.workspace->runningBundleIdentifiers());
    // What could not be read is written out as soon as its copy exists (saving waits for that),
    // so that the person hears of it once and not at every start.
    const bool applicationsDiffer =
        kept != decoded.applications || decoded.unreadableApplications > 0;
    const bool grantsDiffer = grants != decoded.grants || decoded.unreadableGrants > 0;
    setApplications(std::move(kept));
    setGrants(std::move(grants));
    if (applicationsDiffer) {
        saveApplications();
    }
    if (grantsDiffer) {
        saveGrants();
    }

    reinspectOutdatedApplications();

    hasLoadedApplications_ = true;
    refreshDiscoveredProcesses();
    refreshActivity();
    bringFilterInLineWithStoredWish();
    tellWhatWasLeftOut(decoded);
    tellPreferencesTrouble();
    for (auto& change : std::exchange(waitingForLoad_, {})) {
        change();
    }
    emit loaded();
}

void AppBlockStore::whenLoaded(std::function<void()> change) {
    if (hasLoadedApplications_) {
        change();
    } else {
        waitingForLoad_.push_back(std::move(change));
    }
}

namespace {

QString leftOutMessage(std::size_t count, const char* oneEntry, const char* entries,
                       const char* what, const std::optional<std::filesystem::path>& copy) {
    QString message = count == 1 ? QStringLiteral("1 %1 could not be read and was left out")
                                       .arg(QString::fromLatin1(oneEntry))
                                 : QStringLiteral("%1 %2 could not be read and were left out")
                                       .arg(count)
                                       .arg(QString::fromLatin1(entries));
    if (copy) {
        return message +
               QStringLiteral("; %1 as stored is kept in \"%2\".")
                   .arg(QString::fromLatin1(what), QString::fromStdString(copy->string()));
    }
    return message + QStringLiteral("; Zorvane could not keep a copy of %1 as stored, so it "
                                    "does not save over it.")
                         .arg(QString::fromLatin1(what));
}

} // namespace

void AppBlockStore::tellWhatWasLeftOut(const Decoded& decoded) {
    if (decoded.unreadableApplications > 0) {
        tell(leftOutMessage(decoded.unreadableApplications, "entry of the block list",
                            "entries of the block list", "the list", decoded.applicationsCopy));
    }
    if (decoded.unreadableGrants > 0) {
        tell(leftOutMessage(decoded.unreadableGrants, "temporary allowance", "temporary allowances",
                            "the allowances list", decoded.grantsCopy));
    }
}

void AppBlockStore::tellPreferencesTrouble() {
    auto& preferences = *dependencies_.preferences;
    if (auto keptAs = preferences.value(Preferences::unreadableFileKeptAsKey)) {
        preferences.removeValue(Preferences::unreadableFileKeptAsKey);
        const auto* path = keptAs->string();
        tell(QStringLiteral("Zorvane's settings file could not be read. It was kept as \"%1\", "
                            "and Zorvane went on with the settings it still knew.")
                 .arg(path ? QString::fromStdString(*path) : QString()));
    }
    if (preferences.takeSaveFailure()) {
        tell(QStringLiteral("Zorvane could not save its settings. Your changes are kept and "
                            "saved as soon as that works again."));
    }
}

void AppBlockStore::tell(const QString& message) {
    if (alertMessage_ && !alertMessage_->isEmpty() && !alertMessage_->contains(message)) {
        setAlertMessage(*alertMessage_ + QStringLiteral("\n\n") + message);
    } else {
        setAlertMessage(message);
    }
}

void AppBlockStore::bringFilterInLineWithStoredWish() {
    auto stored = storedBoolean(*dependencies_.preferences, protectionRequestedKey);
    if (stored && *stored) {
        filterController_->activate(ruleSet());
    } else if (stored) {
        filterController_->refreshStatus();
    } else {
        filterController_->refreshStatus(ruleSet());
    }
}

void AppBlockStore::handleStatus() {
    if (dependencies_.preferences->value(protectionRequestedKey)) {
        return;
    }
    const auto kind = filterController_->status().kind();
    bool wish = false;
    if (kind == FilterStatus::Kind::enabled) {
        wish = true;
    } else if (kind == FilterStatus::Kind::inactive) {
        wish = !applications_.empty();
    } else {
        return;
    }
    setProtectionRequestedValue(wish);
    writeProtectionRequested(wish);
    postMainStateChange();

    if (!hasLoadedApplications_) {
        return;
    }
    if (wish) {
        if (kind == FilterStatus::Kind::enabled) {
            filterController_->applyRules(ruleSet());
        } else {
            filterController_->activate(ruleSet());
        }
    } else {
        filterController_->deactivate();
    }
}

void AppBlockStore::tick() {
    refreshDiscoveredProcesses();
    refreshActivity();
    pruneExpiredTemporaryAccess();
    if (hasLoadedApplications_) {
        tellPreferencesTrouble();
    }
}

// MARK: published state

void AppBlockStore::setAlertMessage(std::optional<QString> message) {
    if (alertMessage_ == message) {
        return;
    }
    alertMessage_ = std::move(message);
    emit alertMessageChanged();
}

void AppBlockStore::setAlertMessageText(const QString& text) {
    setAlertMessage(text.isEmpty() ? std::nullopt : std::optional<QString>(text));
}

void AppBlockStore::setDropTargeted(bool targeted) {
    if (isDropTargeted_ == targeted) {
        return;
    }
    isDropTargeted_ = targeted;
    emit isDropTargetedChanged();
}

QVariantList AppBlockStore::applicationsList() const {
    QVariantList list;
    for (const auto& application : applications_) {
        QVariantMap entry;
        entry[QStringLiteral("id")] = text(application.id.string());
        entry[QStringLiteral("name")] = text(application.name);
        entry[QStringLiteral("bundleIdentifier")] = text(application.bundleIdentifier);
        entry[QStringLiteral("signingIdentifier")] = text(application.signingIdentifier);
        entry[QStringLiteral("teamIdentifier")] = text(application.teamIdentifier.value_or(""));
        entry[QStringLiteral("path")] = text(application.path);
        list.append(entry);
    }
    return list;
}

QVariantList AppBlockStore::temporaryAccessGrantsList() const {
    QVariantList list;
    for (const auto& grant : temporaryAccessGrants_) {
        QVariantMap entry;
        entry[QStringLiteral("applicationID")] = text(grant.applicationID.string());
        entry[QStringLiteral("applicationName")] = text(grant.applicationName);
        entry[QStringLiteral("expiresAt")] = grant.expiresAt.unixSeconds();
        entry[QStringLiteral("untilQuit")] = grant.mode == TemporaryAccessGrant::Mode::untilQuit;
        list.append(entry);
    }
    return list;
}

ActivityQueries AppBlockStore::activityQueries() const {
    auto collator = std::make_shared<QCollator>();
    collator->setCaseSensitivity(Qt::CaseInsensitive);
    return ActivityQueries(applications_, activityEvents_, discoveredProcesses_,
                           [collator](std::string_view lhs, std::string_view rhs) {
                               return collator->compare(
                                          QString::fromUtf8(lhs.data(), qsizetype(lhs.size())),
                                          QString::fromUtf8(rhs.data(), qsizetype(rhs.size()))) < 0;
                           });
}

FilterRules AppBlockStore::ruleSet() const {
    return RuleSet::derive(applications_, temporaryAccessGrants_, now(),
                           dependencies_.ownIdentifier)
        .filterRules();
}

// MARK: adding and removing

QList<QUrl> AppBlockStore::applicationFolders() {
    QList<QUrl> folders;
    for (const auto& directory : DesktopEnvironment::current().applicationDirectories()) {
        std::error_code error;
        if (std::filesystem::is_directory(directory, error)) {
            folders.push_back(QUrl::fromLocalFile(QString::fromStdString(directory.string())));
        }
    }
    return folders;
}

QStringList AppBlockStore::applicationNameFilters() {
    // Programs have no extension of their own, so they are found under "All files".
    return {QStringLiteral("Applications (*.desktop *.app)"), QStringLiteral("All files (*)")};
}

void AppBlockStore::addApplication(const QUrl& fileUrl) {
    // The path's bytes as the address carries them: toLocalFile() would make text of them, and
    // bytes that are not UTF-8 would then name another file.
    std::string path;
    if (fileUrl.isLocalFile()) {
        path = QByteArray::fromPercentEncoding(fileUrl.path(QUrl::FullyEncoded).toLatin1())
                   .toStdString();
    }
    addApplication(std::filesystem::path(path));
}

namespace {

// Inspections run on threads of their own: one that never ends (a bundle too large to walk in
// time, a file that never answers) is given up, but its thread stays taken until it ends. In the
// shared pool, which has as many threads as the machine has cores, two of them would stall every
// other background task; and a pool that is destroyed waits for its threads, which would hang the
// exit. So this pool is never destroyed.
QThreadPool* inspectionPool() {
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(8);
        threads->setObjectName(QStringLiteral("dev.quillmoor.Zorvane.inspection"));
        return threads;
    }();
    return pool;
}

} // namespace

void AppBlockStore::addApplication(const std::filesystem::path& bundle) {
    if (isAddingApplication_) {
        return;
    }
    setAddingApplication(true);
    const std::uint64_t addition = ++addition_;
    auto inspect = dependencies_.inspect;
    auto inspection = QtConcurrent::run(
        inspectionPool(), [inspect, bundle] { return inspect(bundle, Uuid::random()); });
    later(std::move(inspection), this, [this, addition](ApplicationInspector::Result result) {
        if (addition != addition_ || !isAddingApplication_) {
            return; // given up on already
        }
        whenLoaded([this, addition, result = std::move(result)] {
            if (addition != addition_ || !isAddingApplication_) {
                return; // given up on while the load was still running
            }
            acceptInspected(result);
            finishAdd();
        });
    });
    auto scheduler = dependencies_.scheduler ? dependencies_.scheduler : DelayScheduler::timers();
    scheduler->schedule(dependencies_.inspectionTimeLimit, this, [this, addition, bundle] {
        if (addition != addition_ || !isAddingApplication_) {
            return;
        }
        ++addition_;
        qCWarning(storeLog, "Gave up inspecting %s after %lld ms",
                  QByteArray::fromStdString(Utf8::sanitized(bundle.native())).constData(),
                  static_cast<long long>(dependencies_.inspectionTimeLimit.count()));
        acceptInspected(ApplicationInspectionError::timedOut);
        finishAdd();
    });
}

void AppBlockStore::acceptInspected(const ApplicationInspector::Result& result) {
    if (auto* error = std::get_if<ApplicationInspectionError>(&result)) {
        auto message = description(*error);
        setAlertMessage(QString::fromUtf8(message.data(), qsizetype(message.size())));
        return;
    }
    const auto& application = std::get<BlockedApplication>(result);
    if (isTheProgramItself(application)) {
        setAlertMessage(QString::fromLatin1(cannotBlockItselfMessage));
        return;
    }
    auto existing = std::find_if(
        applications_.begin(), applications_.end(), [&](const BlockedApplication& listed) {
            return listed.signingIdentifier == application.signingIdentifier;
        });
    if (existing != applications_.end()) {
        setAlertMessage(text(existing->name) + QString::fromLatin1(alreadyListedSuffix));
        return;
    }
    auto applications = applications_;
    applications.push_back(application);
    sortApplications(applications);
    setApplications(std::move(applications));
    saveApplications();
    setProtectionRequestedValue(true);
    writeProtectionRequested(true);
    postMainStateChange();
    filterController_->activate(ruleSet());
}

void AppBlockStore::finishAdd() {
    setAddingApplication(false);
    emit addFinished();
}

void AppBlockStore::removeApplication(const QString& id) {
    if (auto uuid = Uuid::parse(id.toStdString())) {
        removeApplication(*uuid);
    }
}

void AppBlockStore::removeApplication(const Uuid& id) {
    if (!hasLoadedApplications_) {
        whenLoaded([this, id] { removeApplication(id); });
        return;
    }
    auto applications = applications_;
    std::erase_if(applications,
                  [&](const BlockedApplication& application) { return application.id == id; });
    setApplications(std::move(applications));
    setGrants(TemporaryAccess::revoking(temporaryAccessGrants_, id));
    saveApplications();
    saveGrants();
    filterController_->applyRules(ruleSet());
}

// MARK: settings

void AppBlockStore::setProtectionRequested(bool requested) {
    setProtectionRequestedValue(requested);
    writeProtectionRequested(requested);
    postMainStateChange();
    if (requested) {
        filterController_->activate(ruleSet());
    } else {
        filterController_->deactivate();
    }
}

void AppBlockStore::setStatusBarIconEnabled(bool enabled) {
    if (enabled == isStatusBarIconEnabled_) {
        return;
    }
    isStatusBarIconEnabled_ = enabled;
    emit isStatusBarIconEnabledChanged();
    dependencies_.preferences->setValue(statusBarIconEnabledKey, PlistValue(enabled));
    postMainStateChange();
}

void AppBlockStore::explainProtectionUnavailable() {
    if (filterController_->status().kind() == FilterStatus::Kind::installationRequired) {
        setAlertMessage(QString::fromLatin1(moveToApplicationsMessage));
    }
}

void AppBlockStore::handleBecameActive() {
    if (filterController_->status().kind() == FilterStatus::Kind::awaitingApproval) {
        filterController_->activate(ruleSet());
    } else {
        filterController_->refreshStatus();
    }
    refreshDiscoveredProcesses();
    refreshActivity();
    pruneExpiredTemporaryAccess();
    if (updateController_) {
        QPointer<UpdateController> update(updateController_);
        QMetaObject::invokeMethod(
            this,
            [update] {
                if (update) {
                    update->checkForUpdates(false, false);
                }
            },
            Qt::QueuedConnection);
    }
}

void AppBlockStore::synchronizeFilter() {
    if (filterController_->status().kind() == FilterStatus::Kind::enabled) {
        filterController_->applyRules(ruleSet());
    }
}

void AppBlockStore::checkForUpdatesFromMenu() {
    if (!updateController_) {
        return;
    }
    if (!updateController_->checkForUpdates(true, true)) {
        return;
    }
    connect(
        updateController_, &UpdateController::checkFinished, this,
        [this](bool) {
            if (updateController_ && !updateController_->message().isEmpty()) {
                setAlertMessage(updateController_->message());
            }
        },
        Qt::SingleShotConnection);
}

void AppBlockStore::reloadSharedState() {
    auto& preferences = *dependencies_.preferences;
    preferences.synchronize();
    const bool iconEnabled = storedBoolean(preferences, statusBarIconEnabledKey).value_or(true);
    if (iconEnabled != isStatusBarIconEnabled_) {
        isStatusBarIconEnabled_ = iconEnabled;
        emit isStatusBarIconEnabledChanged();
    }
    const bool requested = storedBoolean(preferences, protectionRequestedKey).value_or(false);
    if (requested != isProtectionRequested_) {
        // The one trace of a switch made in the status agent: the window process has no other
        // record of who changed the wish.
        qCInfo(storeLog).noquote()
            << "Protection wish changed by the status agent:" << (requested ? "on" : "off");
    }
    setProtectionRequestedValue(requested);
    if (auto stored = SharedPreferencesState::readGrants(preferences)) {
        // Entries the status agent could not read either, and left in the list for us: they
        // are copied before our next save of the grants writes over them.
        if (stored->unreadableEntries > 0) {
            persistence_->copyBeforeWriting(temporaryAccessGrantsKey, stored->storedText);
        }
        if (!stored->records.empty() || stored->unreadableEntries == 0) {
            auto kept = TemporaryAccess::pruningExpired(
                TemporaryAccess::cappingToLifetime(std::move(stored->records), now()), now());
            if (kept != temporaryAccessGrants_) {
                setGrants(std::move(kept));
                // The agent saved its own rules; ours must not bring a revoked allowance back
                // with the next save.
                filterController_->applyRulesToStoredConfiguration(ruleSet());
            }
        }
    }
    tellPreferencesTrouble();
    filterController_->refreshStatus();
}

void AppBlockStore::reinspectOutdatedApplications() {
    std::vector<BlockedApplication> outdated;
    for (const auto& application : applications_) {
        if (!application.auxiliaryCodeIdentities || !application.inspectionVersion ||
            *application.inspectionVersion != BlockedApplication::currentInspectionVersion) {
            outdated.push_back(application);
        }
    }
    if (outdated.empty()) {
        return;
    }
    auto inspect = dependencies_.inspect;
    auto inspections = QtConcurrent::run([inspect, outdated] {
        std::vector<BlockedApplication> results;
        for (const auto& application : outdated) {
            auto result = inspect(std::filesystem::path(application.path), application.id);
            if (auto* inspected = std::get_if<BlockedApplication>(&result)) {
                results.push_back(std::move(*inspected));
            }
        }
        return results;
    });
    later(std::move(inspections), this, [this](std::vector<BlockedApplication> results) {
        auto applications = applications_;
        for (auto& application : applications) {
            auto replacement =
                std::find_if(results.begin(), results.end(),
                             [&](const BlockedApplication& r) { return r.id == application.id; });
            if (replacement != results.end()) {
                application = *replacement;
            }
        }
        if (applications == applications_) {
            return;
        }
        setApplications(std::move(applications));
        saveApplications();
        synchronizeFilter();
    });
}

// MARK: temporary access

bool AppBlockStore::isProtectionActive() const {
    return isProtectionRequested_ &&
           filterController_->status().kind() == FilterStatus::Kind::enabled;
}

void AppBlockStore::allowTemporarily(const BlockedApplication& application, double duration) {
    if (!hasLoadedApplications_) {
        whenLoaded([this, application, duration] { allowTemporarily(application, duration); });
        return;
    }
    if (!isProtectionActive()) {
        setAlertMessage(
            QString::fromUtf8(TemporaryAccess::protectionInactiveMessage.data(),
                              qsizetype(TemporaryAccess::protectionInactiveMessage.size())));
        return;
    }
    setGrants(
        TemporaryAccess::allowingTemporarily(temporaryAccessGrants_, application, duration, now()));
    saveGrants();
    synchronizeFilter();
}

void AppBlockStore::allowUntilQuit(const BlockedApplication& application) {
    if (!hasLoadedApplications_) {
        whenLoaded([this, application] { allowUntilQuit(application); });
        return;
    }
    if (!TemporaryAccess::isRunning(application.bundleIdentifier,
                                    dependencies_.workspace->runningBundleIdentifiers())) {
        setAlertMessage(text(TemporaryAccess::notRunningMessage(application)));
        return;
    }
    if (!isProtectionActive()) {
        setAlertMessage(
            QString::fromUtf8(TemporaryAccess::protectionInactiveMessage.data(),
                              qsizetype(TemporaryAccess::protectionInactiveMessage.size())));
        return;
    }
    setGrants(TemporaryAccess::allowingUntilQuit(temporaryAccessGrants_, application, now()));
    saveGrants();
    synchronizeFilter();
}

namespace {

const BlockedApplication* listedApplication(const std::vector<BlockedApplication>& applications,
                                            const QString& id) {
    auto uuid = Uuid::parse(id.toStdString());
    if (!uuid) {
        return nullptr;
    }
    auto it = std::find_if(
        applications.begin(), applications.end(),
        [&](const BlockedApplication& application) { return application.id == *uuid; });
    return it == applications.end() ? nullptr : &*it;
}

} // namespace

void AppBlockStore::allowTemporarily(const QString& applicationID, double duration) {
    if (const auto* application = listedApplication(applications_, applicationID)) {
        allowTemporarily(BlockedApplication(*application), duration);
    }
}

void AppBlockStore::allowUntilQuit(const QString& applicationID) {
    if (const auto* application = listedApplication(applications_, applicationID)) {
        allowUntilQuit(BlockedApplication(*application));
    }
}

void AppBlockStore::revokeTemporaryAccess(const QString& applicationID) {
    if (auto uuid = Uuid::parse(applicationID.toStdString())) {
        revokeTemporaryAccess(*uuid);
    }
}

bool AppBlockStore::isApplicationRunning(const QString& bundleIdentifier) const {
    return TemporaryAccess::isRunning(bundleIdentifier.toStdString(),
                                      dependencies_.workspace->runningBundleIdentifiers());
}

void AppBlockStore::revokeTemporaryAccess(const Uuid& applicationID) {
    if (!hasLoadedApplications_) {
        whenLoaded([this, applicationID] { revokeTemporaryAccess(applicationID); });
        return;
    }
    changeGrants(TemporaryAccess::revoking(temporaryAccessGrants_, applicationID));
}

void AppBlockStore::pruneExpiredTemporaryAccess() {
    changeGrants(TemporaryAccess::pruningExpired(temporaryAccessGrants_, now()));
}

std::optional<TemporaryAccessGrant>
AppBlockStore::activeTemporaryAccessGrant(const Uuid& applicationID) const {
    return TemporaryAccess::activeGrant(temporaryAccessGrants_, applicationID, now());
}

void AppBlockStore::handleTermination(const Workspace::RunningApplication& application) {
    if (!application.bundleIdentifier) {
        return;
    }
    changeGrants(
        TemporaryAccess::endingUntilQuit(temporaryAccessGrants_, *application.bundleIdentifier));
}

void AppBlockStore::changeGrants(std::vector<TemporaryAccessGrant> grants) {
    if (grants.size() == temporaryAccessGrants_.size()) {
        return;
    }
    setGrants(std::move(grants));
    saveGrants();
    // An allowance taken away must leave the stored configuration now, whatever the filter's
    // status: one saved while an activation waits would otherwise keep honouring it.
    filterController_->applyRulesToStoredConfiguration(ruleSet());
}

// MARK: activity

void AppBlockStore::persistEnvelopeContents(std::vector<NetworkActivityEvent> events,
                                            std::vector<DiscoveredNetworkProcess> observations) {
    Persistence* queue = persistence_.get();
    queue->enqueue([queue, log = dependencies_.activityLog, events = std::move(events),
                    observations = std::move(observations)] {
        log->persistEnvelopeContents(events, observations);
        queue->toStore([](AppBlockStore& store) {
            store.refreshActivity();
            store.refreshDiscoveredProcesses();
        });
    });
}

void AppBlockStore::refreshActivity() {
    if (activityRefreshRunning_) {
        return;
    }
    activityRefreshRunning_ = true;
    auto log = dependencies_.activityLog;
    auto load = QtConcurrent::run([log] { return log->loadEvents(); });
    later(std::move(load), this, [this](std::vector<NetworkActivityEvent> events) {
        activityRefreshRunning_ = false;
        if (events != activityEvents_) {
            activityEvents_ = std::move(events);
            emit activityEventsChanged();
        }
    });
}

void AppBlockStore::refreshDiscoveredProcesses() {
    if (discoveryRefreshRunning_) {
        return;
    }
    discoveryRefreshRunning_ = true;
    auto log = dependencies_.activityLog;
    auto load = QtConcurrent::run([log] { return log->loadObservations(); });
    later(std::move(load), this, [this](std::vector<DiscoveredNetworkProcess> processes) {
        discoveryRefreshRunning_ = false;
        applyDiscoveredProcesses(processes);
    });
}

void AppBlockStore::applyDiscoveredProcesses(
    const std::vector<DiscoveredNetworkProcess>& processes) {
    if (processes != discoveredProcesses_) {
        discoveredProcesses_ = processes;
        emit discoveredProcessesChanged();
    }
    if (auto learned = HelperLearning::learn(applications_, processes)) {
        setApplications(std::move(*learned));
        saveApplications();
        synchronizeFilter();
    }
}

void AppBlockStore::waitForPersistence() {
    persistence_->queue.waitForDone();
}

// MARK: helpers

bool AppBlockStore::isTheProgramItself(const BlockedApplication& application) const {
    return SharedPreferencesState::isTheProgramItself(application, dependencies_.ownIdentifier);
}

void AppBlockStore::sortApplications(std::vector<BlockedApplication>& applications) const {
    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(applications.begin(), applications.end(),
                     [&](const BlockedApplication& lhs, const BlockedApplication& rhs) {
                         return collator.compare(text(lhs.name), text(rhs.name)) < 0;
                     });
}

void AppBlockStore::setApplications(std::vector<BlockedApplication> applications) {
    if (applications == applications_) {
        return;
    }
    applications_ = std::move(applications);
    dependencies_.workspace->setListedApplications(applications_);
    emit applicationsChanged();
}

void AppBlockStore::setGrants(std::vector<TemporaryAccessGrant> grants) {
    if (grants == temporaryAccessGrants_) {
        return;
    }
    temporaryAccessGrants_ = std::move(grants);
    emit temporaryAccessGrantsChanged();
}

void AppBlockStore::setProtectionRequestedValue(bool requested) {
    if (requested == isProtectionRequested_) {
        return;
    }
    isProtectionRequested_ = requested;
    emit isProtectionRequestedChanged();
}

void AppBlockStore::setAddingApplication(bool adding) {
    if (adding == isAddingApplication_) {
        return;
    }
    isAddingApplication_ = adding;
    emit isAddingApplicationChanged();
}

void AppBlockStore::writeProtectionRequested(bool requested) {
    dependencies_.preferences->setValue(protectionRequestedKey, PlistValue(requested));
}

void AppBlockStore::saveApplications() {
    Persistence* queue = persistence_.get();
    queue->enqueue([queue, preferences = dependencies_.preferences, applications = applications_] {
        if (!queue->mayWrite(defaultsKey)) {
            return;
        }
        const auto text = SharedPreferencesState::storeApplications(*preferences, applications);
        queue->toStore([](AppBlockStore& store) { store.postMainStateChange(); });
        // After the hop, so that the copy never delays the save. An empty list is nothing
        // anyone would bring back, and would only push a list worth having out of the set.
        if (queue->copies && !applications.empty()) {
            queue->copies->keepGood(defaultsKey, text);
        }
    });
}

void AppBlockStore::saveGrants() {
    if (!persistence_->mayWrite(temporaryAccessGrantsKey)) {
        return;
    }
    // A list that cannot be encoded leaves the stored one as it was.
    if (SharedPreferencesState::storeGrants(*dependencies_.preferences, temporaryAccessGrants_)) {
        postMainStateChange();
    }
}

void AppBlockStore::postMainStateChange() {
    StateChange::post(*dependencies_.preferences, *dependencies_.notifications, "main");
}

} // namespace zorvane
