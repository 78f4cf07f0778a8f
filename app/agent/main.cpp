// The one executable of the application. The agent argument, anywhere among the arguments,
// makes it the background status agent; without it, it is the windowed application.
#include "app/agent/ApplicationLog.h"
#include "app/agent/BackgroundStatusAgentController.h"
#include "app/agent/TerminationSignals.h"
#include "app/agent/WindowSnapshot.h"
#include "app/agent/ZorvaneApplicationDelegate.h"
#include "app/store/AppBlockStore.h"
#include "app/update/UpdateController.h"
#include "platform/linux/DBusStateNotifications.h"
#include "zorvane/BuildInfo.h"

#include <QApplication>
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

int runAgent(int& argc, char** argv) {
    QApplication application(argc, argv);
    describeApplication();
    // An accessory: no window, and so no taskbar entry. Closing a menu must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    TerminationSignals quitOnSignal;

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
