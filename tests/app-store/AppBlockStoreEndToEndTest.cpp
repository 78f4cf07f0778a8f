// The block store as the window process runs it, on the real Linux stand-ins: its own event
// receiver with the token in a secrets file, the real filter controller, the filter host started
// from the built bundle and zorvane-system. A dropped signed bundle turns protection on; once the
// extension is approved the host drops that application's flows and reports each drop to the
// receiver, which brings it into the store's activity and the activity file. Removing the
// application lets its flows through again.
#include "StoreFakes.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "app/store/AppBlockStore.h"
#include "app/store/ApplicationInspector.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "platform/linux/FileSecretStore.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "shared/RecordJson.h"
#include "tests/qt-support/EventLoopPolling.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/SystemStandIn.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

using testing::eventuallyOnEventLoop;
using testing::SystemStandIn;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

const PlistValue* vendorValue(const FilterConfiguration& configuration, const char* key) {
    const PlistDictionary* vendor = configuration.vendorConfiguration();
    if (vendor == nullptr) {
        return nullptr;
    }
    auto it = vendor->find(key);
    return it == vendor->end() ? nullptr : &it->second;
}

class BlockStoreEndToEnd : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(standIn.stopHosts()); }

    // The store's dependencies as makeStandard wires them, but on the test's directories, an
    // activator that waits for zorvane-system approve, and fakes where the desktop would answer.
    std::unique_ptr<AppBlockStore> makeStore() {
        auto mainBundle = SystemStandIn::builtApplication();
        AppBlockStore::Dependencies dependencies;
        dependencies.preferences = preferences;
        dependencies.notifications = std::make_shared<testing::FakeNotifications>();
        dependencies.workspace = std::make_shared<testing::FakeWorkspace>();
        dependencies.filterController = new FilterController(FilterController::Dependencies{
            std::make_shared<LinuxFilterManager>(system),
            std::make_shared<LinuxSystemExtensionActivator>(
                LinuxSystemExtensionActivator::Options{system, mainBundle, false}),
            mainBundle, receiver.channel});
        dependencies.eventReceiver = receiver;
        dependencies.inspect = [inspector = ApplicationInspector()](
                                   const std::filesystem::path& bundle, const Uuid& id) {
            return inspector.inspect(bundle, id);
        };
        dependencies.activityLog = activityLog;
        dependencies.ownIdentifier = OwnIdentifier(mainBundle->identifier());
        return std::make_unique<AppBlockStore>(std::move(dependencies));
    }

    testing::SystemStandIn standIn;
    const std::filesystem::path& system = standIn.systemDirectory();
    const std::filesystem::path secrets = standIn.directory() / "secrets";
    const std::filesystem::path container = standIn.directory() / "container";
    std::shared_ptr<testing::MemoryPreferences> preferences =
        std::make_shared<testing::MemoryPreferences>();
    AppBlockStore::EventReceiverHooks receiver =
        AppBlockStore::localEventReceiver(preferences, std::make_unique<FileSecretStore>(secrets));
    std::shared_ptr<ActivityLog> activityLog =
        std::make_shared<ActivityLog>(container, Clock::system());
};

TEST_F(BlockStoreEndToEnd, DroppedApplicationIsBlockedAndItsAttemptsComeBackAsActivity) {
    auto store = makeStore();
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return store->hasLoadedApplications(); }));
    // No wish stored and an inactive filter with an empty list: protection off.
    ASSERT_TRUE(eventuallyOnEventLoop(
        [&] { return preferences->value(AppBlockStore::protectionRequestedKey).has_value(); }));
    EXPECT_FALSE(store->isProtectionRequested());

    // The receiver listens, remembers its port for the next launch and keeps its token in the
    // secrets file, so that a filter configured by an earlier run still reaches it.
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return receiver.channel().has_value(); }));
    const EventChannel channel = *receiver.channel();
    EXPECT_EQ(preferences->value(LocalFilterEventReceiver::eventChannelPortKey),
              PlistValue(static_cast<std::int64_t>(channel.port)));
    EXPECT_EQ(FileSecretStore(secrets).read(LocalFilterEventReceiver::keychainServiceName,
                                            LocalFilterEventReceiver::tokenAccount),
              SecretReadResult(channel.token));

    store->addApplication(standIn.blockedBundle());
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return store->applications().size() == 1; }))
        << store->alertMessageText().toStdString();
    const BlockedApplication blocked = store->applications()[0];
    EXPECT_EQ(blocked.signingIdentifier, SystemStandIn::blockedIdentifier);
    EXPECT_EQ(blocked.teamIdentifier, SystemStandIn::blockedTeam);
    EXPECT_TRUE(store->isProtectionRequested());
    ASSERT_TRUE(eventuallyOnEventLoop([&] {
        return store->filterStatus() == FilterStatus::awaitingApproval();
    })) << store->filterStatus().message().toStdString();

    standIn.tool({"approve"});
    ASSERT_TRUE(eventuallyOnEventLoop([&] {
        return store->filterStatus() == FilterStatus::enabled();
    })) << store->filterStatus().message().toStdString();
    // The filter reports to this receiver.
    const auto saved = FilterConfigurationFile::inDirectory(system).read();
    ASSERT_TRUE(saved);
    EXPECT_TRUE(saved->enabled);
    const PlistValue* port = vendorValue(*saved, FilterVendorConfiguration::eventChannelPortKey);
    const PlistValue* token = vendorValue(*saved, FilterVendorConfiguration::eventChannelTokenKey);
    ASSERT_TRUE(port && token);
    EXPECT_EQ(*port, PlistValue(static_cast<std::int64_t>(channel.port)));
    EXPECT_EQ(*token, PlistValue(channel.token));

    // Until the host has read the configuration the flow may still pass; a drop is recorded only
    // once it does, so the first drop is the only attempt reported.
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return standIn.verdict() == "drop"; }));

    ASSERT_TRUE(eventuallyOnEventLoop([&] { return !store->activityEvents().empty(); }));
    ASSERT_EQ(store->activityEvents().size(), 1u);
    const NetworkActivityEvent event = store->activityEvents()[0];
    EXPECT_EQ(event.processSigningIdentifier, SystemStandIn::blockedIdentifier);
    EXPECT_EQ(event.processTeamIdentifier, SystemStandIn::blockedTeam);
    EXPECT_EQ(event.processExecutablePath, standIn.blockedExecutable().string());
    EXPECT_EQ(event.destinationHost, "example.com");
    EXPECT_EQ(event.destinationPort, "443");
    EXPECT_EQ(event.blockedConnectionCount, 1);
    EXPECT_EQ(store->activityQueries().blockedAttemptCount(blocked), 1);

    const auto file = activityLog->fileLocation(ActivityLog::activityFileName);
    ASSERT_TRUE(file);
    EXPECT_EQ(file->parent_path().parent_path().parent_path().parent_path(), container);
    EXPECT_EQ(RecordJson::decodeActivityEvents(contents(*file)),
              std::vector<NetworkActivityEvent>{event});

    store->removeApplication(blocked.id);
    ASSERT_TRUE(eventuallyOnEventLoop([&] { return standIn.verdict() == "allow"; }));
    EXPECT_TRUE(store->isProtectionRequested());
    EXPECT_EQ(store->filterStatus(), FilterStatus::enabled());
}

} // namespace
} // namespace zorvane
