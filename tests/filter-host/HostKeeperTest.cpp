#include "filter/host/HostKeeper.h"

#include "tests/support/TemporaryDirectory.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

namespace zorvane {
namespace {

using namespace std::chrono_literals;

class HostKeeperTest : public ::testing::Test {
protected:
    // Runs the io_context until the condition holds (or 10 s pass).
    template <typename Condition> bool until(Condition condition) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            io.run_one_for(10ms);
        }
        return true;
    }

    HostKeeper::Options shell(const std::string& script) {
        HostKeeper::Options options;
        options.executable = "/bin/sh";
        options.arguments = {"-c", script};
        options.restartDelay = 10ms;
        return options;
    }

    int lines(const std::filesystem::path& file) {
        std::ifstream in(file);
        return static_cast<int>(
            std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
    }

    static bool gone(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

    asio::io_context io;
    TemporaryDirectory directory;
    std::filesystem::path marker = directory / "marker";
    bool ended = false;
};

TEST_F(HostKeeperTest, AKilledHostIsStartedAgainAndAStopTakesItDown) {
    HostKeeper keeper(io, shell("echo started >> '" + marker.string() + "'; exec sleep 60"));
    ASSERT_FALSE(keeper.start([&] { ended = true; }));
    const pid_t first = keeper.hostProcess();
    ASSERT_GT(first, 0);
    ASSERT_TRUE(until([&] { return lines(marker) == 1; }));

    for (int signal : {SIGKILL, SIGSEGV}) {
        const auto starts = keeper.startCount();
        ::kill(keeper.hostProcess(), signal);
        ASSERT_TRUE(until([&] { return keeper.startCount() == starts + 1; }));
        // Up before the next kill, so that every start leaves its mark.
        ASSERT_TRUE(until([&] { return lines(marker) == static_cast<int>(starts) + 1; }));
    }
    EXPECT_NE(keeper.hostProcess(), first);
    EXPECT_TRUE(gone(first));
    EXPECT_FALSE(ended);

    const pid_t last = keeper.hostProcess();
    keeper.stop();
    ASSERT_TRUE(until([&] { return ended; }));
    EXPECT_EQ(keeper.hostProcess(), 0);
    EXPECT_TRUE(gone(last));
    EXPECT_EQ(keeper.startCount(), 3u);
}

TEST_F(HostKeeperTest, AHostThatStopsOnPurposeEndsTheKeeper) {
    HostKeeper keeper(io, shell("exit 0"));
    ASSERT_FALSE(keeper.start([&] { ended = true; }));
    ASSERT_TRUE(until([&] { return ended; }));
    EXPECT_EQ(keeper.startCount(), 1u);
    EXPECT_EQ(keeper.hostProcess(), 0);
}

TEST_F(HostKeeperTest, HostsThatKeepFailingAreRestartedEverMoreSlowly) {
    auto options = shell("echo started >> '" + marker.string() + "'; exit 1");
    options.maximumRestartDelay = 40ms;
    HostKeeper keeper(io, options);
    ASSERT_FALSE(keeper.start([&] { ended = true; }));
    ASSERT_TRUE(until([&] { return keeper.startCount() >= 4; }));
    EXPECT_EQ(keeper.nextRestartDelay(), 40ms); // 10, 20, 40, then capped
    EXPECT_FALSE(ended);

    // After a stop nothing starts again, whether a host ran or the keeper waited to start one.
    keeper.stop();
    ASSERT_TRUE(until([&] { return ended; }));
    const auto starts = keeper.startCount();
    io.run_for(100ms);
    EXPECT_EQ(keeper.startCount(), starts);
    EXPECT_LE(lines(marker), static_cast<int>(starts));
}

TEST_F(HostKeeperTest, AHostThatLivedLongEnoughIsRestartedAfterTheFirstPause) {
    auto options = shell("exit 1");
    options.maximumRestartDelay = 1000ms;
    options.stableRunTime = 0ms; // every host counts as having lived
    HostKeeper keeper(io, options);
    ASSERT_FALSE(keeper.start([&] { ended = true; }));
    ASSERT_TRUE(until([&] { return keeper.startCount() >= 4; }));
    // Reset to 10 ms at each death, then doubled once for the pause after it.
    EXPECT_EQ(keeper.nextRestartDelay(), 20ms);
    keeper.stop();
    ASSERT_TRUE(until([&] { return ended; }));
}

TEST_F(HostKeeperTest, AHostDeafToTermIsKilledAfterTheGrace) {
    auto options = shell("trap '' TERM; echo ready > '" + marker.string() + "'; exec sleep 60");
    options.stopGrace = 50ms;
    HostKeeper keeper(io, options);
    ASSERT_FALSE(keeper.start([&] { ended = true; }));
    ASSERT_TRUE(until([&] { return lines(marker) == 1; }));
    const pid_t host = keeper.hostProcess();
    keeper.stop();
    ASSERT_TRUE(until([&] { return ended; }));
    EXPECT_TRUE(gone(host));
    EXPECT_EQ(keeper.startCount(), 1u);
}

TEST_F(HostKeeperTest, AMissingExecutableIsReportedAtOnce) {
    HostKeeper::Options options;
    options.executable = (directory / "missing").string();
    HostKeeper keeper(io, options);
    const auto problem = keeper.start([&] { ended = true; });
    ASSERT_TRUE(problem);
    EXPECT_NE(problem->find("missing"), std::string::npos);
    EXPECT_EQ(keeper.hostProcess(), 0);
}

} // namespace
} // namespace zorvane
