#include "app/filter-control/FilterController.h"

#include "FilterControlFakes.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "shared/Base64.h"
#include "shared/CodeIdentity.h"
#include "shared/PlatformWording.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

namespace zorvane {

void PrintTo(const FilterStatus& status, std::ostream* out) {
    *out << QMetaEnum::fromType<FilterStatus::Kind>().valueToKey(static_cast<int>(status.kind()));
    if (!status.message().isEmpty()) {
        *out << "(" << status.message().toStdString() << ")";
    }
}

namespace {

using namespace testing;
using Kind = FilterStatus::Kind;

const std::string blockedKey = CodeIdentity::make("com.example.browser", "TEAM123456").key();
const std::string otherKey = CodeIdentity::make("com.example.chat", std::nullopt).key();
const EventChannel channel{51234, std::string(64, 't')};

SystemError error(const char* domain, std::int64_t code, std::string description) {
    return SystemError{domain, code, std::move(description)};
}

const SystemError permissionError =
    error(SystemError::filterErrorDomain, 5, "The operation couldn't be completed.");

FilterRules rules(std::vector<std::string> keys = {blockedKey}) {
    FilterRules result;
    result.blockedCodeIdentityKeys = std::move(keys);
    result.blockedApplicationPaths = {"/Applications/Browser.app"};
    return result;
}

const PlistDictionary& vendorOf(const FilterConfiguration& configuration) {
    static const PlistDictionary none;
    const auto* vendor = configuration.vendorConfiguration();
    return vendor ? *vendor : none;
}

PlistArray blockedKeysOf(const FilterConfiguration& configuration) {
    const auto& vendor = vendorOf(configuration);
    auto found = vendor.find(FilterVendorConfiguration::codeIdentitiesKey);
    return found != vendor.end() && found->second.array() ? *found->second.array() : PlistArray{};
}

// A vendor dictionary that already names the published channel.
const PlistDictionary currentChannel{{"eventChannelPort", std::int64_t{51234}},
                                     {"eventChannelToken", channel.token},
                                     {"eventChannelProtocolVersion", std::int64_t{1}}};

FilterConfiguration enabledConfiguration(PlistDictionary vendor = currentChannel) {
    FilterConfiguration configuration;
    configuration.enabled = true;
    configuration.localizedDescription = "Zorvane";
    configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
        true, "dev.quillmoor.Zorvane.FilterExtension", std::move(vendor)};
    return configuration;
}

class FilterControllerTest : public ::testing::Test {
protected:
    FilterControllerTest() { makeController(); }

    void makeController() {
        FilterController::Dependencies dependencies;
        dependencies.filterManager = manager;
        dependencies.activator = activator;
        dependencies.mainBundle = bundle;
        dependencies.eventChannel = [this] { return publishedChannel; };
        dependencies.clock = clock;
        dependencies.scheduler = scheduler;
        controller = std::make_unique<FilterController>(std::move(dependencies));
    }

    // Activation through approval to the saved, enabled configuration.
    void activateAndApprove(const FilterRules& activated = rules()) {
        controller->activate(activated);
        ASSERT_EQ(activator->submitted.size(), 1u);
        activator->needsApproval();
        settle();
        activator->finish(SystemExtensionRequestResult::completed);
        settle();
    }

