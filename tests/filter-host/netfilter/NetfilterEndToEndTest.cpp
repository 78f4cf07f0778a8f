// The real ZorvaneFilter --netfilter deciding real programs' connections, in a network namespace
// of the test's own: copies of one probe program at different paths are different programs.
#include "filter/host/netfilter/ExternalCommand.h"
#include "platform/linux/FileLock.h"
#include "shared/CodeIdentity.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackFrameListener.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/system-support/FilterPrograms.h"
#include "tests/system-support/NamespaceServers.h"
#include "tests/system-support/NetworkNamespace.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

using testing::eventually;
using testing::NetworkNamespace;
using namespace std::chrono_literals;

constexpr std::uint16_t port = 7100;
const std::string v4 = NetworkNamespace::ipv4Address;
const std::string v6 = NetworkNamespace::ipv6Address;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The code identity key of a program as the filter names it on Linux.
std::string keyOf(const std::filesystem::path& program) {
    return CodeIdentity::make(std::filesystem::canonical(program).string(), std::nullopt).key();
}

class NetfilterEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = NetworkNamespace::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
        for (const auto& copy : {listed, unlisted}) {
            std::filesystem::create_directories(copy.parent_path());
            std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, copy);
        }
    }

    // The probe's outcome (see ConnectProbe.cpp); -1 when it did not end in time.
    int probe(const std::filesystem::path& program, const std::string& protocol,
              const std::string& host, std::uint16_t to = port,
              const std::vector<std::string>& then = {}) {
        std::vector<std::string> arguments{protocol, host, std::to_string(to)};
        arguments.insert(arguments.end(), then.begin(), then.end());
        return programs.run(program, arguments).value_or(-1);
    }

    // The status the system command prints now.
    std::string status() { return programs.runTool({"status"})->standardOutput(); }

    // The host a keeper keeps, as it wrote itself into the host lock.
    pid_t keptHost() const {
        pid_t pid = 0;
        std::ifstream(system / "filter-host.lock") >> pid;
        return pid;
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    std::filesystem::path listed = directory / "listed" / "probe";
    std::filesystem::path unlisted = directory / "unlisted" / "probe";
    testing::FilterPrograms programs{
        {ZORVANE_FILTER_EXECUTABLE, ZORVANE_SYSTEM_EXECUTABLE}, system, directory / "logs"};
};

