// A second process for the state-notification tests.
//   observe NAME...        prints "ready", then "received NAME" per delivery; exits 0 after
//                          the done name arrives, 2 after 20 seconds without it
//   observe-and-exit NAME  registers, prints "ready" and exits 0
//   post-state SOURCE      sets "testMarker" to SOURCE in $ZORVANE_PREFERENCES without saving,
//                          posts the state change of SOURCE, then the done name
//   open-main-window       requests the main window, then posts the done name
#include "StateNotificationTestNames.h"
#include "app/agent/DarwinStateObserver.h"
#include "app/agent/StateChange.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/PlistPreferences.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QTimer>
#include <cstdio>
#include <list>

using namespace zorvane;

namespace {

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// One round trip to the bus daemon: everything sent before it (match rules, signals) has been
// processed by the bus when it returns.
void settleWithBus() {
    if (QDBusConnection::sessionBus().isConnected()) {
        QDBusConnection::sessionBus().interface()->isServiceRegistered(
            QStringLiteral("org.freedesktop.DBus"));
    }
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        return 64;
    }
    const QString mode = args.at(1);
    DBusStateNotifications notifications;

    if (mode == "observe" || mode == "observe-and-exit") {
        std::list<DarwinStateObserver> observers;
        QStringList names = args.mid(2);
        if (mode == "observe") {
            names << QString::fromLatin1(testing_names::done);
        }
        for (const QString& name : names) {
            const std::string text = name.toStdString();
            observers.emplace_back(notifications, text, [text] {
                say("received " + text);
                if (text == testing_names::done) {
                    QCoreApplication::exit(0);
                }
            });
        }
        settleWithBus();
        say("ready");
        if (mode == "observe-and-exit") {
            return 0;
        }
        QTimer::singleShot(20'000, [] { QCoreApplication::exit(2); });
        return app.exec();
    }
    if (mode == "post-state" && args.size() == 3) {
        PlistPreferences preferences(PlistPreferences::defaultFile());
        preferences.setValue("testMarker", args.at(2).toStdString());
        postStateChange(preferences, notifications, args.at(2).toStdString());
        notifications.post(testing_names::done);
        settleWithBus();
        return 0;
    }
    if (mode == "open-main-window") {
        StateChange::requestOpenMainWindow(notifications);
        notifications.post(testing_names::done);
        settleWithBus();
        return 0;
    }
    return 64;
}