    std::shared_ptr<FakeFilterManager> manager = std::make_shared<FakeFilterManager>();
    std::shared_ptr<FakeActivator> activator = std::make_shared<FakeActivator>();
    std::shared_ptr<FakeMainBundle> bundle = std::make_shared<FakeMainBundle>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualScheduler> scheduler = std::make_shared<ManualScheduler>();
    std::optional<EventChannel> publishedChannel = channel;
    std::unique_ptr<FilterController> controller;
    LogCapture log{"dev.quillmoor.Zorvane.SystemExtension"};
};

TEST_F(FilterControllerTest, ActivationThroughApprovalSavesTheEnabledConfiguration) {
    QSignalSpy changes(controller.get(), &FilterController::statusChanged);
    EXPECT_EQ(controller->status(), FilterStatus::inactive());
    EXPECT_EQ(controller->property("status").value<FilterStatus>(), FilterStatus::inactive());

    controller->activate(rules());
    EXPECT_EQ(controller->status(), FilterStatus::activating());
    ASSERT_EQ(activator->submitted.size(), 1u);
    EXPECT_EQ(activator->submitted[0].request.identifier, "dev.quillmoor.Zorvane.FilterExtension");
    EXPECT_EQ(activator->submitted[0].request.kind, SystemExtensionRequest::Kind::activation);
    EXPECT_TRUE(manager->saves.empty());

    activator->needsApproval();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
    EXPECT_TRUE(controller->activationRequest().has_value());

    activator->finish(SystemExtensionRequestResult::completed);
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
    EXPECT_FALSE(controller->activationRequest().has_value());
    EXPECT_EQ(changes.count(), 3); // activating, awaiting approval, enabled

    ASSERT_EQ(manager->saves.size(), 1u);
    const auto& saved = manager->saves[0];
    EXPECT_TRUE(saved.enabled);
    EXPECT_EQ(saved.localizedDescription, "Zorvane");
    ASSERT_TRUE(saved.providerConfiguration);
    EXPECT_TRUE(saved.providerConfiguration->filterSockets);
    EXPECT_EQ(saved.providerConfiguration->filterDataProviderBundleIdentifier,
              "dev.quillmoor.Zorvane.FilterExtension");
    const PlistDictionary expected{
        {"blockedCodeIdentities", PlistArray{blockedKey}},
        {"blockedSigningIdentifiers", PlistArray{}},
        {"blockedApplicationPaths", PlistArray{"/Applications/Browser.app"}},
        {"temporaryAllowedCodeIdentities", PlistDictionary{}},
        {"temporaryAllowedApplicationPaths", PlistDictionary{}},
        {"eventChannelPort", std::int64_t{51234}},
        {"eventChannelToken", channel.token},
        {"eventChannelProtocolVersion", std::int64_t{1}},
    };
    EXPECT_EQ(vendorOf(saved), expected);

    for (const char* line :
         {"Submitting activation request for dev.quillmoor.Zorvane.FilterExtension",
          "System extension activation requires user approval",
          "System extension activation finished",
          "Filter configuration saved; reloading confirmed state",
          "Filter status refreshed: enabled=true"}) {
        EXPECT_TRUE(log.contains(line)) << line << "\n" << log.lines.join("\n").toStdString();
    }
}

TEST_F(FilterControllerTest, OutsideTheApplicationsFolderNothingIsSubmitted) {
    bundle->inApplications = false;
    controller->activate(rules());
    EXPECT_EQ(controller->status(), FilterStatus::installationRequired());
    EXPECT_TRUE(activator->submitted.empty());
    EXPECT_TRUE(log.contains("Activation deferred until Zorvane is opened from /Applications"));
    // The rules are still kept for later.
    EXPECT_EQ(controller->pendingRules().blockedCodeIdentityKeys,
              std::vector<std::string>{blockedKey});

    manager->stored = enabledConfiguration();
    controller->refreshStatus(rules());
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::installationRequired());
    EXPECT_EQ(manager->loads, 0);
    EXPECT_TRUE(activator->submitted.empty());
}

TEST_F(FilterControllerTest, ActivationFailuresChooseTheStatusByTheirKind) {
    struct Case {
        SystemError error;
        FilterStatus expected;
    };
    const std::vector<Case> cases = {
        {error(SystemError::systemExtensionErrorDomain, 3,
               "App containing System Extension to be activated must be in /applications folder"),
         FilterStatus::installationRequired()},
        {error(SystemError::systemExtensionErrorDomain, 13, "Authorization required."),
         FilterStatus::awaitingApproval()},
        {error("NSPOSIXErrorDomain", 1, "Operation not permitted: Permission Denied"),
         FilterStatus::awaitingApproval()},
        {error(SystemError::systemExtensionErrorDomain, 8, "Code signature invalid."),
         FilterStatus::failed("Code signature invalid.")},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        controller->activate(rules());
        EXPECT_EQ(controller->status(), FilterStatus::activating());
        activator->fail(cases[i].error, i);
        settle();
        EXPECT_EQ(controller->status(), cases[i].expected) << i;
        EXPECT_FALSE(controller->activationRequest().has_value());
        EXPECT_TRUE(log.contains(QString::fromStdString("System extension activation failed: " +
                                                        cases[i].error.localizedDescription)));
    }
    EXPECT_TRUE(manager->saves.empty());
}

