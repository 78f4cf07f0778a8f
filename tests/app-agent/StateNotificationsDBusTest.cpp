// Two real processes on a private session bus (the test runs inside dbus-run-session): this one
// and the helper that posts or observes.
#include "StateNotificationTestNames.h"
#include "app/agent/DarwinStateObserver.h"
#include "app/agent/StateChange.h"
#include "app/agent/StateNotificationNames.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/PlistPreferences.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

constexpr int waitMs = 15'000;

QString helperPath() {
    return QStringLiteral(ZORVANE_STATE_HELPER);
}

void settleWithBus() {
    QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.freedesktop.DBus"));
}

bool runHelper(const QStringList& arguments, const QProcessEnvironment& environment,
               QByteArray* output = nullptr) {
    QProcess helper;
    helper.setProcessEnvironment(environment);
    helper.start(helperPath(), arguments);
    const bool finished = helper.waitForFinished(waitMs);
    if (output) {
        *output = helper.readAllStandardOutput();
    }
    if (!finished) {
        helper.kill();
        helper.waitForFinished();
    }
    return finished && helper.exitStatus() == QProcess::NormalExit && helper.exitCode() == 0;
}

TEST(StateNotificationsAcrossProcesses, EachSourcePostsOnlyItsOwnNameAfterSavingPreferences) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString file = dir.filePath(QStringLiteral("prefs.plist"));
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("ZORVANE_PREFERENCES"), file);

    DBusStateNotifications notifications;
    PlistPreferences preferences(file.toStdString());
    std::vector<std::string> received;
    std::optional<PlistValue> markerSeen;
    auto record = [&](const char* name) {
        return [&, name] {
            received.push_back(name);
            if (name != std::string(testing_names::done)) {
                preferences.synchronize();
                markerSeen = preferences.value("testMarker");
            }
        };
    };
    DarwinStateObserver agent(notifications, StateNotificationNames::agentStateDidChange,
                              record(StateNotificationNames::agentStateDidChange));
    DarwinStateObserver main(notifications, StateNotificationNames::mainStateDidChange,
                             record(StateNotificationNames::mainStateDidChange));
    DarwinStateObserver done(notifications, testing_names::done, record(testing_names::done));
    settleWithBus();

    const std::pair<const char*, const char*> cases[] = {
        {"agent", StateNotificationNames::agentStateDidChange},
        {"main", StateNotificationNames::mainStateDidChange},
        {"Agent", StateNotificationNames::mainStateDidChange},
        {"status", StateNotificationNames::mainStateDidChange},
    };
    for (const auto& [source, expected] : cases) {
        SCOPED_TRACE(source);
        received.clear();
        markerSeen.reset();
        ASSERT_TRUE(
            runHelper({QStringLiteral("post-state"), QString::fromLatin1(source)}, environment));
        ASSERT_TRUE(QTest::qWaitFor([&] { return received.size() >= 2; }, waitMs));
        EXPECT_EQ(received, (std::vector<std::string>{expected, testing_names::done}));
        EXPECT_EQ(markerSeen, PlistValue(source));
    }
}

TEST(StateNotificationsAcrossProcesses, TheOpenWindowRequestReachesAnObservingProcess) {
    ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    QProcess observer;
    observer.start(helperPath(), {QStringLiteral("observe"),
                                  QString::fromLatin1(StateNotificationNames::openMainWindow),
                                  QString::fromLatin1(StateNotificationNames::mainStateDidChange)});
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            observer.waitForReadyRead(10);
            return observer.peek(4096).contains("ready\n");
        },
        waitMs));

    DBusStateNotifications notifications;
    StateChange::requestOpenMainWindow(notifications);
    notifications.post(testing_names::done);
    ASSERT_TRUE(observer.waitForFinished(waitMs));
    EXPECT_EQ(observer.exitCode(), 0);
    EXPECT_EQ(observer.readAllStandardOutput(), QByteArray("ready\nreceived ") +
                                                    StateNotificationNames::openMainWindow +
                                                    "\nreceived " + testing_names::done + "\n");
}

TEST(StateNotificationsAcrossProcesses, WithoutASessionBusPostingAndObservingDoNothing) {
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=/nonexistent/zorvane-bus"));
    QTemporaryDir dir;
    environment.insert(QStringLiteral("ZORVANE_PREFERENCES"), dir.filePath("prefs.plist"));
    EXPECT_TRUE(runHelper({QStringLiteral("post-state"), QStringLiteral("agent")}, environment));
    EXPECT_TRUE(runHelper({QStringLiteral("open-main-window")}, environment));
    QByteArray output;
    EXPECT_TRUE(runHelper({QStringLiteral("observe-and-exit"),
                           QString::fromLatin1(StateNotificationNames::mainStateDidChange)},
                          environment, &output));
    EXPECT_EQ(output, "ready\n");
    // The preferences were still written.
    EXPECT_EQ(PlistPreferences(dir.filePath("prefs.plist").toStdString()).value("testMarker"),
              PlistValue("agent"));
}

TEST(DBusStateNotifications, NamesMapOntoSignalsOrAreIgnored) {
    const auto address = DBusStateNotifications::addressFor("dev.quillmoor.Zorvane.openMainWindow");
    EXPECT_EQ(address.path, "/dev/quillmoor/Zorvane");
    EXPECT_EQ(address.interface, "dev.quillmoor.Zorvane");
    EXPECT_EQ(address.member, "openMainWindow");
    for (const char* bad : {"", "single", "two.parts", "dev.quillmoor.Zorvane.9lives",
                            "dev..Zorvane.x", "dev.quill-moor.Zorvane.x"}) {
        EXPECT_TRUE(DBusStateNotifications::addressFor(bad).path.isEmpty()) << bad;
    }
    // Such names are dropped without reaching the bus, and observing them gives a registration
    // that does nothing.
    DBusStateNotifications notifications;
    notifications.post("two.parts");
    auto registration = notifications.observe("two.parts", [] {});
    EXPECT_NE(registration, nullptr);
}

} // namespace
} // namespace zorvane
