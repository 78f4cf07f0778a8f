#include "app/agent/ZorvaneApplicationDelegate.h"

#include "app/agent/ApplicationLog.h"
#include "app/agent/DarwinStateObserver.h"
#include "app/agent/StateNotificationNames.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTimer>

namespace zorvane {
namespace {

// Popups, tool windows, tooltips and the like never act as the main window.
bool canBecomeMain(const QWindow& window) {
    return window.type() == Qt::Window;
}

} // namespace

ZorvaneApplicationDelegate::ZorvaneApplicationDelegate(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)) {
    if (const QCoreApplication* application = QCoreApplication::instance()) {
        connect(application, &QCoreApplication::aboutToQuit, this,
                &ZorvaneApplicationDelegate::applicationWillTerminate);
    }
}

ZorvaneApplicationDelegate::~ZorvaneApplicationDelegate() = default;

void ZorvaneApplicationDelegate::applicationDidFinishLaunching() {
    QGuiApplication::setQuitOnLastWindowClosed(false);
    QPointer<ZorvaneApplicationDelegate> self(this);
    openWindowObserver_ = std::make_unique<DarwinStateObserver>(
        *options_.notifications, StateNotificationNames::openMainWindow, [self] {
            if (self) {
                self->handleOpenMainWindowRequest();
            }
        });
    // The timer belongs to this object: it never fires once the delegate is gone.
    QTimer::singleShot(options_.showDelay, this, &ZorvaneApplicationDelegate::showMainWindow);
}

void ZorvaneApplicationDelegate::applicationWillTerminate() {
    openWindowObserver_.reset();
}

bool ZorvaneApplicationDelegate::applicationShouldHandleReopen(bool /*hasVisibleWindows*/) {
    qCInfo(applicationLog) << "Reopen requested";
    showMainWindow();
    return false;
}

void ZorvaneApplicationDelegate::handleOpenMainWindowRequest() {
    qCInfo(applicationLog) << "Open-window request received";
    showMainWindow();
}

void ZorvaneApplicationDelegate::showMainWindow() {
    const QString title = QString::fromLatin1(mainWindowTitle);
    for (QWindow* window : QGuiApplication::topLevelWindows()) {
        if (window->title() == title && canBecomeMain(*window)) {
            bringForward(*window);
            return;
        }
    }
    if (!fallbackWindow_) {
        fallbackWindow_ = options_.buildFallbackWindow ? options_.buildFallbackWindow() : nullptr;
        if (!fallbackWindow_) {
            qCWarning(applicationLog) << "No main window could be built";
            return;
        }
        // Whatever the builder made, this is the main window now and is found as such.
        fallbackWindow_->setTitle(title);
        if (const QScreen* screen = fallbackWindow_->screen()) {
            QRect frame(QPoint(0, 0), fallbackWindow_->size());
            frame.moveCenter(screen->availableGeometry().center());
            fallbackWindow_->setPosition(frame.topLeft());
        }
        qCInfo(applicationLog) << "Built the fallback main window";
    }
    bringForward(*fallbackWindow_);
}

void ZorvaneApplicationDelegate::bringForward(QWindow& window) {
    window.setWindowStates(window.windowStates() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.requestActivate();
    qCInfo(applicationLog).noquote()
        << QStringLiteral("Brought the main window \"%1\" forward (%2x%3)")
               .arg(window.title())
               .arg(window.width())
               .arg(window.height());
}

} // namespace zorvane
