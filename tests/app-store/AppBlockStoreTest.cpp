#include "app/store/AppBlockStore.h"

#include "StoreFakes.h"
#include "StoreFixtures.h"
#include "app/agent/StateNotificationNames.h"
#include "app/store/StoredListCopies.h"
#include "app/update/UpdateController.h"
#include "platform/linux/PlistPreferences.h"
#include "shared/PlatformWording.h"
#include "shared/RecordJson.h"
#include "tests/app-filter-control/FilterControlFakes.h"
#include "tests/app-update/LocalHttpServer.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest/QTest>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <thread>

namespace zorvane {
namespace {

using fixtures::application;
using fixtures::start;
using testing::FakeNotifications;
using testing::FakeWorkspace;

Date at(double seconds) {
    return Date{start.secondsSinceReferenceDate + seconds};
}

PlistValue dataValue(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

std::string storedText(const Preferences& preferences, const std::string& key) {
    auto value = preferences.value(key);
    if (!value || !value->data()) {
        return {};
    }
    return std::string(value->data()->begin(), value->data()->end());
}

TemporaryAccessGrant grantFor(const BlockedApplication& app, Date expiresAt,
                              TemporaryAccessGrant::Mode mode) {
    TemporaryAccessGrant grant;
    grant.applicationID = app.id;
    grant.applicationName = app.name;
    grant.applicationBundleIdentifier = app.bundleIdentifier;
    grant.codeIdentityKeys = {app.primaryCodeIdentity().key()};
    grant.applicationPath = app.path;
    grant.expiresAt = expiresAt;
    grant.mode = mode;
    return grant;
}

// One store on fakes: the filter controller is the real one, over an in-memory filter manager
// and activator.
class StoreTest : public ::testing::Test {
protected:
    std::shared_ptr<Preferences> preferences = std::make_shared<testing::MemoryPreferences>();
    std::shared_ptr<FakeNotifications> notifications = std::make_shared<FakeNotifications>();
    std::shared_ptr<FakeWorkspace> workspace = std::make_shared<FakeWorkspace>();
    std::shared_ptr<testing::FakeFilterManager> manager =
        std::make_shared<testing::FakeFilterManager>();
    std::shared_ptr<testing::FakeActivator> activator = std::make_shared<testing::FakeActivator>();
    std::shared_ptr<testing::FakeMainBundle> bundle = std::make_shared<testing::FakeMainBundle>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(start);
    TemporaryDirectory container;
    // Inspection results by bundle path.
    std::map<std::string, ApplicationInspector::Result> inspections;
    std::mutex inspectionMutex;
    std::atomic<int> inspectionsRun{0};
    AppBlockStore::EventReceiverHooks receiverHooks;
    std::optional<UpdateController::Options> updateOptions; // none: no update controller
    std::chrono::milliseconds tickInterval{5000};
    std::shared_ptr<testing::ManualScheduler> scheduler =
        std::make_shared<testing::ManualScheduler>();
    // An inspection of this path waits until the gate opens.
    std::string gatedPath;
    std::shared_future<void> gate;
    std::atomic<int> finishedInspections = 0;
    std::shared_ptr<const StoredListCopies> listCopies =
        std::make_shared<StoredListCopies>(container.path());
    std::unique_ptr<AppBlockStore> store;

    // A read of the activity log still on the shared pool would make its folder again inside the
    // container once that is gone.
    ~StoreTest() override {
        store.reset();
        QThreadPool::globalInstance()->waitForDone();
    }

    void storeApplications(const std::vector<BlockedApplication>& applications) {
        preferences->setValue(AppBlockStore::defaultsKey,
                              dataValue(RecordJson::encodeBlockedApplications(applications)));
    }
    void storeGrants(const std::vector<TemporaryAccessGrant>& grants) {
        preferences->setValue(AppBlockStore::temporaryAccessGrantsKey,
                              dataValue(*RecordJson::encodeTemporaryAccessGrants(grants)));
    }
    void enableFilter() {
        FilterConfiguration configuration;
        configuration.enabled = true;
        manager->stored = configuration;
    }

    void startStore() {
        buildStore();
        ASSERT_TRUE(QTest::qWaitFor([&] { return store->hasLoadedApplications(); }, 5000));
        testing::settle();
    }

    // The store, its start-up load still running.
    void buildStore() {
        AppBlockStore::Dependencies dependencies;
        dependencies.preferences = preferences;
        dependencies.notifications = notifications;
        dependencies.workspace = workspace;
        dependencies.filterController = new FilterController(FilterController::Dependencies{
            manager, activator, bundle, {}, clock, std::make_shared<testing::ManualScheduler>()});
        dependencies.clock = clock;
        dependencies.eventReceiver = receiverHooks;
        if (updateOptions) {
            dependencies.updateController = new UpdateController(*updateOptions);
        }
        dependencies.tickInterval = tickInterval;
        dependencies.scheduler = scheduler;
        dependencies.inspect = [this](const std::filesystem::path& path, const Uuid& id) {
            std::shared_future<void> wait;
            {
                std::lock_guard lock(inspectionMutex);
                if (path.string() == gatedPath) {
                    wait = gate;
                }
            }
            if (wait.valid()) {
                wait.wait();
            }
            struct Finished {
                std::atomic<int>& count;
                ~Finished() { ++count; }
            } finished{finishedInspections};
            std::lock_guard lock(inspectionMutex);
            ++inspectionsRun;
            auto it = inspections.find(path.string());
            if (it == inspections.end()) {
                return ApplicationInspector::Result(ApplicationInspectionError::notAnApplication);
            }
            auto result = it->second;
            if (auto* app = std::get_if<BlockedApplication>(&result)) {
                app->id = id;
            }
            return result;
        };
        dependencies.activityLog = std::make_shared<ActivityLog>(container.path(), clock);
        dependencies.ownIdentifier = OwnIdentifier(std::string("dev.quillmoor.Zorvane"));
        dependencies.listCopies = listCopies;
        store = std::make_unique<AppBlockStore>(std::move(dependencies));
    }

    void add(const BlockedApplication& app) {
        {
            std::lock_guard lock(inspectionMutex);
            inspections.insert_or_assign(app.path, app);
        }
        store->addApplication(std::filesystem::path(app.path));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !store->isAddingApplication(); }, 5000));
        store->waitForPersistence();
        testing::settle();
    }

