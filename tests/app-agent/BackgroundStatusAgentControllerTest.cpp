#include "app/agent/BackgroundStatusAgentController.h"

#include "AgentFakes.h"
#include "app/agent/StateNotificationNames.h"
#include "app/filter-control/FilterController.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "app/update/UpdateController.h"
#include "app/update/UpdateNotificationController.h"
#include "shared/PlatformWording.h"
#include "shared/RecordJson.h"
#include "tests/app-filter-control/FilterControlFakes.h"
#include "tests/app-store/StoreFakes.h"
#include "tests/app-store/StoreFixtures.h"
#include "tests/app-update/FakeNotificationCenter.h"
#include "tests/app-update/LocalHttpServer.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTest>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>

namespace zorvane {
namespace {

using fixtures::application;
using fixtures::start;
using Agent = BackgroundStatusAgentController;
using Mode = TemporaryAccessGrant::Mode;

PlistValue dataValue(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

TemporaryAccessGrant grantFor(const BlockedApplication& app, double seconds, Mode mode) {
    TemporaryAccessGrant grant;
    grant.applicationID = app.id;
    grant.applicationName = app.name;
    grant.applicationBundleIdentifier = app.bundleIdentifier;
    grant.codeIdentityKeys = {app.primaryCodeIdentity().key()};
    grant.applicationPath = app.path;
    grant.expiresAt = start.addingSeconds(seconds);
    grant.mode = mode;
    return grant;
}

const PlistDictionary& vendorOf(const FilterConfiguration& configuration) {
    return *configuration.vendorConfiguration();
}

std::size_t entries(const PlistDictionary& vendor, const char* key) {
    const auto found = vendor.find(key);
    if (found == vendor.end()) {
        return 0;
    }
    if (const auto* dictionary = found->second.dictionary()) {
        return dictionary->size();
    }
    return found->second.array() ? found->second.array()->size() : 0;
}

class AgentTest : public ::testing::Test {
protected:
    std::shared_ptr<testing::MemoryPreferences> preferences =
        std::make_shared<testing::MemoryPreferences>();
    std::shared_ptr<testing::FakeNotifications> notifications =
        std::make_shared<testing::FakeNotifications>();
    std::shared_ptr<testing::FakeWorkspace> workspace = std::make_shared<testing::FakeWorkspace>();
    std::shared_ptr<testing::FakeFilterManager> manager =
        std::make_shared<testing::FakeFilterManager>();
    std::shared_ptr<testing::FakeActivator> activator = std::make_shared<testing::FakeActivator>();
    std::shared_ptr<testing::FakeMainBundle> bundle = std::make_shared<testing::FakeMainBundle>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(start);
    std::shared_ptr<testing::FakeStatusItem::State> item =
        std::make_shared<testing::FakeStatusItem::State>();
    std::function<std::unique_ptr<UpdateController>()> makeUpdateController;
    UpdateNotificationController* updateNotifications = nullptr;
    std::chrono::milliseconds refreshInterval = Agent::defaultRefreshInterval;
    std::shared_ptr<const StoredListCopies> listCopies;
    std::unique_ptr<Agent> agent;

    std::vector<BlockedApplication> apps{application("Editor", "com.example.editor"),
                                         application("Mail", "com.example.mail"),
                                         application("Chat", "com.example.chat")};

    void storeApplications(const std::vector<BlockedApplication>& list) {
        preferences->setValue(Agent::applicationsKey,
                              dataValue(RecordJson::encodeBlockedApplications(list)));
    }
    void storeGrants(const std::vector<TemporaryAccessGrant>& grants) {
        preferences->setValue(Agent::grantsKey,
                              dataValue(*RecordJson::encodeTemporaryAccessGrants(grants)));
    }
    std::vector<TemporaryAccessGrant> storedGrants() const {
        return SharedPreferencesState::storedGrants(*preferences)
            .value_or(std::vector<TemporaryAccessGrant>{});
    }
    void requestProtection(bool requested) {
        preferences->setValue(Agent::protectionRequestedKey, PlistValue(requested));
    }
    void enableFilter() {
        FilterConfiguration configuration;
        configuration.enabled = true;
        manager->stored = configuration;
    }
    long agentPosts() const {
        return std::count(notifications->posted.begin(), notifications->posted.end(),
                          std::string(StateNotificationNames::agentStateDidChange));
    }
    long openWindowPosts() const {
        return std::count(notifications->posted.begin(), notifications->posted.end(),
                          std::string(StateNotificationNames::openMainWindow));
    }

    void startAgent() {
        Agent::Dependencies dependencies;
        dependencies.preferences = preferences;
        dependencies.notifications = notifications;
        dependencies.workspace = workspace;
        dependencies.mainBundle = bundle;
        dependencies.filterController = new FilterController(FilterController::Dependencies{
            manager, activator, bundle, {}, clock, std::make_shared<testing::ManualScheduler>()});
        dependencies.statusItem = std::make_unique<testing::FakeStatusItem>(item);
        dependencies.makeUpdateController = makeUpdateController;
        dependencies.updateNotifications = updateNotifications;
        dependencies.clock = clock;
        dependencies.refreshInterval = refreshInterval;
        dependencies.processIdentifier = 200;
        dependencies.listCopies = listCopies;
        agent = std::make_unique<Agent>(std::move(dependencies));
        agent->start();
        testing::settle();
    }

    // Opens the menu as the user would and returns what it shows.
    StatusMenuModel openMenu() {
        item->aboutToOpen();
        return item->menu;
    }
    void choose(StatusMenuAction action, std::optional<Uuid> id = std::nullopt) {
        item->actionHandler(action, id);
        testing::settle();
    }
};

TEST(StatusMenu, TitleTableRowByRow) {
    using Kind = FilterStatus;
    struct Row {
        bool requested;
        FilterStatus status;
        std::size_t applications;
        std::size_t grants;
        StatusMenu::Appearance expected;
    };
    const std::vector<Row> rows = {
        {false, Kind::enabled(), 2, 0, {"shield.slash.fill", "Protection Off"}},
        {false, Kind::failed("x"), 2, 2, {"shield.slash.fill", "Protection Off"}},
        {true, Kind::inactive(), 2, 0, {"shield.lefthalf.filled", "Turning On..."}},
        {true, Kind::activating(), 2, 0, {"shield.lefthalf.filled", "Turning On..."}},
        {true,
         Kind::installationRequired(),
         2,
         0,
         {"shield.lefthalf.filled", PlatformWording::text("statusItem.installationRequired")}},
        {true, Kind::awaitingApproval(), 2, 0, {"shield.lefthalf.filled", "Awaiting Approval"}},
        {true, Kind::failed("Disk full"), 2, 0, {"shield.lefthalf.filled", "Action Required"}},
        {true, Kind::enabled(), 3, 3, {"pause.circle.fill", "All Blocking Paused"}},
        {true, Kind::enabled(), 1, 1, {"pause.circle.fill", "All Blocking Paused"}},
        {true, Kind::enabled(), 3, 1, {"pause.circle.fill", "1 App Temporarily Allowed"}},
        {true, Kind::enabled(), 3, 0, {"shield.fill", "Protection On"}},
        {true, Kind::enabled(), 0, 0, {"shield.fill", "Protection On"}},
        {true, Kind::enabled(), 3, 2, {"pause.circle.fill", "2 Apps Temporarily Allowed"}},
        // Grants are counted, not applications: two grants of one application are two.
        {true, Kind::enabled(), 2, 3, {"pause.circle.fill", "3 Apps Temporarily Allowed"}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(StatusMenu::appearance(row.requested, row.status, row.applications, row.grants),
                  row.expected)
            << row.expected.title << " with " << row.applications << " apps, " << row.grants
            << " grants";
    }
}

TEST_F(AgentTest, PausingAllStoresOneTimedGrantPerApplicationAndBlockingOneAgainCountsTheRest) {
    storeApplications(apps);
    storeGrants({grantFor(apps[0], 3600, Mode::timed), grantFor(apps[1], 1800, Mode::timed)});
    requestProtection(true);
    enableFilter();
    startAgent();
    ASSERT_EQ(agent->filterController().status(), FilterStatus::enabled());
    EXPECT_EQ(agent->appearance().title, "2 Apps Temporarily Allowed");

    choose(StatusMenuAction::pauseAllForFiveMinutes);
    const auto paused = storedGrants();
    ASSERT_EQ(paused.size(), 3u);
    for (std::size_t i = 0; i < apps.size(); ++i) {
        EXPECT_EQ(paused[i].applicationID, apps[i].id);
        EXPECT_EQ(paused[i].mode, Mode::timed);
        EXPECT_EQ(paused[i].expiresAt, start.addingSeconds(300));
        EXPECT_EQ(paused[i].applicationPath, apps[i].path);
    }
    EXPECT_EQ(item->symbolName, "pause.circle.fill");
    EXPECT_EQ(item->toolTip, "Zorvane: All Blocking Paused");
    EXPECT_EQ(item->accessibilityDescription, "Zorvane, All Blocking Paused");
    EXPECT_EQ(agentPosts(), 1);
    EXPECT_EQ(entries(vendorOf(manager->saves.back()),
                      FilterVendorConfiguration::temporaryAllowedApplicationPathsKey),
              3u);

    choose(StatusMenuAction::blockApplicationNow, apps[1].id);
    EXPECT_EQ(storedGrants().size(), 2u);
    EXPECT_EQ(item->toolTip, "Zorvane: 2 Apps Temporarily Allowed");
    EXPECT_EQ(agentPosts(), 2);
    EXPECT_EQ(entries(vendorOf(manager->saves.back()),
                      FilterVendorConfiguration::temporaryAllowedApplicationPathsKey),
              2u);

    // The menu now offers resuming, and for the blocked-again application allowing again.
    const auto menu = openMenu();
    EXPECT_NE(testing::findItem(menu, StatusMenu::resumeAllTitle), nullptr);
    EXPECT_NE(testing::findItem(menu, StatusMenu::blockAgainTitle, "Editor"), nullptr);
    EXPECT_NE(testing::findItem(menu, StatusMenu::allowOneHourTitle, "Mail"), nullptr);

    choose(StatusMenuAction::resumeAllBlocking);
    EXPECT_TRUE(storedGrants().empty());
    EXPECT_EQ(item->toolTip, "Zorvane: Protection On");
}

// The agent cannot tell the person about grants it cannot read, so its writes leave them for the
// window process, which can; what it cannot carry along it keeps a copy of first.
TEST_F(AgentTest, GrantsItCannotReadAreCarriedAlongOrKeptBeforeTheyAreWrittenOver) {
    storeApplications(apps);
    auto json = nlohmann::json::parse(
        *RecordJson::encodeTemporaryAccessGrants({grantFor(apps[0], 3600, Mode::timed)}));
    auto later = json[0];
    later["mode"] = "untilSleep";
    json.push_back(later);
    preferences->setValue(Agent::grantsKey, dataValue(json.dump()));
    requestProtection(true);
    enableFilter();
    TemporaryDirectory container;
    listCopies = std::make_shared<StoredListCopies>(container.path());
    startAgent();

    choose(StatusMenuAction::pauseAllForFiveMinutes);
    auto stored = SharedPreferencesState::readGrants(*preferences);
    EXPECT_EQ(stored->records.size(), 3u);
    EXPECT_EQ(stored->unreadableEntries, 1u);
    EXPECT_EQ(nlohmann::json::parse(stored->storedText).back(), later);

    preferences->setValue(Agent::grantsKey, dataValue("no list"));
    choose(StatusMenuAction::resumeAllBlocking);
    stored = SharedPreferencesState::readGrants(*preferences);
    EXPECT_EQ(stored->storedText, "[]");
    int copies = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(container.path())) {
        if (entry.is_regular_file()) {
            std::ifstream in(entry.path());
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "no list");
            ++copies;
        }
    }
    EXPECT_EQ(copies, 1);
}

TEST_F(AgentTest, ActionsThatNeedActiveProtectionDoNothingWithoutIt) {
    storeApplications(apps);
    requestProtection(false);
    enableFilter();
    startAgent();

    choose(StatusMenuAction::pauseAllForOneHour);
    choose(StatusMenuAction::allowApplicationForFiveMinutes, apps[0].id);
    EXPECT_FALSE(preferences->value(Agent::grantsKey).has_value());
    EXPECT_EQ(agentPosts(), 0);
    const auto menu = openMenu();
    EXPECT_EQ(testing::findItem(menu, StatusMenu::pauseFiveMinutesTitle), nullptr);

    // With protection on, an item without an application, or with one no longer listed,
    // changes nothing either.
    requestProtection(true);
    enableFilter();
    notifications->observers.at(StateNotificationNames::mainStateDidChange)();
    testing::settle();
    ASSERT_TRUE(agent->isProtectionActive());
    choose(StatusMenuAction::allowApplicationForOneHour, std::nullopt);
    choose(StatusMenuAction::allowApplicationForOneHour, Uuid::random());
    EXPECT_FALSE(preferences->value(Agent::grantsKey).has_value());
    choose(StatusMenuAction::allowApplicationForOneHour, apps[2].id);
    ASSERT_EQ(storedGrants().size(), 1u);
    EXPECT_EQ(storedGrants()[0].expiresAt, start.addingSeconds(3600));
}

TEST_F(AgentTest, UntilQuitGrantOfAnApplicationThatStoppedIsDroppedAndWrittenBack) {
    storeApplications(apps);
    requestProtection(true);
    enableFilter();
    workspace->run("com.example.editor");
    startAgent();

    auto menu = openMenu();
    const auto* untilQuit = testing::findItem(menu, StatusMenu::allowUntilQuitTitle, "Editor");
    ASSERT_NE(untilQuit, nullptr);
    EXPECT_TRUE(untilQuit->isEnabled);
    EXPECT_FALSE(testing::findItem(menu, StatusMenu::allowUntilQuitTitle, "Mail")->isEnabled);

    choose(StatusMenuAction::allowApplicationUntilQuit, apps[0].id);
    ASSERT_EQ(storedGrants().size(), 1u);
    EXPECT_EQ(storedGrants()[0].mode, Mode::untilQuit);
    EXPECT_EQ(storedGrants()[0].expiresAt, start.addingSeconds(86400));
    const auto postsBefore = agentPosts();
    const auto savesBefore = manager->saves.size();

    workspace->running.clear();
    agent->refreshTick();
    testing::settle();
    EXPECT_TRUE(storedGrants().empty());
    EXPECT_TRUE(preferences->value(Agent::grantsKey).has_value());
    EXPECT_TRUE(agent->snapshot().grants.empty());
    EXPECT_EQ(agentPosts(), postsBefore + 1);
    ASSERT_GT(manager->saves.size(), savesBefore);
    EXPECT_EQ(entries(vendorOf(manager->saves.back()),
                      FilterVendorConfiguration::temporaryAllowedApplicationPathsKey),
              0u);
    EXPECT_EQ(item->toolTip, "Zorvane: Protection On");
}

TEST_F(AgentTest, AwaitingApprovalDisablesTheProtectionItemAndOffersNoPause) {
    storeApplications(apps);
    requestProtection(true);
    manager->loadError = SystemError{SystemError::filterErrorDomain, 5, "Permission denied"};
    startAgent();
    ASSERT_EQ(agent->filterController().status(), FilterStatus::awaitingApproval());

    const auto menu = openMenu();
    ASSERT_GE(menu.size(), 5u);
    EXPECT_EQ(menu[0].title, "Awaiting Approval");
    EXPECT_EQ(menu[0].symbolName, "shield.lefthalf.filled");
    EXPECT_FALSE(menu[0].action.has_value());
    EXPECT_EQ(menu[2].action, StatusMenuAction::openZorvane);
    const auto* protection = testing::findItem(menu, StatusMenu::protectionOnTitle);
    ASSERT_NE(protection, nullptr);
    EXPECT_FALSE(protection->isEnabled);
    EXPECT_TRUE(protection->isChecked);
    EXPECT_EQ(testing::findItem(menu, StatusMenu::pauseFiveMinutesTitle), nullptr);
    EXPECT_EQ(testing::findItem(menu, StatusMenu::pauseOneHourTitle), nullptr);
    EXPECT_EQ(menu.back().action, StatusMenuAction::hideStatusItem);
}

TEST_F(AgentTest, TheIconShowsOnlyWithApplicationsAndWhileNotHidden) {
    // No key and an empty list: never shown.
    startAgent();
    EXPECT_FALSE(item->visible);

    // The window process adds an application; the key is still absent, so it shows.
    storeApplications(apps);
    notifications->observers.at(StateNotificationNames::mainStateDidChange)();
    testing::settle();
    EXPECT_TRUE(item->visible);
    EXPECT_EQ(item->toolTip, "Zorvane: Protection Off");

    choose(StatusMenuAction::hideStatusItem);
    EXPECT_FALSE(item->visible);
    EXPECT_EQ(preferences->value(Agent::statusBarIconEnabledKey), PlistValue(false));
    EXPECT_EQ(agentPosts(), 1);
    agent->refreshTick();
    EXPECT_FALSE(item->visible);

    // Turned on again in the window process.
    preferences->setValue(Agent::statusBarIconEnabledKey, PlistValue(true));
    notifications->observers.at(StateNotificationNames::mainStateDidChange)();
    testing::settle();
    EXPECT_TRUE(item->visible);

    // The list emptied: the icon goes although it is wanted.
    storeApplications({});
    agent->refreshTick();
    EXPECT_FALSE(item->visible);
    EXPECT_EQ(item->shows, 2);
}

TEST_F(AgentTest, TogglingProtectionTellsTheWindowProcessAgainOnceTheFilterSettled) {
    storeApplications(apps);
    requestProtection(true);
    enableFilter();
    startAgent();

    choose(StatusMenuAction::toggleProtection);
    EXPECT_EQ(preferences->value(Agent::protectionRequestedKey), PlistValue(false));
    ASSERT_FALSE(manager->saves.empty());
    EXPECT_FALSE(manager->saves.back().enabled);
    EXPECT_EQ(agent->filterController().status(), FilterStatus::inactive());
    // Once for the switch, once more when the filter had settled.
    EXPECT_EQ(agentPosts(), 2);
    EXPECT_FALSE(agent->shouldNotifyMainAfterFilterTransition());
    EXPECT_EQ(item->toolTip, "Zorvane: Protection Off");

    choose(StatusMenuAction::toggleProtection);
    EXPECT_EQ(preferences->value(Agent::protectionRequestedKey), PlistValue(true));
    ASSERT_EQ(activator->submitted.size(), 1u);
    EXPECT_EQ(agent->filterController().status(), FilterStatus::activating());
    EXPECT_EQ(agentPosts(), 3);
    EXPECT_TRUE(agent->shouldNotifyMainAfterFilterTransition());
    EXPECT_EQ(agent->filterController().pendingRules().blockedApplicationPaths.size(), 3u);

    activator->finish(SystemExtensionRequestResult::completed);
    testing::settle();
    EXPECT_EQ(agent->filterController().status(), FilterStatus::enabled());
    EXPECT_TRUE(manager->stored->enabled);
    EXPECT_EQ(agentPosts(), 4);
    EXPECT_EQ(item->toolTip, "Zorvane: Protection On");
}

TEST_F(AgentTest, TicksAskForTheFilterStatusEveryThirdTime) {
    storeApplications(apps);
    enableFilter();
    startAgent();
    const int loads = manager->loads;
    agent->refreshTick();
    agent->refreshTick();
    testing::settle();
    EXPECT_EQ(manager->loads, loads);
    agent->refreshTick();
    testing::settle();
    EXPECT_EQ(manager->loads, loads + 1);
}

TEST_F(AgentTest, TheTimersTickAtTheirInterval) {
    refreshInterval = std::chrono::milliseconds(1);
    startAgent();
    EXPECT_TRUE(QTest::qWaitFor([&] { return agent->refreshTickCount() >= 3; }, 5000));
}

TEST_F(AgentTest, MaintenanceSynchronisesTheConfigurationAndKeepsTheStoredChannel) {
    storeApplications(apps);
    requestProtection(false);
    FilterConfiguration configuration;
    configuration.enabled = true;
    configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        false, "other",
        PlistDictionary{
            {FilterVendorConfiguration::eventChannelPortKey, PlistValue(std::int64_t{49152})},
            {FilterVendorConfiguration::eventChannelTokenKey, PlistValue(std::string("t0k"))},
            {FilterVendorConfiguration::codeIdentitiesKey, PlistArray{}}}};
    manager->stored = configuration;
    startAgent();

