#include "app/agent/ZorvaneApplicationDelegate.h"

#include "app/agent/StateNotificationNames.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <map>

namespace zorvane {
namespace {

// Observers are called when the test fires a name, as the system's centre would call them.
class FakeNotifications final : public StateNotifications {
public:
    class FakeRegistration final : public Registration {
    public:
        FakeRegistration(FakeNotifications& owner, std::string name)
            : owner_(owner), name_(std::move(name)) {}
        ~FakeRegistration() override { owner_.observers.erase(name_); }

    private:
        FakeNotifications& owner_;
        std::string name_;
    };

    void post(const std::string&) override {}
    std::unique_ptr<Registration> observe(const std::string& name,
                                          std::function<void()> handler) override {
        observers[name] = std::move(handler);
        return std::make_unique<FakeRegistration>(*this, name);
    }
    void fire(const std::string& name) {
        if (auto it = observers.find(name); it != observers.end()) {
            it->second();
        }
        // Deliveries reach the handler from the event loop.
        QCoreApplication::processEvents();
    }

    std::map<std::string, std::function<void()>> observers;
};

class ApplicationDelegate : public ::testing::Test {
protected:
    std::unique_ptr<ZorvaneApplicationDelegate>
    makeDelegate(std::chrono::milliseconds delay = std::chrono::milliseconds(500)) {
        return std::make_unique<ZorvaneApplicationDelegate>(
            ZorvaneApplicationDelegate::Options{notifications,
                                                [this] {
                                                    ++builds;
                                                    auto window = std::make_unique<QWindow>();
                                                    window->resize(760, 650);
                                                    return window;
                                                },
                                                delay});
    }

    std::shared_ptr<FakeNotifications> notifications = std::make_shared<FakeNotifications>();
    int builds = 0;
};

TEST_F(ApplicationDelegate, FallbackWindowIsBuiltOnceAndKept) {
    auto delegate = makeDelegate();
    ASSERT_EQ(delegate->fallbackWindow(), nullptr);

    delegate->showMainWindow();
    QWindow* fallback = delegate->fallbackWindow();
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(builds, 1);
    EXPECT_TRUE(fallback->isVisible());
    EXPECT_EQ(fallback->title(), "Zorvane");
    const QRect screen = fallback->screen()->availableGeometry();
    EXPECT_LE(std::abs(fallback->geometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(fallback->geometry().center().y() - screen.center().y()), 1);

    // Closing only hides it; the next request shows the same window again.
    fallback->close();
    ASSERT_FALSE(fallback->isVisible());
    delegate->showMainWindow();
    delegate->showMainWindow();
    EXPECT_EQ(delegate->fallbackWindow(), fallback);
    EXPECT_TRUE(fallback->isVisible());
    EXPECT_EQ(builds, 1);
}

TEST_F(ApplicationDelegate, ExistingMainWindowIsPreferredOverBuildingOne) {
    QWindow settings;
    settings.setTitle("Settings");
    QWindow popup;
    popup.setFlags(Qt::Popup);
    popup.setTitle("Zorvane");
    auto main = std::make_unique<QWindow>();
    main->setTitle("Zorvane");
    main->showMinimized();
    main->hide();

    auto delegate = makeDelegate();
    delegate->showMainWindow();
    EXPECT_EQ(builds, 0);
    EXPECT_TRUE(main->isVisible());
    EXPECT_FALSE(main->windowStates() & Qt::WindowMinimized) << "brought forward means restored";
    EXPECT_FALSE(popup.isVisible());
    EXPECT_FALSE(settings.isVisible());

    // Once the main window is gone, the delegate's own takes its place.
    main.reset();
    delegate->showMainWindow();
    EXPECT_EQ(builds, 1);
    ASSERT_NE(delegate->fallbackWindow(), nullptr);
    EXPECT_TRUE(delegate->fallbackWindow()->isVisible());
}

TEST_F(ApplicationDelegate, MainWindowComesForwardAfterLaunchAndOnRequest) {
    auto delegate = makeDelegate(std::chrono::milliseconds(20));
    delegate->applicationDidFinishLaunching();
    EXPECT_EQ(builds, 0) << "not before the delay";
    QTRY_COMPARE_WITH_TIMEOUT(builds, 1, 5000);
    QWindow* window = delegate->fallbackWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());

    window->hide();
    notifications->fire(StateNotificationNames::openMainWindow);
    EXPECT_TRUE(window->isVisible());

    window->hide();
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(window->isVisible());

    // After termination, requests no longer reach it.
    delegate->applicationWillTerminate();
    window->hide();
    notifications->fire(StateNotificationNames::openMainWindow);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(builds, 1);
}

// A quit asked of the application, seen on its way and kept from ending the loop.
class QuitWatch : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Quit) {
            ++quits;
            return true;
        }
        return false;
    }
    int quits = 0;
};

TEST_F(ApplicationDelegate, ClosingTheMainWindowHidesItAndTheProcessRunsOn) {
    QuitWatch watch;
    qApp->installEventFilter(&watch);
    auto delegate = makeDelegate(std::chrono::milliseconds(0));
    delegate->applicationDidFinishLaunching();
    bool closed = false;
    // Runs after the delayed show, which was queued first.
    QTimer::singleShot(0, [&] {
        QWindow* window = delegate->fallbackWindow();
        if (window && window->isVisible()) {
            closed = window->close();
        }
        // Whatever closing asked of the application is queued ahead of this.
        QTimer::singleShot(0, [] { QCoreApplication::exit(7); });
    });
    EXPECT_EQ(QGuiApplication::exec(), 7);
    qApp->removeEventFilter(&watch);
    QGuiApplication::setQuitOnLastWindowClosed(true);

    ASSERT_TRUE(closed);
    EXPECT_EQ(watch.quits, 0) << "closing the last window quit the application";
    // The window can come back (the loop's end counted as termination: no more requests).
    EXPECT_FALSE(delegate->applicationShouldHandleReopen(false));
    EXPECT_TRUE(delegate->fallbackWindow()->isVisible());
    EXPECT_EQ(builds, 1);
}

TEST_F(ApplicationDelegate, NothingHappensOnceTheDelegateIsGone) {
    auto delegate = makeDelegate(std::chrono::milliseconds(0));
    delegate->applicationDidFinishLaunching();
    delegate.reset();
    notifications->fire(StateNotificationNames::openMainWindow);
    QCoreApplication::processEvents();
    EXPECT_EQ(builds, 0);
    EXPECT_TRUE(notifications->observers.empty());
}

} // namespace
} // namespace zorvane
