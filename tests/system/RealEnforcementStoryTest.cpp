// Refused real connections from end to end, with a filter host that enforces with netfilter, in
// a network namespace of the test's own, as root: the list as a person left it names a real
// program and the window process hands it to the filter; and a desktop entry dropped on the
// store is blocked, allowed for a while, blocked again and removed.
#include "WholeSystemFixture.h"
#include "app/store/AppBlockStore.h"
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/TemporaryAccess.h"
#include "platform/linux/DBusStateNotifications.h"
#include "platform/linux/FileSecretStore.h"
#include "platform/linux/LinuxFilterManager.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxSystemExtensionActivator.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/linux/PlistPreferences.h"
#include "tests/qt-support/EventLoopPolling.h"
#include "tests/system-support/NamespaceServers.h"
#include "tests/system-support/NetworkNamespace.h"

#include <QColor>
#include <QImage>

namespace zorvane::testing {
namespace {

using namespace std::chrono_literals;

TEST_F(WholeSystem, ARealProgramOnTheListIsRefusedAndItsAttemptReachesTheWindow) {
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    const auto bundle = directory / "Probe.app";
    const auto program = bundle / "Contents" / "MacOS" / "probe";
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, program);
    // What the list holds for a Linux program: its path is its signing identifier.
    BlockedApplication probe;
    probe.id = Uuid::random();
    probe.name = "Probe";
    probe.bundleIdentifier = "com.example.probe";
    probe.signingIdentifier = std::filesystem::canonical(program).string();
    probe.auxiliaryCodeIdentities = std::vector<CodeIdentity>{};
    probe.inspectionVersion = BlockedApplication::currentInspectionVersion;
    probe.path = bundle.string();
    sandbox.seedBlockList({probe}, true);

    // The body runs in a forked child of this Qt process: it keeps to plain files, sockets and
    // child processes, never to Qt objects, whose threads the fork left behind.
    const auto failure = NetworkNamespace::run(
        [&] {
            constexpr std::uint16_t port = 7100;
            NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());
            // Real enforcement is turned on by whoever starts the filter as root; the window
            // process finds it running and only configures it.
            ChildProcess keeper(ZORVANE_FILTER_EXECUTABLE, {"--keep-alive", "--netfilter"},
                                environment(), sandbox.logDirectory() / "keeper");
            ASSERT_TRUE(eventually([&] { return sandbox.hostRunning(); }))
                << keeper.standardError();
            startApplication();

            const auto connect = [&] {
                ChildProcess run(program,
                                 {"tcp", NetworkNamespace::ipv4Address, std::to_string(port)},
                                 environment(), sandbox.logDirectory() / "probe");
                return run.waitForExit(10s).value_or(-1);
            };
            // Protection on and the extension approved: the window process does that.
            ASSERT_TRUE(eventually([&] { return connect() == 1; })) << application->standardError();

            ASSERT_TRUE(eventually([&] { return sandbox.storedBlockedAttempts() >= 1; }))
                << application->standardError();
            const auto events = sandbox.storedActivity();
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events[0].processSigningIdentifier, probe.signingIdentifier);
            EXPECT_EQ(events[0].destinationDescription(),
                      std::string(NetworkNamespace::ipv4Address) + ":" + std::to_string(port));
            const auto blocked = sandbox.storedBlockedAttempts();
            const auto shows = [&](const std::string& text) {
                return windowTexts().find("\n" + text + "\n") != std::string::npos;
            };
            EXPECT_TRUE(eventually([&] {
                return shows("Recent activity\n1") &&
                       shows(std::to_string(blocked) +
                             (blocked == 1 ? " blocked attempt" : " blocked attempts"));
            })) << windowTexts();

            stopApplication();
            keeper.signal(SIGTERM);
            EXPECT_EQ(keeper.waitForExit(), 0) << keeper.standardError();
        },
        3min);
    EXPECT_EQ(failure, "");
}

// The window process's store on this machine's services, in this process so that the test can
// drop onto it and press its buttons; the desktop it reads entries in is the given one.
std::unique_ptr<AppBlockStore> makeStore(const SystemSandbox& sandbox,
                                         const DesktopEnvironment& desktop) {
    const auto preferences = std::make_shared<PlistPreferences>(sandbox.preferencesFile());
    const auto bundle = std::make_shared<LinuxMainBundle>(
        ZORVANE_APP_BUNDLE, std::filesystem::path(ZORVANE_APP_BUNDLE).parent_path());
    auto receiver = AppBlockStore::localEventReceiver(
        preferences, std::make_unique<FileSecretStore>(sandbox.root() / "secrets"));
    AppBlockStore::Dependencies dependencies;
    dependencies.preferences = preferences;
    dependencies.notifications = std::make_shared<DBusStateNotifications>();
    dependencies.workspace = std::make_shared<LinuxWorkspace>(&ApplicationIconRenderer::render);
    dependencies.filterController = new FilterController(FilterController::Dependencies{
        std::make_shared<LinuxFilterManager>(sandbox.systemDirectory()),
        std::make_shared<LinuxSystemExtensionActivator>(
            LinuxSystemExtensionActivator::Options{sandbox.systemDirectory(), bundle, true}),
        bundle, receiver.channel});
    dependencies.eventReceiver = std::move(receiver);
    dependencies.inspect = [inspector =
                                ApplicationInspector(&ApplicationIconRenderer::render, desktop)](
                               const std::filesystem::path& path, const Uuid& id) {
        return inspector.inspect(path, id);
    };
    dependencies.activityLog =
        std::make_shared<ActivityLog>(sandbox.containerDirectory(), Clock::system());
    dependencies.ownIdentifier = OwnIdentifier(bundle->identifier());
    return std::make_unique<AppBlockStore>(std::move(dependencies));
}

