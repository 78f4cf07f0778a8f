// A refused real connection from end to end: the list as a person left it names a real program,
// the window process hands it to a filter host that enforces with netfilter, the program's
// connection is refused, and the attempt reaches the activity file and the window. In a network
// namespace of the test's own, as root.
#include "WholeSystemFixture.h"
#include "tests/system-support/NamespaceServers.h"
#include "tests/system-support/NetworkNamespace.h"

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

} // namespace
} // namespace zorvane::testing
