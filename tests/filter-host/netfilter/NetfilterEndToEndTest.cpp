// The real ZorvaneFilter --netfilter deciding real programs' connections, in a network namespace
// of the test's own: copies of one probe program at different paths are different programs.
#include "NetworkNamespace.h"
#include "app/store/LinuxApplicationInspector.h"
#include "app/store/RuleSet.h"
#include "app/store/TemporaryAccess.h"
#include "filter/FilterRuleSet.h"
#include "filter/host/netfilter/ExternalCommand.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "shared/Clock.h"
#include "shared/CodeIdentity.h"
#include "shared/OwnIdentifier.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace zorvane {
namespace {

using testing::eventually;
using testing::NetworkNamespace;
using namespace std::chrono_literals;

constexpr std::uint16_t port = 7100;

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts a program with ZORVANE_SYSTEM_DIR set and its output in `output`.
pid_t spawn(const std::string& executable, const std::vector<std::string>& arguments,
            const std::filesystem::path& systemDirectory, const std::filesystem::path& output) {
    std::vector<std::string> environment = {"ZORVANE_SYSTEM_DIR=" + systemDirectory.string()};
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "ZORVANE_SYSTEM_DIR=", 19) != 0) {
            environment.emplace_back(*entry);
        }
    }
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit status within the limit (-1: killed by a signal); none when it overran (then it is
// killed).
std::optional<int> waitForExit(pid_t pid, std::chrono::milliseconds limit = 10s) {
    int status = 0;
    if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return std::nullopt;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Servers on both namespace addresses (and a TCP one on 127.0.0.1, a DNS-port UDP one on the IPv4
// address): TCP listeners (the backlog accepts) and UDP echoes.
class Servers {
public:
    Servers() {
        struct Endpoint {
            const char* host;
            std::uint16_t port;
            int type;
        };
        const Endpoint endpoints[] = {
            {NetworkNamespace::ipv4Address, port, SOCK_STREAM},
            {NetworkNamespace::ipv4Address, port, SOCK_DGRAM},
            {NetworkNamespace::ipv6Address, port, SOCK_STREAM},
            {NetworkNamespace::ipv6Address, port, SOCK_DGRAM},
            {"127.0.0.1", port, SOCK_STREAM},
            {NetworkNamespace::ipv4Address, 53, SOCK_DGRAM},
        };
        for (const auto& endpoint : endpoints) {
            sockaddr_storage address{};
            socklen_t length = 0;
            if (std::strchr(endpoint.host, ':')) {
                auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
                v6.sin6_family = AF_INET6;
                v6.sin6_port = htons(endpoint.port);
                inet_pton(AF_INET6, endpoint.host, &v6.sin6_addr);
                length = sizeof v6;
            } else {
                auto& v4 = reinterpret_cast<sockaddr_in&>(address);
                v4.sin_family = AF_INET;
                v4.sin_port = htons(endpoint.port);
                inet_pton(AF_INET, endpoint.host, &v4.sin_addr);
                length = sizeof v4;
            }
            const int descriptor = ::socket(address.ss_family, endpoint.type | SOCK_CLOEXEC, 0);
            EXPECT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), length), 0);
            if (endpoint.type == SOCK_STREAM) {
                ::listen(descriptor, 64);
            } else {
                datagrams_.push_back({descriptor, POLLIN, 0});
            }
            descriptors_.push_back(descriptor);
        }
        echo_ = std::thread([this] {
            while (!stop_) {
                auto fds = datagrams_;
                if (::poll(fds.data(), fds.size(), 50) <= 0) {
                    continue;
                }
                for (const auto& fd : fds) {
                    if (fd.revents & POLLIN) {
                        char buffer[64];
                        sockaddr_storage from{};
                        socklen_t length = sizeof from;
                        const ssize_t n = ::recvfrom(fd.fd, buffer, sizeof buffer, 0,
                                                     reinterpret_cast<sockaddr*>(&from), &length);
                        if (n > 0) {
                            ::sendto(fd.fd, buffer, static_cast<std::size_t>(n), 0,
                                     reinterpret_cast<sockaddr*>(&from), length);
                        }
                    }
                }
            }
        });
    }
    ~Servers() {
        stop_ = true;
        echo_.join();
        for (const int descriptor : descriptors_) {
            ::close(descriptor);
        }
    }

private:
    std::vector<int> descriptors_;
    std::vector<pollfd> datagrams_;
    std::atomic<bool> stop_{false};
    std::thread echo_;
};

