#include "app/agent/BackgroundStatusAgentController.h"
#include "app/filter-control/FilterController.h"
#include "tests/support/TemporaryDirectory.h"

#include <QTest>
#include <cstdlib>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

// The agent on this platform's real services starts and runs its first maintenance headless:
// no tray, no session bus, and a build that is not installed. Everything it writes goes to a
// temporary directory; the update check goes to a local port nobody listens on.
TEST(StandardAgent, StartsHeadlessAndKeepsItsWritesWhereTheEnvironmentSays) {
    TemporaryDirectory dir;
    ::setenv("ZORVANE_PREFERENCES", (dir / "preferences.plist").c_str(), 1);
    ::setenv("ZORVANE_SYSTEM_DIR", (dir / "system").c_str(), 1);
    ::setenv("ZORVANE_UPDATE_MANIFEST_URL", "http://127.0.0.1:9/updates/latest.json", 1);
    ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/zorvane-test-bus", 1);

    auto agent = BackgroundStatusAgentController::makeStandard();
    ASSERT_NE(agent, nullptr);
    int finished = 0;
    QObject::connect(agent.get(), &BackgroundStatusAgentController::maintenanceFinished,
                     [&] { ++finished; });
    agent->start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return finished == 1; }, 15'000));
    EXPECT_EQ(agent->filterController().status(), FilterStatus::installationRequired());
    EXPECT_FALSE(agent->isStatusItemShown());
    EXPECT_EQ(agent->appearance().title, "Protection Off");
    // The background synchronisation wrote the (empty, disabled) configuration there.
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return std::filesystem::exists(dir / "system" / "filter-configuration.plist"); },
        5000));
}

} // namespace
} // namespace zorvane