    ASSERT_TRUE(manager->stored.has_value());
    const auto& stored = *manager->stored;
    // Protection is not requested: the filter goes off, with the rules in place for later.
    EXPECT_FALSE(stored.enabled);
    EXPECT_EQ(stored.localizedDescription, "Zorvane");
    ASSERT_TRUE(stored.providerConfiguration.has_value());
    EXPECT_TRUE(stored.providerConfiguration->filterSockets);
    EXPECT_EQ(stored.providerConfiguration->filterDataProviderBundleIdentifier,
              "dev.quillmoor.Zorvane.FilterExtension");
    const auto& vendor = vendorOf(stored);
    EXPECT_EQ(entries(vendor, FilterVendorConfiguration::codeIdentitiesKey), 3u);
    EXPECT_EQ(vendor.at(FilterVendorConfiguration::eventChannelPortKey),
              PlistValue(std::int64_t{49152}));
    EXPECT_EQ(vendor.at(FilterVendorConfiguration::eventChannelTokenKey),
              PlistValue(std::string("t0k")));
    // The rules went straight to the configuration, not into the controller's own save.
    EXPECT_TRUE(agent->filterController().pendingRules().blockedApplicationPaths.empty());

    // Requested: an enabled filter stays enabled.
    requestProtection(true);
    manager->stored->enabled = true;
    agent->runMaintenance();
    testing::settle();
    EXPECT_TRUE(manager->stored->enabled);