TEST_F(FilterControllerTest, FinishedRequestsOtherThanCompletedFail) {
    controller->activate(rules());
    activator->finish(SystemExtensionRequestResult::willCompleteAfterReboot);
    settle();
    EXPECT_EQ(controller->status(),
              FilterStatus::failed(PlatformWording::text("filter.restartRequired")));

    controller->activate(rules());
    activator->finish(SystemExtensionRequestResult::unknown, 1);
    settle();
    EXPECT_EQ(controller->status(),
              FilterStatus::failed("The extension installation finished with an unknown result."));
    EXPECT_TRUE(manager->saves.empty());

    // Answers to a request that already ended change nothing.
    activator->needsApproval(1);
    settle();
    EXPECT_EQ(controller->status().kind(), Kind::failed);
}

TEST_F(FilterControllerTest, TwoActivationsBeforeAnAnswerSubmitOnceAndSaveTheSecondRules) {
    controller->activate(rules({blockedKey}));
    controller->activate(rules({otherKey}));
    EXPECT_EQ(activator->submitted.size(), 1u);
    EXPECT_TRUE(log.contains("Activation request already pending; updated pending rules"));

    activator->finish(SystemExtensionRequestResult::completed);
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    EXPECT_EQ(blockedKeysOf(manager->saves[0]), PlistArray{otherKey});
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
}

TEST_F(FilterControllerTest, RefreshReportsWhatIsStored) {
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::inactive()); // nothing stored
    EXPECT_TRUE(log.contains("Filter status refreshed: enabled=false"));

    manager->stored = enabledConfiguration();
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
    EXPECT_TRUE(activator->submitted.empty());

    // With rules, an enabled filter is activated again with them.
    controller->refreshStatus(rules({otherKey}));
    settle();
    ASSERT_EQ(activator->submitted.size(), 1u);
    EXPECT_EQ(controller->pendingRules().blockedCodeIdentityKeys,
              std::vector<std::string>{otherKey});

    // Disabled while the user still has to approve: the wait stays visible.
    activator->needsApproval();
    settle();
    manager->stored->enabled = false;
    controller->refreshStatus(rules());
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
    EXPECT_EQ(activator->submitted.size(), 1u);

    // Without an outstanding request it is simply off.
    activator->fail(error("Other", 1, "gone"));
    settle();
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::inactive());

    manager->loadError = error("Other", 2, "The preferences are corrupt.");
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::failed("The preferences are corrupt."));
    EXPECT_TRUE(log.contains("Failed to refresh filter status: The preferences are corrupt."));

    manager->loadError = error(SystemError::configurationErrorDomain, 10, "Denied.");
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
}

TEST_F(FilterControllerTest, EveryRefreshPublishesItsStatusEvenWhenUnchanged) {
    QSignalSpy changed(controller.get(), &FilterController::statusChanged);
    QSignalSpy published(controller.get(), &FilterController::statusPublished);
    controller->refreshStatus();
    settle();
    controller->refreshStatus();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::inactive());
    EXPECT_EQ(changed.count(), 0);
    EXPECT_EQ(published.count(), 2);

    manager->stored = enabledConfiguration();
    controller->refreshStatus();
    settle();
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(published.count(), 3);
}

TEST_F(FilterControllerTest, LoadAndSaveErrorsOfSavesSetTheStatus) {
    manager->loadError = permissionError;
    controller->applyRules(rules());
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
    EXPECT_TRUE(manager->saves.empty());

    manager->loadError = error("Other", 3, "Broken preferences.");
    controller->applyRules(rules());
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::failed("Broken preferences."));
    EXPECT_TRUE(log.contains("Failed to load filter configuration: Broken preferences."));

    manager->loadError.reset();
    manager->saveErrors = {error(SystemError::filterErrorDomain, 1, "Invalid configuration.")};
    controller->deactivate();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::failed("Invalid configuration."));
    EXPECT_TRUE(log.contains("Failed to save filter configuration: Invalid configuration."));
    EXPECT_TRUE(scheduler->entries.empty()); // not a permission error: no retry

    // An approval error that is not a permission error is not retried either.
    manager->saveErrors = {error(SystemError::systemExtensionErrorDomain, 13, "Authorize.")};
    controller->deactivate();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
    EXPECT_TRUE(log.contains("Filter configuration is waiting for user approval"));
    EXPECT_TRUE(scheduler->entries.empty());
}

