// The one executable of the application. The agent argument, anywhere among the arguments,
// makes it the background status agent; without it, it is the windowed application.
#include "app/agent/ApplicationLog.h"
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/agent/StateChange.h"
#include "app/agent/TerminationSignals.h"
#include "app/agent/WindowSnapshot.h"
#include "app/agent/ZorvaneApplicationDelegate.h"
#include "app/store/AppBlockStore.h"
#include "app/update/UpdateController.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/DesktopApplicationActivation.h"
#include "platform/linux/InstanceLock.h"
#include "zorvane/BuildInfo.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQuickStyle>
#include <QTimer>
#include <QWindow>
#include <QtQml/qqmlextensionplugin.h>
#include <cstring>

Q_IMPORT_QML_PLUGIN(Zorvane_AppPlugin)
Q_IMPORT_QML_PLUGIN(Zorvane_UiPlugin)

using namespace zorvane;

namespace {

const QUrl mainSceneUrl(QStringLiteral("qrc:/Zorvane/App/Main.qml"));
const QUrl mainWindowUrl(QStringLiteral("qrc:/Zorvane/App/MainWindow.qml"));

// Decided before the application object exists, from every argument as the system passed it.
bool isAgentMode(int argc, char** argv) {
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], build_info::agentArgument) == 0) {
            return true;
        }
    }
    return false;
}

void describeApplication() {
    QCoreApplication::setApplicationName(QStringLiteral("Zorvane"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(build_info::shortVersion));
    QGuiApplication::setDesktopFileName(QString::fromLatin1(build_info::bundleIdentifier));
}

int visibleWindowCount() {
    int count = 0;
    for (const QWindow* window : QGuiApplication::topLevelWindows()) {
        count += window->isVisible() ? 1 : 0;
    }
    return count;
}

// Whoever holds the lock is the one process of its mode; without a home directory for it, no
// one is stopped.
InstanceLock claimInstance(const std::optional<std::filesystem::path>& lockFile) {
    return lockFile ? InstanceLock::claim(*lockFile) : InstanceLock::unclaimed();
}

// One round trip to the bus daemon: the signal sent before it has left this process when it
// returns, so that exiting right after loses nothing.
void settleWithBus() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected() && bus.interface()) {
        bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus"));
    }
}

int runAgent(int& argc, char** argv) {
    QApplication application(argc, argv);
    describeApplication();
    // Before the lock names this process: whoever reads it there may ask it to end.
    TerminationSignals quitOnSignal;
    // One status item per user: a second agent (the login's next to the one registration
    // started) leaves the running one alone.
    const auto claim = claimInstance(InstanceLock::statusAgentFile());
    if (claim.isHeldElsewhere()) {
        qCInfo(applicationLog) << "A status agent runs already; this one ends";
        return 0;
    }
    // An accessory: no window, and so no taskbar entry. Closing a menu must not end it.
    QApplication::setQuitOnLastWindowClosed(false);

    const auto controller = BackgroundStatusAgentController::makeStandard();
    controller->start();

    QTimer::singleShot(0, [] {
        qCInfo(applicationLog) << "Running as the status agent;" << visibleWindowCount()
                               << "visible windows";
    });
    return QApplication::exec();
}

// A main window built from the same component as the scene's, sharing its settings window.
std::unique_ptr<QWindow> buildMainWindow(QQmlEngine& engine, QObject* scenes) {
    QQmlComponent component(&engine, mainWindowUrl);
    QVariantMap initial{{QStringLiteral("visible"), false}};
    if (scenes) {
        initial.insert(QStringLiteral("settingsWindow"), scenes->property("settingsWindow"));
    }
    std::unique_ptr<QObject> object(component.createWithInitialProperties(initial));
    auto* window = qobject_cast<QWindow*>(object.get());
    if (!window) {
        qCWarning(applicationLog) << "The main window could not be built:"
                                  << component.errorString();
        return nullptr;
    }
    object.release();
    return std::unique_ptr<QWindow>(window);
}

int runWindows(int& argc, char** argv) {
    // Widgets, not only Gui: the status item of the system tray needs them.
    QApplication application(argc, argv);
    describeApplication();
    TerminationSignals quitOnSignal;

    // One window process per user: a second one could not have the stored port, would take
    // another and save it, and the filter's reports would go to whichever started last. The
    // running one is asked to show its main window instead. A request that reaches it before
    // it observes them is lost, but then it is starting and shows its window anyway.
    const auto claim = claimInstance(InstanceLock::windowProcessFile());
    if (claim.isHeldElsewhere()) {
        DBusStateNotifications notifications;
        StateChange::requestOpenMainWindow(notifications);
        settleWithBus();
        qCInfo(applicationLog) << "Zorvane runs already; asked it to show its main window";
        return 0;
    }

    // Basic and Fusion draw every control also without a GPU (offscreen, remote sessions).
    if (qEnvironmentVariableIsEmpty("QT_QUICK_CONTROLS_STYLE")) {
        QQuickStyle::setStyle(QStringLiteral("Fusion"));
    }

    // The process's one store: every window shows this instance.
    const std::unique_ptr<AppBlockStore> store = AppBlockStore::makeStandard();
    // Without a screen (the offscreen demo, tests), what the main window shows goes to files.
    const auto snapshot = WindowSnapshot::fromEnvironment(*store);

    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/"));
    engine.rootContext()->setContextProperty(QStringLiteral("appStore"), store.get());
    engine.rootContext()->setContextProperty(QStringLiteral("updateController"),
                                             store->updateController());
    engine.load(mainSceneUrl);
    if (engine.rootObjects().isEmpty()) {
        qCCritical(applicationLog) << "The main scene could not be loaded";
        return 1;
    }
    QPointer<QObject> scenes = engine.rootObjects().constFirst();

    ZorvaneApplicationDelegate delegate(ZorvaneApplicationDelegate::Options{
        std::make_shared<DBusStateNotifications>(),
        [&engine, scenes] { return buildMainWindow(engine, scenes); },
    });
    // The desktop activating the running application is what reopening it is elsewhere.
    DesktopApplicationActivation activation(
        QString::fromLatin1(build_info::bundleIdentifier), [&delegate] {
            qCInfo(applicationLog) << "Activated by the desktop";
            delegate.applicationShouldHandleReopen(false);
        });
    qCInfo(applicationLog) << "Running with windows";
    delegate.applicationDidFinishLaunching();
    return QApplication::exec();
}

} // namespace

int main(int argc, char** argv) {
    if (isAgentMode(argc, argv)) {
        return runAgent(argc, argv);
    }
    return runWindows(argc, argv);
}
