#include "AgentFakes.h"
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "app/store/AppBlockStore.h"
#include "app/store/TemporaryAccess.h"
#include "shared/RecordJson.h"
#include "tests/app-filter-control/FilterControlFakes.h"
#include "tests/app-store/StoreFakes.h"
#include "tests/app-store/StoreFixtures.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <QTest>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using fixtures::application;
using fixtures::start;

PlistValue dataValue(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

// The rule entries of a saved vendor dictionary, without the event channel.
PlistDictionary ruleEntries(const FilterConfiguration& configuration) {
    PlistDictionary rules = *configuration.vendorConfiguration();
    rules.erase(FilterVendorConfiguration::eventChannelPortKey);
    rules.erase(FilterVendorConfiguration::eventChannelTokenKey);
    rules.erase(FilterVendorConfiguration::eventChannelProtocolVersionKey);
    return rules;
}

// The window process's store and the agent over the same preferences, each with its own
// filter controller, as the two processes are.
TEST(AgentAndStore, HandTheSameRulesToTheirFilterControllers) {
    auto preferences = std::make_shared<testing::MemoryPreferences>();
    auto clock = std::make_shared<ManualClock>(start);
    auto workspace = std::make_shared<testing::FakeWorkspace>();
    auto bundle = std::make_shared<testing::FakeMainBundle>();
    workspace->run("com.example.chat");

    auto editor = application("Editor", "com.example.editor", "TEAM123456",
                              {CodeIdentity{"com.example.editor.helper", "TEAM123456"},
                               CodeIdentity{"python3", "TEAM123456"}});
    auto mail = application("Mail", "com.example.mail", std::nullopt);
    auto chat = application("Chat", "com.example.chat");
    // Listed by hand, or carrying one of the program's helpers: the program itself either way.
    auto itself = application("Zorvane", "dev.quillmoor.Zorvane");
    auto withOwnHelper = application("Wrapper", "com.example.wrapper", "TEAM123456",
                                     {CodeIdentity{"dev.quillmoor.Zorvane.helper", "TEAM123456"}});
    preferences->setValue(AppBlockStore::defaultsKey,
                          dataValue(RecordJson::encodeBlockedApplications(
                              {chat, editor, itself, mail, withOwnHelper})));
    auto grantOf = [](const BlockedApplication& app, double seconds,
                      TemporaryAccessGrant::Mode mode) {
        return TemporaryAccess::makeGrant(app, start.addingSeconds(seconds), mode);
    };
    preferences->setValue(AppBlockStore::temporaryAccessGrantsKey,
                          dataValue(*RecordJson::encodeTemporaryAccessGrants(
                              {grantOf(editor, 300, TemporaryAccessGrant::Mode::timed),
                               grantOf(mail, -10, TemporaryAccessGrant::Mode::timed),
                               grantOf(chat, 86400, TemporaryAccessGrant::Mode::untilQuit)})));
    preferences->setValue(AppBlockStore::protectionRequestedKey, PlistValue(true));

    FilterConfiguration enabled;
    enabled.enabled = true;

    // The store: it activates the filter with its rules once loaded.
    auto storeManager = std::make_shared<testing::FakeFilterManager>();
    storeManager->stored = enabled;
    auto storeActivator = std::make_shared<testing::FakeActivator>();
    TemporaryDirectory container;
    AppBlockStore::Dependencies storeDependencies;
    storeDependencies.preferences = preferences;
    storeDependencies.notifications = std::make_shared<testing::FakeNotifications>();
    storeDependencies.workspace = workspace;
    storeDependencies.filterController = new FilterController(
        FilterController::Dependencies{storeManager,
                                       storeActivator,
                                       bundle,
                                       {},
                                       clock,
                                       std::make_shared<testing::ManualScheduler>()});
    storeDependencies.clock = clock;
    storeDependencies.inspect = [](const std::filesystem::path&, const Uuid&) {
        return ApplicationInspector::Result(ApplicationInspectionError::notAnApplication);
    };
    storeDependencies.activityLog = std::make_shared<ActivityLog>(container.path(), clock);
    storeDependencies.ownIdentifier = OwnIdentifier(std::string("dev.quillmoor.Zorvane"));
    AppBlockStore store(std::move(storeDependencies));
    ASSERT_TRUE(QTest::qWaitFor([&] { return store.hasLoadedApplications(); }, 5000));
    testing::settle();
    store.waitForPersistence();
    ASSERT_EQ(storeActivator->submitted.size(), 1u);
    storeActivator->finish(SystemExtensionRequestResult::completed);
    testing::settle();
    ASSERT_TRUE(storeManager->stored->enabled);

    // The agent, started afterwards over what the store left in the preferences.
    auto agentManager = std::make_shared<testing::FakeFilterManager>();
    agentManager->stored = enabled;
    BackgroundStatusAgentController::Dependencies agentDependencies;
    agentDependencies.preferences = preferences;
    agentDependencies.notifications = std::make_shared<testing::FakeNotifications>();
    agentDependencies.workspace = workspace;
    agentDependencies.mainBundle = bundle;
    agentDependencies.filterController = new FilterController(
        FilterController::Dependencies{agentManager,
                                       std::make_shared<testing::FakeActivator>(),
                                       bundle,
                                       {},
                                       clock,
                                       std::make_shared<testing::ManualScheduler>()});
    agentDependencies.statusItem = std::make_unique<testing::FakeStatusItem>(
        std::make_shared<testing::FakeStatusItem::State>());
    agentDependencies.clock = clock;
    BackgroundStatusAgentController agent(std::move(agentDependencies));
    agent.start();
    testing::settle();

    // Maintenance synchronised the configuration in the background.
    ASSERT_TRUE(agentManager->stored.has_value());
    EXPECT_EQ(ruleEntries(*agentManager->stored), ruleEntries(*storeManager->stored));

    // An action pushes the rules through the agent's controller.
    agent.blockApplicationNow(mail.id);
    testing::settle();
    const auto& rules = agent.filterController().pendingRules();
    EXPECT_EQ(rules, store.filterController().pendingRules());
    // And they are what they should be: three applications (not the program itself), the
    // helper with a team, no interpreter, and the two live allowances.
    EXPECT_EQ(rules.blockedApplicationPaths.size(), 3u);
    EXPECT_EQ(rules.blockedCodeIdentityKeys.size(), 4u);
    EXPECT_EQ(rules.temporarilyAllowedApplicationPaths.size(), 2u);
    EXPECT_EQ(ruleEntries(agentManager->saves.back()), ruleEntries(*storeManager->stored));
}

} // namespace
} // namespace zorvane