class NetfilterEndToEnd : public ::testing::Test {
protected:
    // The probe's outcome: 0 connected, 1 refused, other: failed otherwise.
    int probe(const std::filesystem::path& program, const char* protocol, const char* host,
              std::uint16_t to = port) {
        const pid_t pid =
            spawn(program, {protocol, host, std::to_string(to)}, system, directory / "probe.out");
        return pid > 0 ? waitForExit(pid).value_or(-2) : -3;
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
};

TEST_F(NetfilterEndToEnd, WithoutTheRightToChangeThePacketFilterTheHostSaysWhyAndEndsWith2) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Root keeps the right through exec unless it leaves the bounding set.
        ::prctl(PR_CAPBSET_DROP, 12 /* CAP_NET_ADMIN */, 0, 0, 0);
        const int output = ::open((directory / "host.out").c_str(),
                                  O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        ::dup2(output, 2);
        ::execl(ZORVANE_FILTER_EXECUTABLE, ZORVANE_FILTER_EXECUTABLE, "--netfilter", nullptr);
        ::_exit(127);
    }
    EXPECT_EQ(waitForExit(child), 2);
    EXPECT_NE(contents(directory / "host.out").find("CAP_NET_ADMIN"), std::string::npos)
        << contents(directory / "host.out");
}

TEST_F(NetfilterEndToEnd, AListedProgramIsRefusedAndAnUnlistedCopyConnectsUntilTheHostIsGone) {
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    const auto failure = NetworkNamespace::run(
        [this] {
            const auto listed = directory / "listed" / "probe";
            const auto unlisted = directory / "unlisted" / "probe";
            for (const auto& copy : {listed, unlisted}) {
                std::filesystem::create_directories(copy.parent_path());
                std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, copy);
            }
            const auto listedKey =
                CodeIdentity::make(std::filesystem::canonical(listed).string(), std::nullopt).key();
            std::filesystem::create_directories(system);
            FilterConfiguration configuration;
            configuration.enabled = true;
            configuration.localizedDescription = "Zorvane";
            configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
                true, "dev.quillmoor.Zorvane.FilterExtension",
                PlistDictionary{{"blockedCodeIdentities", PlistArray{listedKey}}}};
            ASSERT_FALSE(FilterConfigurationFile::inDirectory(system).write(configuration));
            Servers servers;

            const auto hostOutput = directory / "host.out";
            pid_t host = spawn(ZORVANE_FILTER_EXECUTABLE, {"--netfilter"}, system, hostOutput);
            ASSERT_GT(host, 0);
            const auto v4 = NetworkNamespace::ipv4Address;
            const auto v6 = NetworkNamespace::ipv6Address;
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v4) == 1; }))
                << contents(hostOutput);
            EXPECT_EQ(probe(listed, "tcp", v6), 1);
            EXPECT_EQ(probe(listed, "udp", v4), 1);
            EXPECT_EQ(probe(listed, "udp", v6), 1);
            // Loopback and DNS stay open to every program.
            EXPECT_EQ(probe(listed, "tcp", "127.0.0.1"), 0);
            EXPECT_EQ(probe(listed, "udp", v4, 53), 0);
            for (const char* protocol : {"tcp", "udp"}) {
                for (const char* address : {v4, v6}) {
                    EXPECT_EQ(probe(unlisted, protocol, address), 0) << protocol << " " << address;
                }
            }

            const pid_t status =
                spawn(ZORVANE_SYSTEM_EXECUTABLE, {"status"}, system, directory / "status.out");
            EXPECT_EQ(waitForExit(status), 0);
            const auto statusText = contents(directory / "status.out");
            EXPECT_TRUE(eventually([&] {
                const pid_t again =
                    spawn(ZORVANE_SYSTEM_EXECUTABLE, {"status"}, system, directory / "status.out");
                waitForExit(again);
                return contents(directory / "status.out").find("dropped 4,") != std::string::npos;
            })) << contents(directory / "status.out");
            EXPECT_NE(contents(directory / "status.out").find("enforcement: netfilter (queues"),
                      std::string::npos);

            // A host that dies leaves its rules, and the kernel lets everything through.
            ::kill(host, SIGKILL);
            ::waitpid(host, nullptr, 0);
            EXPECT_EQ(probe(listed, "tcp", v4), 0);

            // The next host takes the leftovers over, and stops cleanly.
            host = spawn(ZORVANE_FILTER_EXECUTABLE, {"--netfilter"}, system, hostOutput);
            ASSERT_TRUE(eventually([&] { return probe(listed, "tcp", v6) == 1; }))
                << contents(hostOutput);
            ::kill(host, SIGTERM);
            EXPECT_EQ(waitForExit(host), 0) << contents(hostOutput);
            for (const char* tool : {"iptables", "ip6tables"}) {
                const auto rules = ExternalCommand::run({tool, "-S"});
                EXPECT_EQ(rules.output, "-P INPUT ACCEPT\n-P FORWARD ACCEPT\n-P OUTPUT ACCEPT\n")
                    << tool;
            }
            EXPECT_FALSE(std::filesystem::exists(system / "enforcement.json"));
            pid_t simulated =
                spawn(ZORVANE_SYSTEM_EXECUTABLE, {"status"}, system, directory / "status.out");
            EXPECT_EQ(waitForExit(simulated), 0);
            EXPECT_NE(contents(directory / "status.out").find("enforcement: simulated"),
                      std::string::npos);
        },
        std::chrono::minutes(3));
    EXPECT_EQ(failure, "");
}