TEST_F(WholeSystem, ADroppedDesktopEntryIsBlockedAllowedForAWhileBlockedAgainAndRemoved) {
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    // A program in a directory of its own, installed with its entry and its icon in a theme.
    const auto program = directory / "opt" / "probe" / "zorvane-probe";
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, program);
    const auto share = directory / "share";
    const auto icon = share / "icons" / "hicolor" / "48x48" / "apps" / "zorvane-probe.png";
    std::filesystem::create_directories(icon.parent_path());
    QImage picture(48, 48, QImage::Format_ARGB32);
    picture.fill(QColor(20, 140, 90));
    ASSERT_TRUE(picture.save(QString::fromStdString(icon.string()), "PNG"));
    const auto entry = share / "applications" / "zorvane-probe.desktop";
    std::filesystem::create_directories(entry.parent_path());
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Connection Probe\n"
                         << "Icon=zorvane-probe\nExec=env PROBE_MODE=1 " << program.string()
                         << " %U\n";
    DesktopEnvironment desktop;
    desktop.dataDirectories = {share};
    desktop.iconThemes = {"hicolor"};

    const auto failure = NetworkNamespace::runOnThisThread([&] {
        constexpr std::uint16_t port = 7200;
        NamespaceServers servers(port);
        ASSERT_TRUE(servers.ready());
        ChildProcess keeper(ZORVANE_FILTER_EXECUTABLE, {"--keep-alive", "--netfilter"},
                            environment(), sandbox.logDirectory() / "keeper");
        ASSERT_TRUE(eventually([&] { return sandbox.hostRunning(); })) << keeper.standardError();
        const auto connect = [&] {
            ChildProcess run(program, {"tcp", NetworkNamespace::ipv4Address, std::to_string(port)},
                             environment(), sandbox.logDirectory() / "probe");
            return run.waitForExit(10s).value_or(-1);
        };
        ASSERT_EQ(connect(), 0) << "the probe cannot reach its server even unlisted";

        {
            // Made in the namespace, so that the event receiver listens where the host sends.
            const auto store = makeStore(sandbox, desktop);
            ASSERT_TRUE(eventuallyOnEventLoop([&] { return store->hasLoadedApplications(); }));
            store->setProtectionRequested(true);
            store->addApplication(entry);
            ASSERT_TRUE(eventuallyOnEventLoop([&] { return store->applicationCount() == 1; }))
                << store->alertMessageText().toStdString();
            const auto added = store->applications()[0];
            EXPECT_EQ(added.name, "Connection Probe");
            EXPECT_EQ(added.signingIdentifier, std::filesystem::canonical(program).string());
            // The row's icon is the theme's picture, drawn as every row icon is.
            EXPECT_EQ(added.iconData, ApplicationIconRenderer::render(icon));

            ASSERT_TRUE(eventuallyOnEventLoop([&] { return connect() == 1; }, 60s))
                << keeper.standardError();
            // The attempts reach the window's lists, under the entry.
            ASSERT_TRUE(eventuallyOnEventLoop([&] {
                return store->activityQueries().blockedAttemptCount(added) >= 1;
            })) << keeper.standardError();
            const auto attempts = store->activityQueries().recentAttempts();
            ASSERT_FALSE(attempts.empty());
            const auto owner = store->activityQueries().owningApplication(attempts[0]);
            ASSERT_TRUE(owner);
            EXPECT_EQ(owner->name, "Connection Probe");
            EXPECT_EQ(attempts[0].destinationDescription(),
                      std::string(NetworkNamespace::ipv4Address) + ":" + std::to_string(port));

            // Allow for 5 Minutes.
            store->allowTemporarily(added, TemporaryAccess::fiveMinutes);
            EXPECT_TRUE(eventuallyOnEventLoop([&] { return connect() == 0; }, 30s));
            // Block Again Now.
            store->revokeTemporaryAccess(added.id);
            EXPECT_TRUE(eventuallyOnEventLoop([&] { return connect() == 1; }, 30s));
            // Removed from the list.
            store->removeApplication(added.id);
            EXPECT_TRUE(eventuallyOnEventLoop([&] { return connect() == 0; }, 30s));
            store->waitForPersistence();
        }
        EXPECT_TRUE(sandbox.storedBlockList().empty());
        keeper.signal(SIGTERM);
        EXPECT_EQ(keeper.waitForExit(), 0) << keeper.standardError();
    });
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane::testing