TEST_F(FilterControllerTest, DeactivateSavesDisabledAndApplyRulesKeepsTheEnabledState) {
    manager->stored = enabledConfiguration();
    controller->applyRules(rules());
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    EXPECT_TRUE(manager->saves[0].enabled);
    EXPECT_EQ(controller->status(), FilterStatus::enabled());

    controller->deactivate();
    settle();
    ASSERT_EQ(manager->saves.size(), 2u);
    EXPECT_FALSE(manager->saves[1].enabled);
    EXPECT_EQ(blockedKeysOf(manager->saves[1]), PlistArray{blockedKey});
    EXPECT_EQ(controller->status(), FilterStatus::inactive());

    controller->applyRules(rules({otherKey}));
    settle();
    EXPECT_FALSE(manager->saves[2].enabled);
    EXPECT_EQ(controller->status(), FilterStatus::inactive());
}

TEST_F(FilterControllerTest, OnlyTheNewestOfTwoQuickSavesDecidesTheStatus) {
    manager->stored = enabledConfiguration();
    manager->holdAnswers = true;
    manager->saveErrors = {error("Other", 9, "The first save failed.")};

    controller->applyRules(rules({blockedKey}));
    manager->release(0); // first load
    settle();
    ASSERT_EQ(manager->saves.size(), 1u); // first save asked for, its answer held
    controller->applyRules(rules({otherKey}));
    manager->release(1); // second load
    settle();
    ASSERT_EQ(manager->saves.size(), 2u);
    EXPECT_EQ(blockedKeysOf(manager->saves[1]), PlistArray{otherKey});

    manager->release(1); // the second save succeeds
    settle();
    ASSERT_EQ(manager->held.size(), 2u); // the first save's answer and the refresh's load
    manager->release(1);
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::enabled());

    manager->release(0); // the first save's failure arrives last
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
    EXPECT_FALSE(log.contains("Failed to save filter configuration: The first save failed."));
}

TEST_F(FilterControllerTest, APermissionErrorIsTriedFourTimesThenAwaitsApproval) {
    manager->saveErrors = {permissionError, permissionError, permissionError, permissionError};
    activateAndApprove();
    for (int retry = 0; retry < 3; ++retry) {
        ASSERT_EQ(scheduler->entries.size(), 1u) << retry;
        EXPECT_EQ(scheduler->entries[0].delay, std::chrono::milliseconds(1500));
        EXPECT_EQ(manager->saves.size(), static_cast<std::size_t>(retry + 1));
        scheduler->runAll();
        settle();
    }
    EXPECT_EQ(manager->saves.size(), 4u);
    EXPECT_TRUE(scheduler->entries.empty());
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());
    EXPECT_TRUE(log.contains("Filter configuration is waiting for user approval"));
    QStringList retries = log.lines.filter("retrying save");
    EXPECT_EQ(retries,
              (QStringList{"Filter permission is still propagating; retrying save (attempt 2)",
                           "Filter permission is still propagating; retrying save (attempt 3)",
                           "Filter permission is still propagating; retrying save (attempt 4)"}));
    // Every attempt saved the enabled configuration with the same rules.
    for (const auto& saved : manager->saves) {
        EXPECT_TRUE(saved.enabled);
        EXPECT_EQ(blockedKeysOf(saved), PlistArray{blockedKey});
    }
}

TEST_F(FilterControllerTest, ARetryEndsWellOnceThePermissionArrivesAndANewerSaveCancelsIt) {
    manager->saveErrors = {error(SystemError::configurationErrorDomain, 10, "Not yet.")};
    activateAndApprove();
    scheduler->runAll();
    settle();
    EXPECT_EQ(manager->saves.size(), 2u);
    EXPECT_EQ(controller->status(), FilterStatus::enabled());

    // A retry whose save was overtaken by a newer one does nothing when its time comes.
    manager->saveErrors = {permissionError};
    controller->applyRules(rules());
    settle();
    ASSERT_EQ(scheduler->entries.size(), 1u);
    manager->holdAnswers = true;
    controller->applyRules(rules({otherKey}));
    const int loads = manager->loads;
    scheduler->runAll();
    EXPECT_EQ(manager->loads, loads);
}