    std::vector<BlockedApplication> storedApplications() {
        store->waitForPersistence();
        return RecordJson::decodeBlockedApplications(
                   storedText(*preferences, AppBlockStore::defaultsKey))
            .value_or(std::vector<BlockedApplication>{});
    }
    std::optional<bool> storedWish() {
        auto value = preferences->value(AppBlockStore::protectionRequestedKey);
        return value && value->boolean() ? std::optional<bool>(*value->boolean()) : std::nullopt;
    }
};

TEST_F(StoreTest, AddingSortsByNameTurnsProtectionOnAndRefusesSelfAndDuplicates) {
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(false));
    startStore();
    EXPECT_FALSE(store->isProtectionRequested());

    add(application("zeta", "com.example.zeta"));
    add(application("Alpha", "com.example.alpha"));
    add(application("beta", "com.example.beta"));
    ASSERT_EQ(store->applications().size(), 3u);
    EXPECT_EQ(store->applications()[0].name, "Alpha");
    EXPECT_EQ(store->applications()[1].name, "beta");
    EXPECT_EQ(store->applications()[2].name, "zeta");
    EXPECT_EQ(storedApplications(), store->applications());
    EXPECT_TRUE(store->isProtectionRequested());
    EXPECT_EQ(storedWish(), true);
    EXPECT_FALSE(activator->submitted.empty()); // activation asked for

    // Same signing identifier at another path: the listed entry's name.
    auto duplicate = application("Other", "com.example.beta");
    duplicate.path = "/Elsewhere/Other.app";
    add(duplicate);
    EXPECT_EQ(store->alertMessage(), QString("beta is already on the list."));
    EXPECT_EQ(store->applications().size(), 3u);

    store->setAlertMessage(std::nullopt);
    add(application("Zorvane", "dev.quillmoor.Zorvane"));
    EXPECT_EQ(store->alertMessage(), QString("Zorvane cannot block itself."));
    store->setAlertMessage(std::nullopt);
    add(application("Helper", "dev.quillmoor.Zorvane.Helper"));
    EXPECT_EQ(store->alertMessage(), QString("Zorvane cannot block itself."));
    store->setAlertMessage(std::nullopt);
    auto carrier = application("Carrier", "com.example.carrier", "TEAM123456",
                               {CodeIdentity{"dev.quillmoor.Zorvane.agent", "TEAM123456"}});
    add(carrier);
    EXPECT_EQ(store->alertMessage(), QString("Zorvane cannot block itself."));
    store->setAlertMessage(std::nullopt);
    add(application("ZorvaneX", "dev.quillmoor.ZorvaneX"));
    EXPECT_FALSE(store->alertMessage());
    EXPECT_EQ(store->applications().size(), 4u);

    // An inspection failure shows its description and changes nothing.
    store->addApplication(std::filesystem::path("/nowhere/Nothing"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->isAddingApplication(); }, 5000));
    EXPECT_EQ(store->alertMessage(), QString(PlatformWording::text("inspection.notAnApplication")));
    EXPECT_EQ(store->applications().size(), 4u);
}

TEST_F(StoreTest, ADropDuringAnAddIsIgnored) {
    startStore();
    auto first = application("First", "com.example.first");
    auto second = application("Second", "com.example.second");
    inspections.insert_or_assign(first.path, first);
    inspections.insert_or_assign(second.path, second);
    store->addApplication(std::filesystem::path(first.path));
    store->addApplication(std::filesystem::path(second.path));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->isAddingApplication(); }, 5000));
    testing::settle();
    ASSERT_EQ(store->applications().size(), 1u);
    EXPECT_EQ(store->applications()[0].name, "First");
}

// An inspection that does not end is given up after its time limit: the person is told, the
// drop zone takes drops again, and the late result changes nothing.
TEST_F(StoreTest, AnInspectionThatDoesNotEndIsGivenUp) {
    startStore();
    auto stuck = application("Stuck", "com.example.stuck");
    auto next = application("Next", "com.example.next");
    std::promise<void> open;
    {
        std::lock_guard lock(inspectionMutex);
        inspections.insert_or_assign(stuck.path, stuck);
        gatedPath = stuck.path;
        gate = open.get_future().share();
    }
    store->addApplication(std::filesystem::path(stuck.path));
    ASSERT_TRUE(store->isAddingApplication());
    ASSERT_EQ(scheduler->delays, std::vector<std::chrono::milliseconds>{std::chrono::seconds(30)});
    scheduler->runAll();
    EXPECT_FALSE(store->isAddingApplication());
    EXPECT_EQ(store->alertMessage(),
              QString::fromUtf8(description(ApplicationInspectionError::timedOut).data()));

    store->setAlertMessage(std::nullopt);
    add(next);
    ASSERT_EQ(store->applications().size(), 1u);
    EXPECT_EQ(store->applications()[0].name, "Next");
    // The given-up inspection ends after all; its result is dropped, and the finished addition's
    // time limit, when it comes, changes nothing either.
    open.set_value();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finishedInspections == 2; }, 5000));
    testing::settle();
    scheduler->runAll();
    EXPECT_EQ(store->applications().size(), 1u);
    EXPECT_FALSE(store->alertMessage());
    EXPECT_FALSE(store->isAddingApplication());
}