TEST(NetfilterHost, WithoutTheRightToChangeThePacketFilterTheHostSaysWhyAndEndsWith2) {
    TemporaryDirectory directory;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root keeps the right through exec unless it leaves the bounding set.
        ::prctl(PR_CAPBSET_DROP, 12 /* CAP_NET_ADMIN */, 0, 0, 0);
        const int output = ::open((directory / "host.out").c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(output, 2);
        ::setenv("ZORVANE_SYSTEM_DIR", (directory / "system").c_str(), 1);
        ::execl(ZORVANE_FILTER_EXECUTABLE, ZORVANE_FILTER_EXECUTABLE, "--netfilter", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ASSERT_TRUE(eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, 10s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_NE(contents(directory / "host.out").find("CAP_NET_ADMIN"), std::string::npos)
        << contents(directory / "host.out");
}

TEST_F(NetfilterEndToEnd, AListedProgramIsRefusedAndAnUnlistedCopyConnectsUntilTheHostIsGone) {
    const auto failure = NetworkNamespace::run(
        [this] {
            ASSERT_TRUE(programs.writeConfiguration(true, PlistArray{keyOf(listed)}));
            testing::NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());

            auto host = programs.startHost({"--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << host->standardError();
            EXPECT_EQ(probe(listed, "tcp", v6), 1);
            EXPECT_EQ(probe(listed, "udp", v4), 1);
            EXPECT_EQ(probe(listed, "udp", v6), 1);
            // Loopback and DNS stay open to every program.
            EXPECT_EQ(probe(listed, "tcp", "127.0.0.1"), 0);
            EXPECT_EQ(probe(listed, "udp", v4, 53), 0);
            for (const char* protocol : {"tcp", "udp"}) {
                for (const auto& address : {v4, v6}) {
                    EXPECT_EQ(probe(unlisted, protocol, address), 0) << protocol << " " << address;
                }
            }
            // At least the four refused above: now and then the kernel loses the first reset
            // of a fresh namespace's IPv6 connection, and the SYN it sends again is refused again.
            EXPECT_TRUE(eventually([&] {
                const auto text = status();
                const auto at = text.find("dropped ");
                return at != std::string::npos && std::stoi(text.substr(at + 8)) >= 4;
            })) << status();
            EXPECT_NE(status().find("enforcement: netfilter (queues"), std::string::npos);

            // A host that dies leaves its rules, and the kernel lets everything through.
            host->signal(SIGKILL);
            host->waitForExit();
            EXPECT_EQ(probe(listed, "tcp", v4), 0);

            // The next host takes the leftovers over, and stops cleanly.
            host = programs.startHost({"--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v6) == 1; }))
                << host->standardError();
            host->signal(SIGTERM);
            EXPECT_EQ(host->waitForExit(), 0) << host->standardError();
            for (const char* tool : {"iptables", "ip6tables"}) {
                const auto rules = ExternalCommand::run({tool, "-S"});
                EXPECT_EQ(rules.output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n")
                    << tool;
            }
            EXPECT_FALSE(std::filesystem::exists(system / "enforcement.json"));
            EXPECT_NE(status().find("enforcement: simulated"), std::string::npos);
        },
        3min);
    EXPECT_EQ(failure, "");
}

// A launcher that is not listed starts a listed program: the program is refused as itself, and
// the launcher's own connections pass.
TEST_F(NetfilterEndToEnd, AListedProgramStartedByAnUnlistedOneIsRefusedAsItself) {
    const auto failure = NetworkNamespace::run(
        [this] {
            ASSERT_TRUE(programs.writeConfiguration(true, PlistArray{keyOf(listed)}));
            testing::NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());
            auto host = programs.startHost({"--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << host->standardError();
            for (const char* protocol : {"tcp", "udp"}) {
                for (const auto& address : {v4, v6}) {
                    EXPECT_EQ(probe(unlisted, protocol, address, port,
                                    {listed.string(), protocol, address, std::to_string(port)}),
                              1)
                        << protocol << " " << address;
                }
            }
        },
        2min);
    EXPECT_EQ(failure, "");
}

// The same when the launcher's child connected as the launcher before it became the program: on
// Linux the audit token (pid and start time) survives exec, so only the process events tell the
// host that the identity it resolved for the child no longer holds. The kernel reports them in
// the machine's namespace, which the host is told to open.
TEST_F(NetfilterEndToEnd, AProgramIsItselfAfterAnExecOfAProcessThatConnectedBefore) {
    const std::string machineNetwork = "/proc/" + std::to_string(::getpid()) + "/ns/net";
    const auto failure = NetworkNamespace::run(
        [&] {
            ASSERT_EQ(::setenv("ZORVANE_PROCESS_EVENTS_NETWORK", machineNetwork.c_str(), 1), 0);
            ASSERT_TRUE(programs.writeConfiguration(true, PlistArray{keyOf(listed)}));
            testing::NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());
            auto host = programs.startHost({"--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << host->standardError();
            EXPECT_EQ(probe(unlisted, "tcp", v4, port,
                            {"--connect-first", listed.string(), "tcp", v4, std::to_string(port)}),
                      1);
        },
        2min);
    EXPECT_EQ(failure, "");
}

// While the keeper's host is gone the rules let everything through; the host it starts again
// refuses as before, and the keeper's stop leaves no rule behind.
TEST_F(NetfilterEndToEnd, AKilledHostLetsConnectionsPassUntilItsKeeperStartsItAgain) {
    const auto failure = NetworkNamespace::run(
        [this] {
            ASSERT_TRUE(programs.writeConfiguration(true, PlistArray{keyOf(listed)}));
            testing::NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());
            auto keeper = programs.startHost({"--keep-alive", "--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << keeper->standardError();

            // A keeper held still cannot start the next host before the gap is seen.
            const pid_t first = keptHost();
            ASSERT_GT(first, 0);
            keeper->signal(SIGSTOP);
            ::kill(first, SIGKILL);
            // Its locks go with its descriptors; the keeper has yet to reap it.
            ASSERT_TRUE(eventually([&] { return !FileLock::isHeld(system / "filter-host.lock"); }));
            EXPECT_EQ(probe(listed, "tcp", v4), 0);
            EXPECT_EQ(probe(listed, "udp", v6), 0);

            keeper->signal(SIGCONT);
            ASSERT_TRUE(eventually([&] {
                const pid_t next = keptHost();
                return next > 0 && next != first && probe(listed, "tcp", v6) == 1;
            })) << keeper->standardError();
            EXPECT_EQ(probe(listed, "udp", v4), 1);
            EXPECT_EQ(probe(unlisted, "tcp", v4), 0);

            keeper->signal(SIGTERM);
            EXPECT_EQ(keeper->waitForExit(), 0) << keeper->standardError();
            for (const char* tool : {"iptables", "ip6tables"}) {
                EXPECT_EQ(ExternalCommand::run({tool, "-S"}).output,
                          "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n")
                    << tool;
            }
        },
        2min);
    EXPECT_EQ(failure, "");
}

// Zorvane's own programs are never refused, even when the list names them: the programs of the
// bundle the host runs from, and the host's own deliveries to the application's receiver.
TEST_F(NetfilterEndToEnd, OwnProgramsAndTheDeliveriesToTheReceiverAreNeverRefused) {
    // A bundle of our own elsewhere: the filter's executable and both Info.plists, and a probe
    // that plays one of the application's programs.
    const std::filesystem::path built = ZORVANE_FILTER_EXECUTABLE;
    const auto extension = built.parent_path().parent_path().parent_path();
    const auto builtBundle = extension.parent_path().parent_path().parent_path().parent_path();
    ASSERT_EQ(builtBundle.extension(), ".app");
    const auto bundle = directory / "Installed" / builtBundle.filename();
    const auto filter = bundle / std::filesystem::relative(built, builtBundle);
    const auto ownProgram = bundle / "Contents" / "MacOS" / "probe";
    for (const auto& [from, to] :
         {std::pair{builtBundle / "Contents" / "Info.plist", bundle / "Contents" / "Info.plist"},
          std::pair{extension / "Contents" / "Info.plist",
                    bundle / std::filesystem::relative(extension, builtBundle) / "Contents" /
                        "Info.plist"},
          std::pair{built, filter},
          std::pair{std::filesystem::path(ZORVANE_CONNECT_PROBE), ownProgram}}) {
        std::filesystem::create_directories(to.parent_path());
        std::filesystem::copy_file(from, to);
    }
    testing::FilterPrograms ownPrograms{
        {filter, ZORVANE_SYSTEM_EXECUTABLE}, system, directory / "logs"};

    const auto failure = NetworkNamespace::run(
        [&] {
            testing::LoopbackFrameListener receiver;
            // As if the person had listed the application itself, and every program in it.
            ASSERT_TRUE(ownPrograms.writeConfiguration(
                true, PlistArray{keyOf(listed), keyOf(ownProgram), keyOf(filter)},
                {{"blockedApplicationPaths", PlistArray{bundle.string()}},
                 {"eventChannelPort", static_cast<std::int64_t>(receiver.port())},
                 {"eventChannelToken", std::string(72, 'e')}}));
            testing::NamespaceServers servers(port);
            ASSERT_TRUE(servers.ready());
            auto host = ownPrograms.startHost({"--netfilter"});
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << host->standardError();
            for (const char* protocol : {"tcp", "udp"}) {
                for (const auto& address : {v4, v6}) {
                    EXPECT_EQ(probe(ownProgram, protocol, address), 0)
                        << protocol << " " << address;
                }
            }
            // The host's own connection to the receiver carries the refused attempt.
            EXPECT_TRUE(receiver.waitFor([&](const auto& all) {
                for (const auto& received : all) {
                    if (received.envelope) {
                        for (const auto& event : received.envelope->activityEvents) {
                            if (event.processSigningIdentifier ==
                                    std::filesystem::canonical(listed).string() &&
                                event.destinationHost == v4) {
                                return true;
                            }
                        }
                    }
                }
                return false;
            }));
        },
        2min);
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