TEST_F(FilterControllerTest, ANewEventChannelRestartsTheProviderASecondLater) {
    struct Case {
        const char* name;
        PlistDictionary stored;
    };
    const std::vector<Case> cases = {
        {"another token",
         {{"eventChannelPort", std::int64_t{51234}},
          {"eventChannelToken", std::string(64, 'x')},
          {"eventChannelProtocolVersion", std::int64_t{1}}}},
        {"no protocol version",
         {{"eventChannelPort", std::int64_t{51234}}, {"eventChannelToken", channel.token}}},
        {"protocol version 2",
         {{"eventChannelPort", std::int64_t{51234}},
          {"eventChannelToken", channel.token},
          {"eventChannelProtocolVersion", std::int64_t{2}}}},
        {"another port",
         {{"eventChannelPort", 40000.0},
          {"eventChannelToken", channel.token},
          {"eventChannelProtocolVersion", std::int64_t{1}}}},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.name);
        manager->stored = enabledConfiguration(item.stored);
        manager->saves.clear();
        scheduler->delays.clear();
        controller->applyRules(rules());
        settle();
        ASSERT_EQ(manager->saves.size(), 1u);
        EXPECT_FALSE(manager->saves[0].enabled);
        EXPECT_EQ(vendorOf(manager->saves[0]).at("eventChannelToken"), PlistValue(channel.token));
        EXPECT_TRUE(log.contains("Event channel changed; restarting filter provider"));
        ASSERT_EQ(scheduler->delays,
                  std::vector<std::chrono::milliseconds>{std::chrono::seconds(1)});

        scheduler->runAll();
        settle();
        ASSERT_EQ(manager->saves.size(), 2u);
        EXPECT_TRUE(manager->saves[1].enabled);
        EXPECT_EQ(vendorOf(manager->saves[1]), vendorOf(manager->saves[0]));
        EXPECT_EQ(controller->status(), FilterStatus::enabled());
        EXPECT_TRUE(log.contains("Filter provider restarted with the current event channel"));
    }

    // The same channel, and a port stored as a real number, need no restart.
    auto same = enabledConfiguration({{"eventChannelPort", 51234.0},
                                      {"eventChannelToken", channel.token},
                                      {"eventChannelProtocolVersion", std::int64_t{1}}});
    manager->stored = same;
    manager->saves.clear();
    controller->applyRules(rules());
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    EXPECT_TRUE(manager->saves[0].enabled);
    EXPECT_TRUE(scheduler->entries.empty());

    // Deactivating never restarts, and neither does a receiver that publishes nothing.
    manager->stored = enabledConfiguration({{"eventChannelToken", std::string(64, 'x')}});
    controller->deactivate();
    settle();
    EXPECT_TRUE(scheduler->entries.empty());
    publishedChannel.reset();
    manager->stored = enabledConfiguration({{"eventChannelToken", std::string(64, 'x')}});
    controller->applyRules(rules());
    settle();
    EXPECT_TRUE(scheduler->entries.empty());
    EXPECT_TRUE(manager->saves.back().enabled);
}

TEST_F(FilterControllerTest, RestartFailuresAndStaleRestartsAreHandled) {
    const auto otherChannel =
        enabledConfiguration({{"eventChannelPort", std::int64_t{1}},
                              {"eventChannelToken", std::string(64, 'x')},
                              {"eventChannelProtocolVersion", std::int64_t{1}}});
    manager->stored = otherChannel;
    controller->applyRules(rules());
    settle();
    manager->loadError = error("Other", 4, "Reload failed.");
    scheduler->runAll();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::failed("Reload failed."));
    EXPECT_TRUE(log.contains("Failed to reload filter before restart: Reload failed."));

    manager->loadError.reset();
    manager->stored = otherChannel;
    controller->applyRules(rules());
    settle();
    manager->saveErrors = {error("Other", 5, "Restart save failed.")};
    scheduler->runAll();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::failed("Restart save failed."));
    EXPECT_TRUE(log.contains("Failed to restart filter provider: Restart save failed."));

    // A restart overtaken by a newer save does not run.
    manager->stored = otherChannel;
    controller->applyRules(rules());
    settle();
    ASSERT_EQ(scheduler->entries.size(), 1u);
    manager->holdAnswers = true;
    controller->applyRules(rules());
    const auto saves = manager->saves.size();
    scheduler->runAll();
    manager->holdAnswers = false;
    settle();
    EXPECT_EQ(manager->saves.size(), saves);
}

