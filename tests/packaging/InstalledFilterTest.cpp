// The installed ZorvaneFilter, started with the service's command line and only the service's
// capabilities, in a network namespace of the test's own: another user's listed program is
// refused, an unlisted copy connects, and --remove-rules clears what a killed filter left.
// The package test runs it against the installed tree (ZORVANE_INSTALLED_FILTER).
#include "filter/host/netfilter/ExternalCommand.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "shared/CodeIdentity.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/system-support/NetworkNamespace.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

using testing::eventually;
using testing::NetworkNamespace;
using namespace std::chrono_literals;

constexpr std::uint16_t port = 7100;
constexpr uid_t nobody = 65534;

// What the unit's CapabilityBoundingSet leaves a root service: CAP_DAC_READ_SEARCH,
// CAP_NET_ADMIN, CAP_SYS_PTRACE.
constexpr int serviceCapabilities[] = {2, 12, 19};

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Starts the filter as the service does: root within the unit's bounding set, no new
// privileges, its own process group (so that the keeper and its host can be killed together).
pid_t startService(const char* filter, const std::filesystem::path& system,
                   const std::filesystem::path& output) {
    const pid_t pid = ::fork();
    if (pid != 0) {
        return pid;
    }
    ::setpgid(0, 0);
    int last = 40;
    std::ifstream("/proc/sys/kernel/cap_last_cap") >> last;
    for (int capability = 0; capability <= last; ++capability) {
        if (std::find(std::begin(serviceCapabilities), std::end(serviceCapabilities), capability) ==
            std::end(serviceCapabilities)) {
            ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
        }
    }
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::setenv("ZORVANE_SYSTEM_DIR", system.c_str(), 1);
    const int descriptor = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(descriptor, 1);
    ::dup2(descriptor, 2);
    ::execl(filter, filter, "--keep-alive", "--netfilter", nullptr);
    ::_exit(127);
}

// The probe's outcome as the user nobody: 0 connected, 1 refused, other: failed otherwise.
int probeAsNobody(const std::filesystem::path& program) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) {
            ::_exit(126);
        }
        const std::string to = std::to_string(port);
        ::execl(program.c_str(), program.c_str(), "tcp", NetworkNamespace::ipv4Address, to.c_str(),
                nullptr);
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool rulesOfOursRemain() {
    for (const char* tool : {"iptables", "ip6tables"}) {
        if (ExternalCommand::run({tool, "-S"}).output.find("ZORVANE") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(InstalledFilter, RefusesAnotherUsersListedProgramWithTheServicesCapabilitiesAlone) {
    const char* filter = std::getenv("ZORVANE_INSTALLED_FILTER");
    if (filter == nullptr) {
        GTEST_SKIP() << "the package test runs this against the installed filter "
                        "(ZORVANE_INSTALLED_FILTER)";
    }
    if (const auto reason = NetworkNamespace::unavailableReason()) {
        GTEST_SKIP() << *reason;
    }
    const auto failure = NetworkNamespace::run(
        [filter] {
            TemporaryDirectory directory;
            // The probes run as nobody, who must reach them.
            std::filesystem::permissions(directory.path(), std::filesystem::perms::owner_all |
                                                               std::filesystem::perms::group_read |
                                                               std::filesystem::perms::group_exec |
                                                               std::filesystem::perms::others_read |
                                                               std::filesystem::perms::others_exec);
            const auto listed = directory / "listed" / "probe";
            const auto unlisted = directory / "unlisted" / "probe";
            for (const auto& copy : {listed, unlisted}) {
                std::filesystem::create_directories(copy.parent_path());
                std::filesystem::copy_file(ZORVANE_CONNECT_PROBE, copy);
            }
            const auto system = directory / "system";
            std::filesystem::create_directories(system);
            FilterConfiguration configuration;
            configuration.enabled = true;
            configuration.localizedDescription = "Zorvane";
            configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
                true, "dev.quillmoor.Zorvane.FilterExtension",
                PlistDictionary{
                    {"blockedCodeIdentities",
                     PlistArray{CodeIdentity::make(std::filesystem::canonical(listed).string(),
                                                   std::nullopt)
                                    .key()}}}};
            ASSERT_FALSE(FilterConfigurationFile::inDirectory(system).write(configuration));

            const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            inet_pton(AF_INET, NetworkNamespace::ipv4Address, &address.sin_addr);
            ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
            ::listen(server, 64);

            const auto output = directory / "service.out";
            const pid_t service = startService(filter, system, output);
            ASSERT_GT(service, 0);
            EXPECT_TRUE(eventually([&] { return probeAsNobody(listed) == 1; }, 20s))
                << contents(output);
            EXPECT_EQ(probeAsNobody(unlisted), 0);

            // A service killed outright leaves its rules; --remove-rules takes them away.
            ::kill(-service, SIGKILL);
            ::waitpid(service, nullptr, 0);
            EXPECT_TRUE(rulesOfOursRemain());
            const auto removal = ExternalCommand::run({filter, "--remove-rules"});
            EXPECT_TRUE(removal.succeeded()) << removal.output;
            EXPECT_FALSE(rulesOfOursRemain());
            ::close(server);
        },
        std::chrono::minutes(2));
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