// A dropped address whose path is not UTF-8 reaches inspection byte for byte.
TEST_F(StoreTest, DroppedAddressesKeepTheirBytes) {
    startStore();
    auto odd = application("Odd", "com.example.odd");
    odd.path = "/Applications/Odd\xFF.app";
    inspections.insert_or_assign(odd.path, odd);
    store->addApplication(QUrl::fromEncoded("file:///Applications/Odd%FF.app"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->isAddingApplication(); }, 5000));
    testing::settle();
    ASSERT_EQ(store->applications().size(), 1u);
    EXPECT_EQ(store->applications()[0].name, "Odd");
}

TEST_F(StoreTest, FirstStatusDecidesTheWishOnlyWhenNothingIsStored) {
    // Enabled filter: true.
    enableFilter();
    startStore();
    EXPECT_EQ(storedWish(), true);
    EXPECT_TRUE(store->isProtectionRequested());
    const auto posts = notifications->mainPosts();
    EXPECT_GT(posts, 0);

    // Once stored, later statuses, repeated ones included, change nothing.
    manager->stored.reset();
    store->filterController().refreshStatus();
    testing::settle();
    EXPECT_EQ(store->filterStatus(), FilterStatus::inactive());
    EXPECT_EQ(storedWish(), true);
    EXPECT_TRUE(store->isProtectionRequested());
}

TEST_F(StoreTest, InactiveFilterDecidesByWhetherTheListIsEmpty) {
    startStore();
    EXPECT_EQ(storedWish(), false);
    EXPECT_FALSE(store->isProtectionRequested());

    store.reset();
    preferences->removeValue(AppBlockStore::protectionRequestedKey);
    storeApplications({application("Alpha", "com.example.alpha")});
    startStore();
    EXPECT_EQ(storedWish(), true);
    EXPECT_TRUE(store->isProtectionRequested());
    // Loaded, wish true, filter not enabled: activation requested.
    EXPECT_FALSE(activator->submitted.empty());
}

TEST_F(StoreTest, OtherStatusesStoreNoWish) {
    startStore();
    preferences->removeValue(AppBlockStore::protectionRequestedKey);

    bundle->inApplications = false;
    store->filterController().refreshStatus();
    testing::settle();
    EXPECT_EQ(store->filterStatus(), FilterStatus::installationRequired());
    EXPECT_FALSE(storedWish());
    store->explainProtectionUnavailable();
    EXPECT_EQ(store->alertMessage(), QString(AppBlockStore::moveToApplicationsMessage));

    bundle->inApplications = true;
    manager->loadError = SystemError{SystemError::filterErrorDomain,
                                     SystemError::filterConfigurationPermissionDenied, "denied"};
    store->filterController().refreshStatus();
    testing::settle();
    EXPECT_EQ(store->filterStatus(), FilterStatus::awaitingApproval());
    EXPECT_FALSE(storedWish());

    manager->loadError = SystemError{"Other", 99, "broken"};
    store->filterController().refreshStatus();
    testing::settle();
    EXPECT_EQ(store->filterStatus().kind(), FilterStatus::Kind::failed);
    EXPECT_FALSE(storedWish());

    manager->loadError.reset();
    store->filterController().activate({});
    testing::settle();
    EXPECT_EQ(store->filterStatus(), FilterStatus::activating());
    EXPECT_FALSE(storedWish());
}

TEST_F(StoreTest, StartUpDropsSelfEntriesAndStaleGrantsAndWritesThemBack) {
    auto alpha = application("Alpha", "com.example.alpha");
    auto beta = application("Beta", "com.example.beta");
    auto self = application("Zorvane", "dev.quillmoor.Zorvane");
    storeApplications({alpha, self, beta});
    auto running = grantFor(alpha, at(3600), TemporaryAccessGrant::Mode::untilQuit);
    auto quit = grantFor(beta, at(3600), TemporaryAccessGrant::Mode::untilQuit);
    auto expired = grantFor(beta, at(-1), TemporaryAccessGrant::Mode::timed);
    auto timed = grantFor(beta, at(60), TemporaryAccessGrant::Mode::timed);
    storeGrants({running, quit, expired, timed});
    workspace->run("com.example.alpha");

    startStore();
    EXPECT_EQ(store->applications(), (std::vector<BlockedApplication>{alpha, beta}));
    EXPECT_EQ(storedApplications(), store->applications());
    EXPECT_EQ(store->temporaryAccessGrants(), (std::vector<TemporaryAccessGrant>{running, timed}));
    EXPECT_EQ(RecordJson::decodeTemporaryAccessGrants(
                  storedText(*preferences, AppBlockStore::temporaryAccessGrantsKey)),
              store->temporaryAccessGrants());

    // The until-quit grant lasts while its application runs.
    workspace->terminate("com.example.beta");
    EXPECT_EQ(store->temporaryAccessGrants().size(), 2u);
    workspace->terminate("com.example.alpha");
    EXPECT_EQ(store->temporaryAccessGrants(), (std::vector<TemporaryAccessGrant>{timed}));
}