TEST_F(FilterControllerTest, RulesAreNormalisedBeforeTheyReachTheConfiguration) {
    const std::string teamPadded = Base64::encode(std::string_view("  TEAM123456\n")) + "." +
                                   Base64::encode(std::string_view("com.example.browser"));
    FilterRules raw;
    raw.blockedCodeIdentityKeys = {
        "not base64!." + Base64::encode(std::string_view("com.example.x")),
        "bm8tZG90",                                     // no "."
        Base64::encode(std::string_view("TEAM")) + ".", // empty signing identifier
        "." + Base64::encode(std::string_view("dev.quillmoor.Zorvane")),
        "." + Base64::encode(std::string_view("dev.quillmoor.Zorvane.FilterExtension")),
        "a.b.c",
        teamPadded,
        blockedKey, // the same identity as teamPadded once normalised
        otherKey,
    };
    raw.blockedApplicationPaths = {"/Applications/Chat.app/", "/Applications/./Mail.app",
                                   "/Applications/Notes", "/Applications/Chat.app",
                                   "/Applications/Sub/../Chat.app"};
    const double now = clock->now().unixSeconds();
    raw.temporarilyAllowedCodeIdentities = {
        {blockedKey, now + 300}, {teamPadded, now + 600}, {otherKey, now}, {"bad", now + 60}};
    raw.temporarilyAllowedApplicationPaths = {{"/Applications/Chat.app", now - 1},
                                              {"/Applications/Mail.app/", now + 60},
                                              {"/Applications/Notes", now + 60}};
    manager->stored = enabledConfiguration();
    controller->applyRules(raw);
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    const auto& vendor = vendorOf(manager->saves[0]);
    EXPECT_EQ(vendor.at("blockedCodeIdentities"), PlistValue(PlistArray{blockedKey, otherKey}));
    EXPECT_EQ(vendor.at("blockedApplicationPaths"),
              PlistValue(PlistArray{"/Applications/Chat.app", "/Applications/Mail.app"}));
    EXPECT_EQ(vendor.at("temporaryAllowedCodeIdentities"),
              PlistValue(PlistDictionary{{blockedKey, now + 600}}));
    EXPECT_EQ(vendor.at("temporaryAllowedApplicationPaths"),
              PlistValue(PlistDictionary{{"/Applications/Mail.app", now + 60}}));

    // An allowance that ends while the rules wait drops out at the next save.
    clock->advance(120);
    controller->deactivate();
    settle();
    EXPECT_EQ(vendorOf(manager->saves[1]).at("temporaryAllowedApplicationPaths"),
              PlistValue(PlistDictionary{}));
    EXPECT_EQ(vendorOf(manager->saves[1]).at("temporaryAllowedCodeIdentities"),
              PlistValue(PlistDictionary{{blockedKey, now + 600}}));
}

TEST_F(FilterControllerTest, TheExtensionIdentifierFollowsTheMainBundle) {
    EXPECT_EQ(controller->extensionBundleIdentifier(), "dev.quillmoor.Zorvane.FilterExtension");
    bundle->bundleIdentifier.reset();
    EXPECT_EQ(controller->extensionBundleIdentifier(), "com.example.Zorvane.FilterExtension");
    bundle->bundleIdentifier = "";
    EXPECT_EQ(controller->extensionBundleIdentifier(), "com.example.Zorvane.FilterExtension");
}

TEST_F(FilterControllerTest, ErrorsAreRecognisedByDomainCodeAndText) {
    using C = FilterController;
    EXPECT_TRUE(C::isFilterPermissionError(error("NEFilterErrorDomain", 5, "")));
    EXPECT_TRUE(C::isFilterPermissionError(error("NEConfigurationErrorDomain", 10, "")));
    EXPECT_TRUE(C::isFilterPermissionError(error("X", 1, "open: PERMISSION DENIED here")));
    EXPECT_FALSE(C::isFilterPermissionError(error("NEFilterErrorDomain", 10, "")));
    EXPECT_FALSE(C::isFilterPermissionError(error("NEConfigurationErrorDomain", 5, "")));
    EXPECT_FALSE(C::isFilterPermissionError(error("OSSystemExtensionErrorDomain", 13, "")));
    EXPECT_TRUE(C::isAwaitingApprovalError(error("OSSystemExtensionErrorDomain", 13, "")));
    EXPECT_TRUE(C::isAwaitingApprovalError(error("NEFilterErrorDomain", 5, "")));
    EXPECT_FALSE(C::isAwaitingApprovalError(error("OSSystemExtensionErrorDomain", 12, "")));
}