    // A configuration that cannot be loaded is only logged.
    testing::LogCapture log("dev.quillmoor.Zorvane.SystemExtension");
    manager->loadError = SystemError{SystemError::filterErrorDomain, 6, "Broken"};
    const auto saves = manager->saves.size();
    agent->runMaintenance();
    testing::settle();
    EXPECT_EQ(manager->saves.size(), saves);
    EXPECT_TRUE(log.contains("Background filter synchronization failed: Broken"));
}

TEST_F(AgentTest, MaintenanceChecksForUpdatesWithAFreshControllerAndNotifies) {
    testing::LocalHttpServer server;
    server.setResponse("/updates/latest.json",
                       testing::LocalHttpServer::Response{
                           200, R"({"version":"9.0","downloadURL":"https://zorvane.app/d"})"});
    QNetworkAccessManager network;
    network.setProxy(QNetworkProxy::NoProxy);
    int created = 0;
    makeUpdateController = [&] {
        ++created;
        UpdateController::Options options{RunningVersion{"1.0", "1"}, preferences, clock};
        options.manifestUrl = server.url(QStringLiteral("/updates/latest.json"));
        options.network = &network;
        return std::make_unique<UpdateController>(std::move(options));
    };
    auto center = std::make_shared<testing::FakeNotificationCenter>();
    updateNotifications = new UpdateNotificationController(
        UpdateNotificationController::Options{center, preferences});
    storeApplications(apps);
    startAgent();

    ASSERT_TRUE(QTest::qWaitFor([&] { return !center->added.empty(); }, 10'000));
    testing::settle();
    EXPECT_EQ(created, 1);
    EXPECT_EQ(server.requests().size(), 1);
    ASSERT_EQ(center->added.size(), 1u);

    // An hour later the check is not due again; the same update is not announced twice.
    clock->advance(3600);
    agent->runMaintenance();
    testing::settle();
    EXPECT_EQ(created, 2);
    EXPECT_EQ(server.requests().size(), 1);
    EXPECT_EQ(center->added.size(), 1u);
}

TEST_F(AgentTest, OpeningBringsARunningWindowProcessForwardInsteadOfStartingAnother) {
    startAgent();
    Workspace::RunningApplication self;
    self.bundleIdentifier = "dev.quillmoor.Zorvane";
    self.processIdentifier = 200;
    Workspace::RunningApplication otherAgent = self;
    otherAgent.processIdentifier = 300;
    otherAgent.activationPolicy = Workspace::ActivationPolicy::accessory;
    workspace->running = {self, otherAgent};

    // Only this process and another agent: a new instance of the bundle.
    choose(StatusMenuAction::openZorvane);
    EXPECT_EQ(openWindowPosts(), 0);
    EXPECT_EQ(workspace->launched, std::vector<std::filesystem::path>{bundle->url()});

    Workspace::RunningApplication window = self;
    window.processIdentifier = 100;
    workspace->running.push_back(window);
    EXPECT_FALSE(agent->handleReopen());
    EXPECT_EQ(openWindowPosts(), 1);
    ASSERT_EQ(workspace->activated.size(), 1u);
    EXPECT_EQ(workspace->activated[0].processIdentifier, 100);
    EXPECT_EQ(workspace->launched.size(), 1u);
}

} // namespace
} // namespace zorvane