// A Linux program runs, as far as the workspace can tell, only once it knows the program is
// listed: the list must reach it before the grants are checked against what runs.
TEST_F(StoreTest, ALinuxApplicationKeepsItsUntilQuitGrantAcrossAStartWhileItRuns) {
    auto editor = application("Editor", "/opt/editor/editor", std::nullopt);
    editor.bundleIdentifier = "editor.desktop";
    editor.path = "/usr/share/applications/editor.desktop";
    storeApplications({editor});
    const auto grant = grantFor(editor, at(3600), TemporaryAccessGrant::Mode::untilQuit);
    storeGrants({grant});
    workspace->runsOnceListed.push_back("editor.desktop");

    startStore();
    EXPECT_EQ(store->temporaryAccessGrants(), std::vector<TemporaryAccessGrant>{grant});
    EXPECT_TRUE(store->isApplicationRunning("editor.desktop"));

    store->removeApplication(editor.id);
    testing::settle();
    EXPECT_TRUE(workspace->listed.empty());
}

TEST_F(StoreTest, TemporaryAccessNeedsActiveProtectionAndEndsOnTime) {
    auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    startStore(); // inactive filter with a listed application: wish true, activation asked
    store->allowTemporarily(alpha, 300);
    EXPECT_EQ(store->alertMessage(),
              QString("Turn on protection before allowing an app temporarily."));
    EXPECT_TRUE(store->temporaryAccessGrants().empty());

    store->allowUntilQuit(alpha);
    EXPECT_EQ(store->alertMessage(),
              QString("Open Alpha first, then choose Allow Until App Quits."));

    enableFilter();
    store->filterController().refreshStatus();
    testing::settle();
    ASSERT_TRUE(store->isProtectionActive());
    const auto savesBefore = manager->saves.size();
    store->allowTemporarily(alpha, 3600);
    store->allowTemporarily(alpha, 300);
    testing::settle();
    ASSERT_EQ(store->temporaryAccessGrants().size(), 1u);
    EXPECT_EQ(store->activeTemporaryAccessGrant(alpha.id)->expiresAt, at(300));
    EXPECT_GT(manager->saves.size(), savesBefore); // rules pushed

    clock->advance(300);
    store->pruneExpiredTemporaryAccess();
    EXPECT_TRUE(store->temporaryAccessGrants().empty());
    EXPECT_EQ(RecordJson::decodeTemporaryAccessGrants(
                  storedText(*preferences, AppBlockStore::temporaryAccessGrantsKey)),
              std::vector<TemporaryAccessGrant>{});
}

TEST_F(StoreTest, RemovingRevokesGrantsAndUpdatesRulesButKeepsTheWish) {
    auto alpha = application("Alpha", "com.example.alpha");
    auto beta = application("Beta", "com.example.beta");
    storeApplications({alpha, beta});
    storeGrants({grantFor(alpha, at(600), TemporaryAccessGrant::Mode::timed),
                 grantFor(beta, at(600), TemporaryAccessGrant::Mode::timed)});
    enableFilter();
    startStore();
    ASSERT_EQ(store->temporaryAccessGrants().size(), 2u);

    store->removeApplication(alpha.id);
    testing::settle();
    EXPECT_EQ(store->applications(), std::vector<BlockedApplication>{beta});
    ASSERT_EQ(store->temporaryAccessGrants().size(), 1u);
    EXPECT_EQ(store->temporaryAccessGrants()[0].applicationID, beta.id);
    EXPECT_EQ(storedApplications(), std::vector<BlockedApplication>{beta});
    EXPECT_EQ(store->filterController().pendingRules().blockedApplicationPaths,
              std::vector<std::string>{beta.path});
    EXPECT_EQ(store->filterController().pendingRules().temporarilyAllowedApplicationPaths.count(
                  alpha.path),
              0u);
    EXPECT_TRUE(store->isProtectionRequested());
    EXPECT_EQ(storedWish(), true);
}

TEST_F(StoreTest, RevokedAndEndedAllowancesLeaveTheStoredConfigurationWhileApprovalIsAwaited) {
    auto alpha = application("Alpha", "com.example.alpha");
    auto beta = application("Beta", "com.example.beta");
    storeApplications({alpha, beta});
    storeGrants({grantFor(alpha, at(600), TemporaryAccessGrant::Mode::timed),
                 grantFor(beta, at(60), TemporaryAccessGrant::Mode::timed)});
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(true));
    // Saved enabled by an earlier run, allowances included.
    const auto alphaKey = alpha.primaryCodeIdentity().key();
    const auto betaKey = beta.primaryCodeIdentity().key();
    FilterConfiguration earlier;
    earlier.enabled = true;
    earlier.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension",
        PlistDictionary{
            {"temporaryAllowedCodeIdentities",
             PlistDictionary{{alphaKey, at(600).unixSeconds()}, {betaKey, at(60).unixSeconds()}}}}};
    manager->stored = earlier;
    startStore();
    ASSERT_EQ(activator->submitted.size(), 1u);
    activator->needsApproval();
    testing::settle();
    ASSERT_EQ(store->filterStatus(), FilterStatus::awaitingApproval());

    auto storedAllowances = [&] {
        const auto* vendor = manager->stored->vendorConfiguration();
        const auto found = vendor->find("temporaryAllowedCodeIdentities");
        std::vector<std::string> keys;
        for (const auto& [key, end] : *found->second.dictionary()) {
            keys.push_back(key);
        }
        return keys;
    };
    store->revokeTemporaryAccess(alpha.id);
    testing::settle();
    EXPECT_EQ(storedAllowances(), std::vector<std::string>{betaKey});
    EXPECT_TRUE(manager->stored->enabled);

    clock->advance(60);
    store->pruneExpiredTemporaryAccess();
    testing::settle();
    EXPECT_TRUE(storedAllowances().empty());
    EXPECT_EQ(store->filterStatus(), FilterStatus::awaitingApproval());
}