// MARK: the switch and the stored configuration agree

PlistDictionary allowancesOf(const FilterConfiguration& configuration) {
    const auto& vendor = vendorOf(configuration);
    auto found = vendor.find(FilterVendorConfiguration::temporaryAllowedCodeIdentitiesKey);
    return found != vendor.end() && found->second.dictionary() ? *found->second.dictionary()
                                                               : PlistDictionary{};
}

TEST_F(FilterControllerTest, AnApprovalAfterProtectionWasTurnedOffLeavesTheFilterOff) {
    controller->activate(rules());
    activator->needsApproval();
    settle();
    ASSERT_EQ(controller->status(), FilterStatus::awaitingApproval());

    controller->deactivate();
    settle();
    // Nothing waits for the person any more, even when the system repeats its question.
    EXPECT_EQ(controller->status(), FilterStatus::inactive());
    activator->needsApproval();
    settle();
    EXPECT_EQ(controller->status(), FilterStatus::inactive());

    activator->finish(SystemExtensionRequestResult::completed);
    settle();
    ASSERT_TRUE(manager->stored);
    EXPECT_FALSE(manager->stored->enabled);
    for (const auto& saved : manager->saves) {
        EXPECT_FALSE(saved.enabled);
    }
    EXPECT_EQ(blockedKeysOf(*manager->stored), PlistArray{blockedKey});
    EXPECT_EQ(controller->status(), FilterStatus::inactive());

    // Turned on again, the next approval enables it as always.
    controller->activate(rules());
    ASSERT_EQ(activator->submitted.size(), 2u);
    activator->finish(SystemExtensionRequestResult::completed, 1);
    settle();
    EXPECT_TRUE(manager->stored->enabled);
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
}

TEST_F(FilterControllerTest, ARevocationReachesTheStoredConfigurationWhileApprovalIsAwaited) {
    const double end = clock->now().unixSeconds() + 3600;
    FilterRules allowing = rules();
    allowing.temporarilyAllowedCodeIdentities = {{blockedKey, end}};

    // No configuration yet: the revocation waits for the one the approval creates.
    controller->activate(allowing);
    activator->needsApproval();
    settle();
    controller->applyRulesToStoredConfiguration(rules());
    settle();
    EXPECT_TRUE(manager->saves.empty());
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());

    // A configuration stored earlier (enabled, with the allowance) loses it at once, and keeps
    // its enabled state; the status stays the activation's.
    PlistDictionary vendor = currentChannel;
    vendor[std::string(FilterVendorConfiguration::temporaryAllowedCodeIdentitiesKey)] =
        PlistDictionary{{blockedKey, end}};
    manager->stored = enabledConfiguration(vendor);
    controller->applyRulesToStoredConfiguration(rules());
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    EXPECT_TRUE(manager->saves[0].enabled);
    EXPECT_TRUE(allowancesOf(manager->saves[0]).empty());
    EXPECT_EQ(blockedKeysOf(manager->saves[0]), PlistArray{blockedKey});
    EXPECT_EQ(controller->status(), FilterStatus::awaitingApproval());

    // And the approval saves the rules without it too.
    activator->finish(SystemExtensionRequestResult::completed);
    settle();
    EXPECT_TRUE(manager->stored->enabled);
    EXPECT_TRUE(allowancesOf(*manager->stored).empty());
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
}

TEST_F(FilterControllerTest, ARevocationOvertakingTheApprovalsSaveStillEnablesTheFilter) {
    controller->activate(rules());
    manager->holdAnswers = true;
    activator->finish(SystemExtensionRequestResult::completed);
    settle();
    ASSERT_EQ(manager->held.size(), 1u); // the approval's load

    manager->stored = enabledConfiguration();
    manager->stored->enabled = false;
    controller->applyRulesToStoredConfiguration(rules({otherKey}));
    manager->holdAnswers = false;
    manager->release(1); // the revocation's load answers first
    manager->release(0); // the approval's, overtaken
    settle();
    ASSERT_EQ(manager->saves.size(), 1u);
    EXPECT_TRUE(manager->saves[0].enabled);
    EXPECT_EQ(blockedKeysOf(manager->saves[0]), PlistArray{otherKey});
    EXPECT_EQ(controller->status(), FilterStatus::enabled());
}