// A person's way through it, for a Linux application: its desktop entry inspected as when it is
// dropped, the rules derived as the store derives them, and the real host refusing the program's
// real connections until it is allowed, blocked again, and taken off the list.
TEST_F(NetfilterEndToEnd, ADesktopEntryOnTheListBlocksItsProgramUntilAllowedOrRemoved) {
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    const auto failure = NetworkNamespace::run(
        [this] {
            const auto program = directory / "opt" / "probe" / "zorvane-probe";
            std::filesystem::create_directories(program.parent_path());
            std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, program);
            const auto entry = directory / "share" / "applications" / "probe.desktop";
            std::filesystem::create_directories(entry.parent_path());
            std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Probe\n"
                                 << "Exec=env PROBE_MODE=1 " << program.string() << " %U\n";
            DesktopEnvironment environment;
            environment.dataDirectories = {directory / "share"};
            const auto inspected =
                LinuxApplicationInspector(environment, {}).inspect(entry, Uuid::random());
            ASSERT_TRUE(std::holds_alternative<BlockedApplication>(inspected));
            const auto application = std::get<BlockedApplication>(inspected);
            ASSERT_EQ(application.signingIdentifier, std::filesystem::canonical(program).string());

            std::filesystem::create_directories(system);
            const SystemClock clock;
            const OwnIdentifier own{std::string(OwnIdentifier::applicationIdentifier)};
            const auto save = [&](const std::vector<BlockedApplication>& applications,
                                  const std::vector<TemporaryAccessGrant>& grants) {
                const auto rules = RuleSet::derive(applications, grants, clock.now(), own);
                PlistDictionary allowed;
                for (const auto& [key, end] : rules.temporarilyAllowedCodeIdentities) {
                    allowed.emplace(key, end);
                }
                FilterConfiguration configuration;
                configuration.enabled = true;
                configuration.localizedDescription = "Zorvane";
                configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
                    true, "dev.quillmoor.Zorvane.FilterExtension",
                    PlistDictionary{
                        {std::string(FilterRuleSet::codeIdentitiesKey),
                         PlistArray(rules.blockedCodeIdentityKeys.begin(),
                                    rules.blockedCodeIdentityKeys.end())},
                        {std::string(FilterRuleSet::applicationPathsKey),
                         PlistArray(rules.blockedApplicationPaths.begin(),
                                    rules.blockedApplicationPaths.end())},
                        {std::string(FilterRuleSet::temporaryAllowedCodeIdentitiesKey), allowed}}};
                ASSERT_FALSE(FilterConfigurationFile::inDirectory(system).write(configuration));
            };
            save({application}, {});
            Servers servers;
            const auto hostOutput = directory / "host.out";
            const pid_t host =
                spawn(ZORVANE_FILTER_EXECUTABLE, {"--netfilter"}, system, hostOutput);
            ASSERT_GT(host, 0);
            const auto v4 = NetworkNamespace::ipv4Address;
            ASSERT_TRUE(eventually([&] { return probe(program, "tcp", v4) == 1; }))
                << contents(hostOutput);
            EXPECT_EQ(probe(program, "udp", NetworkNamespace::ipv6Address), 1);

            // Allow for 5 Minutes.
            const auto allowed = TemporaryAccess::allowingTemporarily(
                {}, application, TemporaryAccess::fiveMinutes, clock.now());
            save({application}, allowed);
            EXPECT_TRUE(eventually([&] { return probe(program, "tcp", v4) == 0; }));
            // Block Again Now.
            save({application}, TemporaryAccess::revoking(allowed, application.id));
            EXPECT_TRUE(eventually([&] { return probe(program, "tcp", v4) == 1; }));
            // Removed from the list.
            save({}, {});
            EXPECT_TRUE(eventually([&] { return probe(program, "tcp", v4) == 0; }));

            ::kill(host, SIGTERM);
            EXPECT_EQ(waitForExit(host), 0) << contents(hostOutput);
        },
        std::chrono::minutes(3));
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