TEST_F(StoreTest, AnEnvelopePersistedIsVisibleInActivityAndTeachesHelpers) {
    auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    startStore();
    EXPECT_TRUE(store->activityEvents().empty());

    auto helper = fixtures::observation("com.example.alpha.helper", "TEAM123456", start);
    helper.sourceApplicationIdentifier = "com.example.alpha";
    helper.sourceApplicationTeamIdentifier = "TEAM123456";
    store->persistEnvelopeContents({fixtures::event("com.example.alpha", "TEAM123456", start, 3)},
                                   {helper});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !store->activityEvents().empty() && !store->discoveredProcesses().empty(); },
        5000));
    EXPECT_EQ(store->activityEvents()[0].blockedConnectionCount, 3);
    EXPECT_EQ(store->activityQueries().blockedAttemptCount(store->applications()[0]), 3);
    ASSERT_TRUE(store->applications()[0].auxiliaryCodeIdentities);
    EXPECT_EQ(store->applications()[0].auxiliaryCodeIdentities->size(), 1u);
    EXPECT_EQ(storedApplications(), store->applications());
}

TEST_F(StoreTest, ReloadingSharedStateFollowsTheAgentsWrites) {
    auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    startStore();
    const auto posts = notifications->mainPosts();
    store->setStatusBarIconEnabled(false);
    store->setStatusBarIconEnabled(false); // unchanged: nothing written or posted
    EXPECT_EQ(notifications->mainPosts(), posts + 1);
    EXPECT_EQ(preferences->value(AppBlockStore::statusBarIconEnabledKey), PlistValue(false));
    store->setStatusBarIconEnabled(true);
    EXPECT_TRUE(store->isStatusBarIconEnabled());

    // The agent's writes.
    preferences->setValue(AppBlockStore::statusBarIconEnabledKey, PlistValue(false));
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(false));
    storeGrants({grantFor(alpha, at(60), TemporaryAccessGrant::Mode::timed),
                 grantFor(alpha, at(-60), TemporaryAccessGrant::Mode::timed)});
    notifications->observers.at(StateNotificationNames::agentStateDidChange)();
    testing::settle();
    EXPECT_FALSE(store->isStatusBarIconEnabled());
    EXPECT_FALSE(store->isProtectionRequested());
    ASSERT_EQ(store->temporaryAccessGrants().size(), 1u);
    EXPECT_EQ(store->temporaryAccessGrants()[0].expiresAt, at(60));

    // An undecodable grant list leaves the grants as they are.
    preferences->setValue(AppBlockStore::temporaryAccessGrantsKey, dataValue("[{"));
    store->reloadSharedState();
    EXPECT_EQ(store->temporaryAccessGrants().size(), 1u);
}

TEST_F(StoreTest, OutdatedEntriesAreReinspectedKeepingTheirId) {
    auto old = application("Alpha", "com.example.alpha");
    old.inspectionVersion = 4;
    auto fresh = old;
    fresh.inspectionVersion = 5;
    fresh.auxiliaryCodeIdentities =
        std::vector<CodeIdentity>{{"com.example.alpha.xpc", "TEAM123456"}};
    inspections.insert_or_assign(old.path, fresh);
    storeApplications({old});
    startStore();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return store->applications()[0].inspectionVersion == 5; }, 5000));
    EXPECT_EQ(store->applications()[0], fresh);
    EXPECT_EQ(storedApplications(), std::vector<BlockedApplication>{fresh});
}

TEST_F(StoreTest, ReceiverHandlersHopFromTheirOwnThread) {
    std::function<void()> onReady;
    std::function<void(FilterEventEnvelope)> onEnvelope;
    receiverHooks.start = [&](std::function<void()> ready,
                              std::function<void(FilterEventEnvelope)> envelope) {
        onReady = std::move(ready);
        onEnvelope = std::move(envelope);
    };
    auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(true));
    enableFilter();
    startStore();
    ASSERT_TRUE(onReady && onEnvelope);
    ASSERT_FALSE(activator->submitted.empty());
    activator->finish(SystemExtensionRequestResult::completed);
    testing::settle();
    ASSERT_EQ(store->filterStatus(), FilterStatus::enabled());

    const auto saves = manager->saves.size();
    FilterEventEnvelope envelope;
    envelope.activityEvents = {fixtures::event("com.example.alpha", "TEAM123456", start, 2)};
    std::thread receiver([&] {
        onEnvelope(envelope);
        onReady();
    });
    receiver.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->activityEvents().empty(); }, 5000));
    EXPECT_EQ(store->activityEvents()[0].blockedConnectionCount, 2);
    testing::settle();
    EXPECT_GT(manager->saves.size(), saves); // the ready handler pushed the rules

    // The receiver outlives the store: what it hands over afterwards goes nowhere.
    store.reset();
    std::thread late([&] {
        onEnvelope(envelope);
        onReady();
    });
    late.join();
    testing::settle();
    EXPECT_EQ(ActivityLog(container.path(), clock).loadEvents().at(0).blockedConnectionCount, 2);
}

