// The kernel's process events and what the flow source does with them (as root: the events need
// CAP_NET_ADMIN; without it the tests say so and skip).
#include "filter/host/netfilter/ProcessEvents.h"

#include "filter/FilterDataProvider.h"
#include "filter/host/netfilter/NetfilterFlowSource.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "shared/CodeIdentity.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/system-support/NetworkNamespace.h"

#include <algorithm>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace zorvane {
namespace {

using testing::NetworkNamespace;
using Kind = ProcessEvents::Kind;

TEST(ProcessEvents, AStartedProcessItsNewProgramAndItsEndAreReportedInOrder) {
    std::mutex lock;
    std::vector<std::pair<Kind, std::int32_t>> seen;
    ProcessEvents events([&](Kind kind, std::int32_t pid) {
        std::lock_guard guard(lock);
        seen.emplace_back(kind, pid);
    });
    if (const auto error = events.start()) {
        GTEST_SKIP() << *error;
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The program starts a thread, which is no process of its own: it must not be reported.
        ::execl(ZORVANE_EXEC_PROBE, ZORVANE_EXEC_PROBE, "--thread", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(status, 0);
    const auto ofChild = [&] {
        std::lock_guard guard(lock);
        std::vector<Kind> kinds;
        for (const auto& [kind, pid] : seen) {
            if (pid == child) {
                kinds.push_back(kind);
            }
        }
        return kinds;
    };
    // The reading thread gets them by itself; catchUp() only makes it sooner.
    EXPECT_TRUE(testing::eventually([&] { return ofChild().size() >= 3; }));
    EXPECT_EQ(ofChild(), (std::vector<Kind>{Kind::started, Kind::executed, Kind::ended}));
    events.stop();
    EXPECT_FALSE(events.running());
}

// UDP servers that send every datagram back.
class EchoServers {
public:
    explicit EchoServers(std::initializer_list<std::uint16_t> ports) {
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        for (const std::uint16_t port : ports) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            inet_pton(AF_INET, NetworkNamespace::ipv4Address, &address.sin_addr);
            const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            EXPECT_EQ(::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            sockets_.push_back(descriptor);
        }
        thread_ = std::thread([this] {
            std::vector<pollfd> fds{{stop_, POLLIN, 0}};
            for (const int descriptor : sockets_) {
                fds.push_back({descriptor, POLLIN, 0});
            }
            while (::poll(fds.data(), fds.size(), -1) > 0 && fds[0].revents == 0) {
                for (std::size_t i = 1; i < fds.size(); ++i) {
                    if (fds[i].revents & POLLIN) {
                        char buffer[64];
                        sockaddr_storage from{};
                        socklen_t length = sizeof from;
                        const ssize_t size =
                            ::recvfrom(fds[i].fd, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
                        if (size > 0) {
                            ::sendto(fds[i].fd, buffer, static_cast<std::size_t>(size), 0,
                                     reinterpret_cast<sockaddr*>(&from), length);
                        }
                    }
                }
            }
        });
    }
    ~EchoServers() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(stop_, &one, sizeof one);
        thread_.join();
        for (const int descriptor : sockets_) {
            ::close(descriptor);
        }
        ::close(stop_);
    }

private:
    int stop_ = -1;
    std::vector<int> sockets_;
    std::thread thread_;
};

int run(const std::vector<std::string>& arguments) {
    const pid_t child = ::fork();
    if (child == 0) {
        std::vector<char*> argv;
        for (const auto& argument : arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Linux keeps the pid and the start time across exec, so the process's audit token stays the
// same while its program changes: the identity the provider resolved for the first program must
// not decide for the second.
TEST(ProcessEvents, AProgramRunInPlaceOfAnotherIsJudgedAsTheNewOne) {
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    TemporaryDirectory directory;
    const auto first = directory / "first" / "probe";
    const auto listed = directory / "listed" / "probe";
    for (const auto& copy : {first, listed}) {
        std::filesystem::create_directories(copy.parent_path());
        std::filesystem::copy_file(ZORVANE_EXEC_PROBE, copy);
    }
    // The test process stays in the machine's network namespace; the child that enters its own
    // opens the process-event socket in this one.
    const std::string parentNetwork = "/proc/" + std::to_string(::getpid()) + "/ns/net";
    const auto failure = NetworkNamespace::run([&] {
        FilterDataProvider provider({.taskInspector = std::make_shared<LinuxTaskInspector>()});
        provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(PlistDictionary{
            {std::string(FilterDataProvider::codeIdentitiesKey),
             PlistArray{
                 CodeIdentity::make(std::filesystem::canonical(listed).string(), std::nullopt)
                     .key()}}}));
        NetfilterFlowSource source(
            {.rules = {.chain = "ZV_EXEC", .firstQueue = 400, .queueCount = 1},
             .processEventsNetwork = parentNetwork},
            [&](const FilterFlow& flow) { return provider.handleNewFlow(flow); },
            [](std::int32_t pid) { return LinuxAuditTokens::tokenForPid(pid); },
            [&](const std::vector<std::uint8_t>& token) { provider.forgetProcess(token); });
        ASSERT_EQ(source.start(), std::nullopt);
        ASSERT_TRUE(source.followsProcesses());
        EchoServers servers{7301, 7302, 7303};
        const std::string address = NetworkNamespace::ipv4Address;

        // The first program is allowed, so its identity is the one remembered for the token;
        // the listed program it runs in its place is refused on the same socket.
        EXPECT_EQ(run({first.string(), address, "7301", "7302", listed.string()}), 1);
        // ...and the listed one, started by itself, is refused as well.
        EXPECT_EQ(run({listed.string(), address, "7303", "7302", first.string()}), 4);
        const auto counts = source.counts();
        EXPECT_EQ(counts.queue.unattributed, 0u);
        EXPECT_EQ(counts.queue.dropped, 2u);
        source.stop();
    });
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
