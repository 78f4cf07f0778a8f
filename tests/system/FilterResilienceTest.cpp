// The filter's promises when parts of the system go away: a killed host is started again and
// lets everything through meanwhile; reports made while the application is away reach it once
// it is back.
#include "WholeSystemFixture.h"

#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane::testing {
namespace {

TEST_F(WholeSystem, AKilledHostIsStartedAgainAndFlowsPassWhileNoneRuns) {
    const auto& mail = SampleApplications::mail();
    seed({mail});
    startApplication();
    ASSERT_TRUE(eventually([&] { return flow(mail.bundle(samples)).verdict == "drop"; }))
        << application->standardError();
    const auto keeper = sandbox.keeperProcess();
    const auto first = sandbox.hostProcess();
    ASSERT_TRUE(keeper && first);

    // With the keeper held still, the kill leaves no host at all for a while.
    ::kill(*keeper, SIGSTOP);
    ::kill(*first, SIGKILL);
    ASSERT_TRUE(eventually([&] { return !sandbox.hostRunning(); }));
    const auto open = flow(mail.bundle(samples), executable(mail, 1));
    EXPECT_EQ(open.verdict, "allow");
    EXPECT_NE(open.diagnostics.find("fails open"), std::string::npos) << open.diagnostics;
    const auto status = tool({"status"});
    EXPECT_NE(status.find("Filter host: starting again"), std::string::npos) << status;
    ::kill(*keeper, SIGCONT);

    ASSERT_TRUE(eventually([&] {
        const auto host = sandbox.hostProcess();
        return host && *host != *first && sandbox.hostRunning();
    }));
    // The new host works from the configuration that is still enabled.
    EXPECT_TRUE(eventually([&] { return flow(mail.bundle(samples)).verdict == "drop"; }));
    EXPECT_EQ(flow(SampleApplications::chat().bundle(samples)).verdict, "allow");

    // Killed again, unattended: back again, with the same keeper; nothing else fell over.
    const auto second = sandbox.hostProcess();
    ::kill(*second, SIGKILL);
    ASSERT_TRUE(eventually([&] {
        const auto host = sandbox.hostProcess();
        return host && *host != *second && sandbox.hostRunning();
    }));
    EXPECT_TRUE(eventually([&] { return flow(mail.bundle(samples)).verdict == "drop"; }));
    EXPECT_EQ(sandbox.keeperProcess(), keeper);
    EXPECT_TRUE(application->running()) << application->standardError();
}

TEST_F(WholeSystem, AttemptsWhileTheApplicationIsStoppedAreDeliveredWhenItIsBack) {
    const auto& mail = SampleApplications::mail();
    seed({mail});
    startApplication();
    ASSERT_TRUE(eventually([&] { return flow(mail.bundle(samples)).verdict == "drop"; }))
        << application->standardError();
    ASSERT_TRUE(eventually([&] {
        const auto report = sandbox.filterReport();
        return report && (*report)["pendingBlockedAttempts"] == 0 &&
               sandbox.storedBlockedAttempts() >= 1;
    }));
    const auto before = sandbox.storedBlockedAttempts();

    stopApplication();
    // The filter keeps blocking, and keeps what it could not deliver.
    std::vector<std::string> lines;
    for (const char* host : {"mail.example.com", "imap.example.com", "smtp.example.com"}) {
        for (std::size_t index : {0u, 1u}) {
            lines.push_back(
                FlowPipeline::request(executable(mail), executable(mail, index), host, 443));
        }
    }
    const auto attempts = FlowPipeline::run(sandbox.systemDirectory() / "filter.sock", lines, 600);
    ASSERT_TRUE(attempts.problem.empty()) << attempts.problem;
    EXPECT_EQ(attempts.dropped, 600u);
    // The first flush finds nobody listening; the attempts stay with the filter.
    ASSERT_TRUE(eventually([&] {
        const auto report = sandbox.filterReport();
        return report && (*report)["failedActivitySends"] >= 1 &&
               (*report)["pendingBlockedAttempts"] == 600;
    })) << (sandbox.filterReport() ? sandbox.filterReport()->dump() : "no report");
    EXPECT_EQ(sandbox.storedBlockedAttempts(), before);
    const auto status = tool({"status"});
    EXPECT_NE(status.find("Reports for the application: 600 blocked attempts waiting"),
              std::string::npos)
        << status;

    startApplication();
    ASSERT_TRUE(eventually([&] { return sandbox.storedBlockedAttempts() == before + 600; },
                           std::chrono::seconds(30)))
        << sandbox.storedBlockedAttempts() << " stored\n"
        << application->standardError();
    // Every destination of both processes, each with its own count.
    int aggregates = 0;
    for (const auto& event : sandbox.storedActivity()) {
        if (event.destinationHost != "mail.example.com") {
            EXPECT_EQ(event.blockedConnectionCount, 100) << event.id();
            ++aggregates;
        }
    }
    EXPECT_EQ(aggregates, 4);
}

bool holdsSocket(pid_t pid, ino_t inode) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        if (std::filesystem::read_symlink(entry.path(), error).string() == wanted) {
            return true;
        }
    }
    return false;
}

// A system extension starts with nothing of the process that asked for it: a descriptor its
// starter leaked (the application's listener, say) must not live on in the keeper or the host.
TEST_F(WholeSystem, TheFilterKeepsNoDescriptorOfWhoeverStartedIt) {
    const int leaked = ::socket(AF_INET, SOCK_STREAM, 0); // no close-on-exec
    ASSERT_GE(leaked, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(leaked, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(leaked, 4), 0);
    struct stat status {};
    ASSERT_EQ(::fstat(leaked, &status), 0);

    ChildProcess keeper(ZORVANE_FILTER_EXECUTABLE, {"--keep-alive"}, environment(),
                        sandbox.logDirectory() / "keeper");
    ::close(leaked);
    ASSERT_TRUE(eventually([&] { return sandbox.hostRunning(); })) << keeper.standardError();
    std::ifstream children("/proc/" + std::to_string(keeper.pid()) + "/task/" +
                           std::to_string(keeper.pid()) + "/children");
    pid_t host = 0;
    ASSERT_TRUE(children >> host);
    EXPECT_FALSE(holdsSocket(keeper.pid(), status.st_ino));
    EXPECT_FALSE(holdsSocket(host, status.st_ino));
    // The keeper's own stop takes the host with it.
    keeper.signal(SIGTERM);
    EXPECT_EQ(keeper.waitForExit(), 0);
    EXPECT_FALSE(sandbox.hostRunning());
}

} // namespace
} // namespace zorvane::testing