TEST_F(StoreTest, TheTimerPrunesExpiredGrantsAndBecomingActiveRetriesAnApproval) {
    auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    storeGrants({grantFor(alpha, at(60), TemporaryAccessGrant::Mode::timed)});
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(false));
    tickInterval = std::chrono::milliseconds(10);
    startStore();
    ASSERT_EQ(store->temporaryAccessGrants().size(), 1u);
    clock->advance(60);
    ASSERT_TRUE(QTest::qWaitFor([&] { return store->temporaryAccessGrants().empty(); }, 5000));

    // Waiting for the user's approval: becoming active asks again.
    manager->loadError = SystemError{SystemError::filterErrorDomain,
                                     SystemError::filterConfigurationPermissionDenied, "denied"};
    store->filterController().refreshStatus();
    testing::settle();
    ASSERT_EQ(store->filterStatus(), FilterStatus::awaitingApproval());
    const auto submitted = activator->submitted.size();
    manager->loadError.reset();
    store->handleBecameActive();
    testing::settle();
    EXPECT_EQ(activator->submitted.size(), submitted + 1);
}

// The "Check for Updates…" command against a local manifest server.
class StoreUpdateTest : public StoreTest {
protected:
    void SetUp() override {
        network.setProxy(QNetworkProxy::NoProxy);
        UpdateController::Options options;
        options.running = RunningVersion{"1.4", "27"};
        options.preferences = preferences;
        options.clock = clock;
        options.manifestUrl = server.url(QStringLiteral("/updates/latest.json"));
        options.network = &network;
        updateOptions = options;
    }
    // The store's controller uses the network manager, which goes before the base's members.
    void TearDown() override { store.reset(); }

    void serve(const char* version, int status = 200) {
        const QByteArray body =
            QByteArray(R"({"version":")") + version +
            R"(","build":27,"downloadURL":"https://zorvane.app/downloads/Zorvane.dmg"})";
        server.setResponse("/updates/latest.json",
                           testing::LocalHttpServer::Response{status, body});
    }

    // The automatic check of the start-up has ended.
    void startStoreAndWaitForItsCheck() {
        startStore();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return server.requests().size() == 1 && !updates().isChecking(); }, 10'000));
        testing::settle();
    }

    UpdateController& updates() { return *store->updateController(); }

    testing::LocalHttpServer server;
    QNetworkAccessManager network;
};

