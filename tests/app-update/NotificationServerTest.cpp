// Runs inside a private session bus (dbus-run-session), with a fake notification server.
#include "FakeNotificationServer.h"
#include "MemoryPreferences.h"
#include "app/update/UpdateNotificationController.h"
#include "platform/linux/FreedesktopNotificationCenter.h"

#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::FakeNotificationServer;
using testing::MemoryPreferences;

constexpr int waitMs = 10'000;

std::optional<NotificationAuthorizationStatus> statusOf(UserNotificationCenter& center) {
    std::optional<NotificationAuthorizationStatus> status;
    center.authorizationStatus([&](NotificationAuthorizationStatus value) { status = value; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return status.has_value(); }, waitMs));
    return status;
}

TEST(FreedesktopNotificationCenter, WithoutAServerOrABusNotificationsCountAsDenied) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    FreedesktopNotificationCenter center;
    EXPECT_EQ(statusOf(center), NotificationAuthorizationStatus::denied);

    FreedesktopNotificationCenter noBus(
        QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/zorvane-bus"),
                                      QStringLiteral("no-bus")),
        QStringLiteral("Zorvane"));
    EXPECT_EQ(statusOf(noBus), NotificationAuthorizationStatus::denied);
    std::optional<bool> added;
    noBus.add(NotificationRequest{"id", "title", "body"}, [&](bool ok) { added = ok; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return added.has_value(); }, waitMs));
    EXPECT_EQ(added, false);
}

TEST(FreedesktopNotificationCenter,
     UpdateNotificationReachesTheServerAndItsActionOpensTheDownload) {
    FakeNotificationServer server({QStringLiteral("actions"), QStringLiteral("body-markup")});
    ASSERT_TRUE(server.start());

    auto center = std::make_shared<FreedesktopNotificationCenter>();
    auto preferences = std::make_shared<MemoryPreferences>();
    QList<QUrl> opened;
    UpdateNotificationController::Options options;
    options.center = center;
    options.preferences = preferences;
    options.triggerDelaySeconds = 0; // the real five seconds change nothing here
    options.openUrl = [&](const QUrl& url) { opened.append(url); };
    UpdateNotificationController controller(std::move(options));
    controller.configure();

    QSignalSpy finished(&controller, &UpdateNotificationController::notifyFinished);
    controller.notifyUpdate(
        AppUpdate{"1.4", 27, "https://zorvane.app/downloads/Zorvane.dmg", "Fixes <b> & more"});
    ASSERT_TRUE(finished.wait(waitMs));
    EXPECT_TRUE(finished.first().first().toBool());
    EXPECT_EQ(preferences->value(UpdateNotificationController::lastUpdateVersionKey),
              PlistValue("1.4-27"));
    ASSERT_EQ(server.shown.size(), 1);
    const auto& shown = server.shown.first();
    EXPECT_EQ(shown.application, "Zorvane");
    EXPECT_EQ(shown.summary, "Zorvane 1.4 is available");
    EXPECT_EQ(shown.body, "Fixes &lt;b&gt; &amp; more"); // the server reads markup
    EXPECT_EQ(shown.actions,
              (QStringList{"default", "Open", "DOWNLOAD_UPDATE", "Download Update"}));

    // A new build replaces the notification on screen.
    finished.clear();
    controller.notifyUpdate(AppUpdate{"1.4", 28, "https://zorvane.app/downloads/Zorvane.dmg", {}});
    ASSERT_TRUE(finished.wait(waitMs));
    ASSERT_EQ(server.shown.size(), 2);
    const uint id = 101;
    EXPECT_EQ(server.shown.last().replaces, id);

    emit server.ActionInvoked(id, QStringLiteral("DOWNLOAD_UPDATE"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, waitMs));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://zorvane.app/downloads/Zorvane.dmg")});

    // Withdrawing closes it on the server.
    controller.notifyUpdate(std::nullopt);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.closed.isEmpty(); }, waitMs));
    EXPECT_EQ(server.closed, QList<uint>{id});
    // Responses to a withdrawn notification are no longer ours to act on.
    emit server.ActionInvoked(id, QStringLiteral("DOWNLOAD_UPDATE"));
    QTest::qWait(100);
    EXPECT_EQ(opened.size(), 1);
}

} // namespace
} // namespace zorvane