TEST_F(FilterControllerTest, AnswersAfterTheControllerIsGoneAreDropped) {
    manager->holdAnswers = true;
    controller->activate(rules());
    controller->applyRules(rules());
    auto delegate = activator->submitted.at(0).delegate;
    controller.reset();
    manager->release(0);
    delegate->requestDidFinish(activator->submitted.at(0).request,
                               SystemExtensionRequestResult::completed);
    settle();
    EXPECT_TRUE(manager->saves.empty());
    EXPECT_EQ(delegate->actionForReplacingExtension(activator->submitted.at(0).request, {}, {}),
              SystemExtensionReplacementAction::replace);
}

TEST(FilterVendorConfigurationTest, ChannelEntriesAreCarriedOverOnlyWhenWellTyped) {
    const FilterRules none;
    auto channelKeys = [](const PlistDictionary& vendor) {
        std::vector<std::string> keys;
        for (const char* key :
             {"eventChannelPort", "eventChannelToken", "eventChannelProtocolVersion"}) {
            if (vendor.count(key)) {
                keys.emplace_back(key);
            }
        }
        return keys;
    };
    const PlistDictionary complete{{"eventChannelPort", std::int64_t{4000}},
                                   {"eventChannelToken", "secret"},
                                   {"eventChannelProtocolVersion", std::int64_t{1}},
                                   {"unrelated", true}};
    auto carried = FilterVendorConfiguration::make(none, std::nullopt, &complete);
    EXPECT_EQ(carried.at("eventChannelPort"), PlistValue(std::int64_t{4000}));
    EXPECT_EQ(carried.at("eventChannelToken"), PlistValue("secret"));
    EXPECT_EQ(carried.size(), 8u);
    EXPECT_EQ(carried.count("unrelated"), 0u);

    const PlistDictionary realPort{{"eventChannelPort", 4000.0}, {"eventChannelToken", "secret"}};
    EXPECT_TRUE(
        channelKeys(FilterVendorConfiguration::make(none, std::nullopt, &realPort)).empty());
    const PlistDictionary noToken{{"eventChannelPort", std::int64_t{4000}}};
    EXPECT_TRUE(channelKeys(FilterVendorConfiguration::make(none, std::nullopt, &noToken)).empty());
    const PlistDictionary textVersion{{"eventChannelPort", std::int64_t{4000}},
                                      {"eventChannelToken", "secret"},
                                      {"eventChannelProtocolVersion", "1"}};
    EXPECT_EQ(channelKeys(FilterVendorConfiguration::make(none, std::nullopt, &textVersion)),
              (std::vector<std::string>{"eventChannelPort", "eventChannelToken"}));
    EXPECT_TRUE(channelKeys(FilterVendorConfiguration::make(none, std::nullopt, nullptr)).empty());

    // A published channel always wins over what is stored.
    const auto published =
        FilterVendorConfiguration::make(none, EventChannel{5000, "new"}, &complete);
    EXPECT_EQ(published.at("eventChannelPort"), PlistValue(std::int64_t{5000}));
    EXPECT_EQ(published.at("eventChannelToken"), PlistValue("new"));

    EXPECT_TRUE(FilterVendorConfiguration::holdsChannel(&complete, {4000, "secret"}));
    EXPECT_FALSE(FilterVendorConfiguration::holdsChannel(&complete, {4001, "secret"}));
    EXPECT_FALSE(FilterVendorConfiguration::holdsChannel(nullptr, {4000, "secret"}));
    const PlistDictionary hugeReal{{"eventChannelPort", 1e300},
                                   {"eventChannelToken", "secret"},
                                   {"eventChannelProtocolVersion", std::int64_t{1}}};
    EXPECT_FALSE(FilterVendorConfiguration::holdsChannel(&hugeReal, {4000, "secret"}));
}

} // namespace
} // namespace zorvane