TEST_F(StoreUpdateTest, AFinishedMenuCheckShowsItsMessageAsTheAlert) {
    serve("2.0");
    startStoreAndWaitForItsCheck();
    // The automatic check said nothing.
    EXPECT_FALSE(store->alertMessage());

    struct Case {
        const char* version;
        int status;
        QString alert;
    };
    const Case cases[] = {
        {"2.0", 200, QStringLiteral("Zorvane 2.0 is available.")},
        {"1.4", 200, QStringLiteral(u"You\u2019re up to date. Zorvane 1.4 is the latest version.")},
        {"2.0", 500,
         QStringLiteral("Zorvane could not check for updates. Check your internet connection and "
                        "try again.")},
    };
    for (const auto& c : cases) {
        serve(c.version, c.status);
        store->setAlertMessage(std::nullopt);
        QSignalSpy finished(&updates(), &UpdateController::checkFinished);
        store->checkForUpdatesFromMenu();
        // Nothing is shown before the check has finished.
        EXPECT_TRUE(updates().isChecking());
        EXPECT_FALSE(store->alertMessage());
        ASSERT_TRUE(finished.wait(10'000));
        EXPECT_EQ(store->alertMessage(), c.alert) << c.version << " " << c.status;
    }
}

TEST_F(StoreUpdateTest, AMenuCheckThatCouldNotStartShowsNothingNotAnEarlierMessage) {
    serve("1.4");
    startStoreAndWaitForItsCheck();
    QSignalSpy finished(&updates(), &UpdateController::checkFinished);
    store->checkForUpdatesFromMenu();
    ASSERT_TRUE(finished.wait(10'000));
    ASSERT_TRUE(store->alertMessage());
    store->setAlertMessage(std::nullopt);

    // An automatic check is under way: the menu's check does not start, and when the running
    // one ends its result is not announced, while the controller still holds the earlier text.
    ASSERT_TRUE(updates().checkForUpdates(true, false));
    store->checkForUpdatesFromMenu();
    ASSERT_TRUE(finished.wait(10'000));
    testing::settle();
    EXPECT_FALSE(updates().message().isEmpty());
    EXPECT_FALSE(store->alertMessage());

    // Nor does that ignored request linger to announce a later, unannounced check.
    ASSERT_TRUE(updates().checkForUpdates(true, false));
    ASSERT_TRUE(finished.wait(10'000));
    testing::settle();
    EXPECT_FALSE(store->alertMessage());
    EXPECT_EQ(server.requests().size(), 4);
}

// The list is written through the real preferences file: readers always find a whole list,
// the previous one or the new one, never a torn file.
TEST(AppBlockStorePreferencesTest, PreviousListStaysReadableWhileSaving) {
    TemporaryDirectory directory;
    const auto file = directory.path() / "preferences.plist";
    auto writer = std::make_shared<PlistPreferences>(file);
    std::vector<BlockedApplication> small{application("Alpha", "com.example.alpha")};
    std::vector<BlockedApplication> large;
    for (int i = 0; i < 200; ++i) {
        large.push_back(
            application("App" + std::to_string(i), "com.example.a" + std::to_string(i)));
    }
    writer->setValue(AppBlockStore::defaultsKey,
                     dataValue(RecordJson::encodeBlockedApplications(small)));
    ASSERT_TRUE(writer->synchronize());

    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            PlistPreferences fresh(file);
            fresh.synchronize();
            auto list = RecordJson::decodeBlockedApplications(
                storedText(fresh, AppBlockStore::defaultsKey));
            if (!list || (list->size() != small.size() && list->size() != large.size())) {
                ++torn;
            }
            ++reads;
        }
    });
    for (int round = 0; round < 50; ++round) {
        writer->setValue(
            AppBlockStore::defaultsKey,
            dataValue(RecordJson::encodeBlockedApplications(round % 2 ? small : large)));
        ASSERT_TRUE(writer->synchronize());
    }
    while (reads.load() < 10) {
        std::this_thread::yield();
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

// MARK: the stored lists, read entry by entry

std::string fileText(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names(const std::vector<BlockedApplication>& applications) {
    std::vector<std::string> out;
    for (const auto& application : applications) {
        out.push_back(application.name);
    }
    return out;
}

// The dated copies of a key's stored value in the container.
std::vector<std::filesystem::path> keptAsStored(const TemporaryDirectory& container,
                                                const std::string& key) {
    std::vector<std::filesystem::path> copies;
    const auto directory = container / "Library/Application Support/Zorvane";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.path().filename().string().rfind(key + ".as-stored-", 0) == 0) {
            copies.push_back(entry.path());
        }
    }
    return copies;
}

class BlockListDecoding : public StoreTest {
protected:
    BlockedApplication alpha = application("Alpha", "com.example.alpha");
    BlockedApplication beta = application("Beta", "com.example.beta");
    BlockedApplication gamma = application("Gamma", "com.example.gamma");
    std::string original;

    // Alpha, Beta and Gamma, Beta's entry damaged; protection on and the filter enabled.
    void storeDamagedList() {
        auto json =
            nlohmann::json::parse(RecordJson::encodeBlockedApplications({alpha, beta, gamma}));
        json[1]["inspectionVersion"] = "five";
        original = json.dump();
        preferences->setValue(AppBlockStore::defaultsKey, dataValue(original));
        preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(true));
        enableFilter();
    }
};

TEST_F(BlockListDecoding, TheEntriesThatReadAreEnforcedAndTheStoredListIsKeptAndTold) {
    storeDamagedList();
    startStore();
    EXPECT_EQ(store->applications(), (std::vector<BlockedApplication>{alpha, gamma}));
    EXPECT_EQ(store->ruleSet().blockedCodeIdentityKeys,
              (std::vector<std::string>{alpha.primaryCodeIdentity().key(),
                                        gamma.primaryCodeIdentity().key()}));
    const auto copies = keptAsStored(container, AppBlockStore::defaultsKey);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(fileText(copies[0]), original);
    ASSERT_TRUE(store->alertMessage());
    EXPECT_TRUE(store->alertMessage()->startsWith(
        "1 entry of the block list could not be read and was left out"))
        << store->alertMessage()->toStdString();
    EXPECT_TRUE(store->alertMessage()->contains(QString::fromStdString(copies[0].string())));

    // With the copy there, the list that was read is written back at once, so that the next
    // start has nothing to tell; every save is also the newest good copy.
    EXPECT_EQ(storedApplications(), (std::vector<BlockedApplication>{alpha, gamma}));
    const auto afterLoad = storedText(*preferences, AppBlockStore::defaultsKey);
    add(application("Delta", "com.example.delta"));
    EXPECT_EQ(names(storedApplications()), (std::vector<std::string>{"Alpha", "Delta", "Gamma"}));
    EXPECT_EQ(keptAsStored(container, AppBlockStore::defaultsKey).size(), 1u);
    EXPECT_EQ(fileText(keptAsStored(container, AppBlockStore::defaultsKey).at(0)), original);
    const auto good = listCopies->goodCopies(AppBlockStore::defaultsKey);
    ASSERT_EQ(good.size(), 2u);
    EXPECT_EQ(fileText(good[0]), storedText(*preferences, AppBlockStore::defaultsKey));
    EXPECT_EQ(fileText(good[1]), afterLoad);
}

TEST_F(BlockListDecoding, NothingIsSavedOverTheStoredListUntilItsCopyExists) {
    storeDamagedList();
    // The container cannot be made: a file is where its directory would be.
    const auto blocked = container / "blocked";
    std::ofstream(blocked) << "not a directory";
    listCopies = std::make_shared<StoredListCopies>(blocked);
    startStore();
    ASSERT_TRUE(store->alertMessage());
    EXPECT_TRUE(store->alertMessage()->contains("could not keep a copy"));

    add(application("Delta", "com.example.delta"));
    EXPECT_EQ(store->applications().size(), 3u);
    EXPECT_EQ(storedText(*preferences, AppBlockStore::defaultsKey), original);

    // Once a copy can be made, the next save makes it first.
    std::filesystem::remove(blocked);
    store->removeApplication(alpha.id);
    store->waitForPersistence();
    const std::filesystem::path copyDirectory = blocked / "Library/Application Support/Zorvane";
    ASSERT_TRUE(std::filesystem::is_directory(copyDirectory));
    int copies = 0;
    for (const auto& entry : std::filesystem::directory_iterator(copyDirectory)) {
        if (entry.path().filename().string().find(".as-stored-") != std::string::npos) {
            EXPECT_EQ(fileText(entry.path()), original);
            ++copies;
        }
    }
    EXPECT_EQ(copies, 1);
    EXPECT_EQ(storedApplications().size(), 2u);
}

class GrantsDecoding : public StoreTest {};

TEST_F(GrantsDecoding, AnUnreadableGrantIsLeftOutKeptAsStoredAndTold) {
    clock->set(at(0));
    const auto alpha = application("Alpha", "com.example.alpha");
    storeApplications({alpha});
    auto json = nlohmann::json::parse(*RecordJson::encodeTemporaryAccessGrants(
        {grantFor(alpha, at(600), TemporaryAccessGrant::Mode::timed)}));
    auto later = json[0];
    later["mode"] = "untilSleep";
    json.push_back(later);
    const std::string original = json.dump();
    preferences->setValue(AppBlockStore::temporaryAccessGrantsKey, dataValue(original));
    startStore();

    ASSERT_EQ(store->temporaryAccessGrants().size(), 1u);
    EXPECT_EQ(store->temporaryAccessGrants()[0].expiresAt, at(600));
    const auto copies = keptAsStored(container, AppBlockStore::temporaryAccessGrantsKey);
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(fileText(copies[0]), original);
    ASSERT_TRUE(store->alertMessage());
    EXPECT_TRUE(store->alertMessage()->startsWith(
        "1 temporary allowance could not be read and was left out"));
}

TEST_F(StoreTest, TroubleWithThePreferencesFileIsToldOnce) {
    auto memory = std::static_pointer_cast<testing::MemoryPreferences>(preferences);
    memory->setValue(Preferences::unreadableFileKeptAsKey,
                     PlistValue(std::string("/config/prefs.unreadable-1.plist")));
    startStore();
    ASSERT_TRUE(store->alertMessage());
    EXPECT_TRUE(store->alertMessage()->contains("\"/config/prefs.unreadable-1.plist\""));
    EXPECT_FALSE(preferences->value(Preferences::unreadableFileKeptAsKey));

    store->setAlertMessage(std::nullopt);
    memory->saveFailure = true;
    store->reloadSharedState();
    ASSERT_TRUE(store->alertMessage());
    EXPECT_TRUE(store->alertMessage()->startsWith("Zorvane could not save its settings."));
    store->setAlertMessage(std::nullopt);
    store->reloadSharedState();
    EXPECT_FALSE(store->alertMessage());
}

// MARK: changes made while the start-up load runs

// Preferences whose block list cannot be read off the main thread until the test opens them:
// the start-up load waits there, while the main thread goes on.
class GatedPreferences final : public Preferences {
public:
    explicit GatedPreferences(std::shared_ptr<Preferences> inner) : inner_(std::move(inner)) {}
    std::optional<PlistValue> value(const std::string& key) const override {
        if (key == AppBlockStore::defaultsKey && std::this_thread::get_id() != main_) {
            std::unique_lock lock(mutex_);
            opened_.wait(lock, [&] { return open_; });
        }
        return inner_->value(key);
    }
    void setValue(const std::string& key, PlistValue value) override {
        inner_->setValue(key, std::move(value));
    }
    void removeValue(const std::string& key) override { inner_->removeValue(key); }
    bool synchronize() override { return inner_->synchronize(); }
    void open() {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }

private:
    std::shared_ptr<Preferences> inner_;
    const std::thread::id main_ = std::this_thread::get_id();
    mutable std::mutex mutex_;
    mutable std::condition_variable opened_;
    bool open_ = false;
};

class StartupLoadRaces : public StoreTest {
protected:
    std::shared_ptr<Preferences> stored = preferences;
    std::shared_ptr<GatedPreferences> gate = std::make_shared<GatedPreferences>(stored);
    void TearDown() override { gate->open(); }
};

TEST_F(StartupLoadRaces, AnAddAndARemoveBeforeTheLoadEndsKeepTheStoredList) {
    const auto alpha = application("Alpha", "com.example.alpha");
    const auto beta = application("Beta", "com.example.beta");
    const auto gamma = application("Gamma", "com.example.gamma");
    storeApplications({alpha, beta});
    inspections.insert_or_assign(gamma.path, gamma);
    preferences = gate;
    buildStore();

    store->addApplication(std::filesystem::path(gamma.path));
    store->removeApplication(beta.id);
    // The inspection has finished and its result reached the main thread; the load has not.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return inspectionsRun == 1 && QThreadPool::globalInstance()->activeThreadCount() == 1;
        },
        5000));
    testing::settle();
    EXPECT_FALSE(store->hasLoadedApplications());
    store->waitForPersistence();
    EXPECT_EQ(
        RecordJson::decodeBlockedApplications(storedText(*stored, AppBlockStore::defaultsKey)),
        (std::vector<BlockedApplication>{alpha, beta}));

    gate->open();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !store->isAddingApplication(); }, 5000));
    EXPECT_EQ(names(store->applications()), (std::vector<std::string>{"Alpha", "Gamma"}));
    EXPECT_EQ(names(storedApplications()), (std::vector<std::string>{"Alpha", "Gamma"}));
}

} // namespace
} // namespace zorvane
