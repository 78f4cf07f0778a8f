#pragma once

#include "platform/StateNotifications.h"

#include <QObject>
#include <QPointer>
#include <QWindow>
#include <chrono>
#include <functional>
#include <memory>

namespace zorvane {

class DarwinStateObserver;

// The window-mode application's delegate: it brings the main window forward shortly after
// launch, on the status agent's request and when the application is reopened, and builds a
// window of its own when the main window no longer exists. Main thread only.
class ZorvaneApplicationDelegate : public QObject {
    Q_OBJECT

public:
    // The title that marks every window showing the main content, and only those.
    static constexpr const char* mainWindowTitle = "Zorvane";

    struct Options {
        std::shared_ptr<StateNotifications> notifications; // required
        // Builds a hidden main window; the delegate owns and keeps what it returns. Called
        // only while none has been built.
        std::function<std::unique_ptr<QWindow>()> buildFallbackWindow; // required
        std::chrono::milliseconds showDelay{500};
    };

    explicit ZorvaneApplicationDelegate(Options options, QObject* parent = nullptr);
    ~ZorvaneApplicationDelegate() override;

    // Starts observing open-window requests and brings the main window forward after the
    // show delay. From then on closing the last window only hides it: the process keeps
    // receiving the filter's reports until the user quits it, and the window can be brought
    // back.
    void applicationDidFinishLaunching();
    // Stops observing; also runs when the application is about to quit.
    void applicationWillTerminate();
    // The running application is opened again: on Linux the desktop activates it over the
    // session bus (a second start is a second process, which reaches this one through the
    // open-window request instead). False: the delegate handled it.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void handleOpenMainWindowRequest();

    // The first window titled mainWindowTitle that can be a main window, else the fallback
    // window, built on first need and kept; shown, raised and activated. Calling it again only
    // brings the same window forward again.
    Q_INVOKABLE void showMainWindow();

    QWindow* fallbackWindow() const { return fallbackWindow_.get(); }

private:
    void bringForward(QWindow& window);

    Options options_;
    std::unique_ptr<QWindow> fallbackWindow_;
    std::unique_ptr<DarwinStateObserver> openWindowObserver_;
};

} // namespace zorvane
