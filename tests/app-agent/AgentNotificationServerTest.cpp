// The status agent's update notification on a private session bus, shown by a fake notification
// server that plays the user's click.
#include "AgentFakes.h"
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/filter-control/FilterController.h"
#include "app/update/UpdateController.h"
#include "app/update/UpdateNotificationController.h"
#include "platform/linux/FreedesktopNotificationCenter.h"
#include "tests/app-filter-control/FilterControlFakes.h"
#include "tests/app-store/StoreFakes.h"
#include "tests/app-store/StoreFixtures.h"
#include "tests/app-update/FakeNotificationServer.h"
#include "tests/app-update/LocalHttpServer.h"
#include "tests/qt-support/MemoryPreferences.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QTest>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

constexpr int waitMs = 10'000;

class AgentNotifications : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
        ASSERT_TRUE(server.start());
        network.setProxy(QNetworkProxy::NoProxy);
    }

    // An agent whose maintenance finds `manifest` and opens addresses into `opened`.
    void startAgent(const QByteArray& manifest) {
        http.setResponse("/updates/latest.json", testing::LocalHttpServer::Response{200, manifest});
        BackgroundStatusAgentController::Dependencies dependencies;
        dependencies.preferences = preferences;
        dependencies.notifications = std::make_shared<testing::FakeNotifications>();
        dependencies.workspace = std::make_shared<testing::FakeWorkspace>();
        dependencies.mainBundle = bundle;
        dependencies.filterController = new FilterController(
            FilterController::Dependencies{std::make_shared<testing::FakeFilterManager>(),
                                           std::make_shared<testing::FakeActivator>(),
                                           bundle,
                                           {},
                                           clock,
                                           std::make_shared<testing::ManualScheduler>()});
        dependencies.statusItem = std::make_unique<testing::FakeStatusItem>(
            std::make_shared<testing::FakeStatusItem::State>());
        dependencies.clock = clock;
        dependencies.makeUpdateController = [this] {
            UpdateController::Options options{RunningVersion{"1.0", "1"}, preferences, clock};
            options.manifestUrl = http.url(QStringLiteral("/updates/latest.json"));
            options.network = &network;
            return std::make_unique<UpdateController>(std::move(options));
        };
        UpdateNotificationController::Options notifications{
            std::make_shared<FreedesktopNotificationCenter>(), preferences};
        notifications.triggerDelaySeconds = 0;
        notifications.openUrl = [this](const QUrl& url) { opened.append(url); };
        dependencies.updateNotifications = new UpdateNotificationController(notifications);
        agent = std::make_unique<BackgroundStatusAgentController>(std::move(dependencies));
        agent->start();
    }

    testing::FakeNotificationServer server{{QStringLiteral("actions")}};
    testing::LocalHttpServer http;
    QNetworkAccessManager network;
    std::shared_ptr<testing::MemoryPreferences> preferences =
        std::make_shared<testing::MemoryPreferences>();
    std::shared_ptr<testing::FakeMainBundle> bundle = std::make_shared<testing::FakeMainBundle>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(fixtures::start);
    QList<QUrl> opened;
    std::unique_ptr<BackgroundStatusAgentController> agent;
};

TEST_F(AgentNotifications, DownloadUpdateOnTheAgentsNotificationOpensTheDownload) {
    startAgent(R"({"version":"9.0","build":3,"downloadURL":"https://zorvane.app/get/9.0"})");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.shown.isEmpty(); }, waitMs));
    const auto& shown = server.shown.first();
    EXPECT_EQ(shown.summary, "Zorvane 9.0 is available");
    ASSERT_TRUE(shown.actions.contains("DOWNLOAD_UPDATE")) << shown.actions.join(",").toStdString();
    EXPECT_EQ(shown.actions.at(shown.actions.indexOf("DOWNLOAD_UPDATE") + 1), "Download Update");

    const uint id = 101;
    emit server.ActionInvoked(id, QStringLiteral("DOWNLOAD_UPDATE"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, waitMs));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://zorvane.app/get/9.0")});
}

} // namespace
} // namespace zorvane
