// ZorvaneFilter on Linux: the filter extension process. The provider is the portable one; the
// host around it stands in for the system's network-extension machinery (see FilterHost).
#include "codesign/MachOSignatureReader.h"
#include "filter/host/ExtensionBundle.h"
#include "filter/host/FilterHost.h"
#include "filter/host/HostKeeper.h"
#include "filter/host/HostedFilterDataProvider.h"
#include "filter/host/netfilter/NetfilterFlowSource.h"
#include "filter/host/netfilter/NetfilterRules.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxListenerOwner.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "platform/linux/SystemDirectory.h"
#include "zorvane/BuildInfo.h"

#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace zorvane;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: ZorvaneFilter [--keep-alive] [--netfilter]\n"
                 "       ZorvaneFilter --remove-rules\n"
                 "Runs the content filter for the system directory ($ZORVANE_SYSTEM_DIR, default\n"
                 "$XDG_STATE_HOME/zorvane/system): follows filter-configuration.plist there and\n"
                 "answers flow requests on filter.sock. Stops on SIGTERM or SIGINT.\n"
                 "With --keep-alive it runs the filter as a child process and starts it again\n"
                 "whenever it crashes or is killed, as the system does for an activated\n"
                 "extension; SIGTERM or SIGINT stops both.\n"
                 "With --netfilter (needs CAP_NET_ADMIN, as root) it also decides every new\n"
                 "outbound TCP and UDP connection of the machine: netfilter rules of its own\n"
                 "queue their first packets, and a refused program's connection fails at once.\n"
                 "--remove-rules takes away whatever rules a host left behind (a killed one\n"
                 "leaves them, letting everything through) and exits.\n");
}

// The filter's own bundle identifier, from the extension's Info.plist when it runs from the
// bundle, else the one it was built with.
std::string mainBundleIdentifier() {
    if (auto executable = ExtensionBundle::runningExecutable()) {
        if (auto identifier = ExtensionBundle::identifier(*executable)) {
            return *identifier;
        }
    }
    return build_info::filterBundleIdentifier;
}

int runHost(bool netfilter) {
    const auto directory = SystemDirectory::path();
    if (!directory) {
        std::fprintf(stderr,
                     "ZorvaneFilter: no system directory: set ZORVANE_SYSTEM_DIR or HOME\n");
        return 1;
    }
    FilterHost::Dependencies dependencies;
    dependencies.systemDirectory = *directory;
    // The token goes only to a receiver of the user who wrote the configuration.
    EventReceiverCheck receiverCheck{
        std::make_shared<LinuxListenerOwner>(),
        [configuration = FilterConfigurationFile::inDirectory(*directory).path()]()
            -> std::optional<std::uint32_t> {
            struct stat facts {};
            if (::stat(configuration.c_str(), &facts) != 0) {
                return std::nullopt;
            }
            return facts.st_uid;
        }};
    dependencies.makeProvider =
        [bundleIdentifier = mainBundleIdentifier(),
         receiverCheck = std::move(receiverCheck)](std::shared_ptr<TaskInspector> taskInspector) {
            FilterDataProvider::Dependencies provider;
            provider.taskInspector = std::move(taskInspector);
            // The host hands every flow to the provider already; there is nothing to apply.
            provider.applySettings = [](auto completion) { completion(std::nullopt); };
            provider.mainBundleIdentifier = bundleIdentifier;
            // No activity sink given: the provider delivers observations and blocked attempts
            // with its own recorder, to the event channel named by the configuration.
            provider.activitySink = nullptr;
            provider.receiverCheck = receiverCheck;
            return std::make_unique<HostedFilterDataProvider>(std::move(provider));
        };
    // Our own programs are ELF files too; those of the bundle the host runs from are ours.
    const auto executable = ExtensionBundle::runningExecutable();
    dependencies.realProcesses = std::make_shared<LinuxTaskInspector>(
        "/proc", executable ? LinuxTaskInspector::ownBundleOf(*executable) : std::nullopt);
    dependencies.realProcessToken = [](std::int32_t pid) {
        return LinuxAuditTokens::tokenForPid(pid);
    };
    dependencies.readSignature = [](const std::string& file) {
        return MachOSignatureReader::readFile(file);
    };
    if (netfilter) {
        dependencies.makeFlowSource =
            [directory = *directory](HostFlowSource::Decide decide,
                                     HostFlowSource::ForgetProcess forgetProcess) {
                NetfilterFlowSource::Settings settings;
                // Two queues, each with its reader: a reader held up (preempted on a busy machine,
                // or still in the verdict, through which the kernel carries the connection on) then
                // holds up only half of the new connections. Measured against one queue with
                // bench_netfilter_connect (FilterAllow/1 and /2).
                settings.rules.queueCount = 2;
                settings.statusFile = directory / NetfilterFlowSource::statusFileName;
                // A host run inside a network namespace of its own (as the tests run it) names the
                // machine's first one, where alone the kernel reports process events.
                if (const char* network = std::getenv("ZORVANE_PROCESS_EVENTS_NETWORK");
                    network && *network) {
                    settings.processEventsNetwork = network;
                }
                return std::make_unique<NetfilterFlowSource>(
                    std::move(settings), std::move(decide),
                    [](std::int32_t pid) { return LinuxAuditTokens::tokenForPid(pid); },
                    std::move(forgetProcess));
            };
    }
    FilterHost host(std::move(dependencies));
    return host.run();
}

// A system extension starts with nothing of the process that asked for it. Whatever descriptors
// the starter leaked (a listening socket of the application, say) would otherwise live on in the
// filter for as long as it runs.
void closeInheritedDescriptors() {
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3u, ~0u, 0u) == 0) {
        return;
    }
#endif
    std::vector<int> open;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        const int descriptor = std::atoi(entry.path().filename().c_str());
        if (descriptor > 2) {
            open.push_back(descriptor);
        }
    }
    // The listing's own descriptor is among them, closed already by now; closing it again fails
    // harmlessly.
    for (const int descriptor : open) {
        ::close(descriptor);
    }
}

// The system's part: one keeper per system directory, holding the keeper lock for its life.
int runKeeper(bool netfilter) {
    const auto directory = SystemDirectory::path();
    if (!directory || !SystemDirectory::ensureExists(*directory)) {
        std::fprintf(stderr,
                     "ZorvaneFilter: no system directory: set ZORVANE_SYSTEM_DIR or HOME\n");
        return 1;
    }
    const auto lockPath = *directory / SystemDirectory::keeperLockName;
    auto keeperLock = FileLock::acquire(lockPath, FileLock::Wait::failIfHeld);
    if (!keeperLock) {
        std::fprintf(stderr, "ZorvaneFilter: the filter host of %s is kept running already (%s)\n",
                     directory->c_str(), lockPath.c_str());
        return 1;
    }
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        std::fprintf(stderr, "ZorvaneFilter: cannot find its own executable: %s\n",
                     error.message().c_str());
        return 1;
    }

    asio::io_context io;
    HostKeeper::Options options;
    options.executable = self.string();
    options.hostLock = *directory / SystemDirectory::hostLockName;
    if (netfilter) {
        options.arguments.push_back("--netfilter");
    }
    HostKeeper keeper(io, std::move(options));
    asio::signal_set signals(io, SIGTERM, SIGINT);
    signals.async_wait([&](const asio::error_code& signalError, int) {
        if (!signalError) {
            keeper.stop();
        }
    });
    if (auto problem = keeper.start([&] { io.stop(); })) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", problem->c_str());
        return 1;
    }
    io.run();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage(stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("ZorvaneFilter %s (%s)\n", build_info::shortVersion, build_info::buildNumber);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--remove-rules") == 0) {
        // What a package removal or a stopped service runs, so that no rule of ours outlives us.
        if (!NetfilterFlowSource::mayAdministerNetwork()) {
            std::fprintf(stderr, "ZorvaneFilter: removing the packet filter's rules needs "
                                 "CAP_NET_ADMIN (run it as root)\n");
            return 2;
        }
        if (auto problem = NetfilterRules(NetfilterRules::Settings{}).remove()) {
            std::fprintf(stderr, "ZorvaneFilter: %s\n", problem->c_str());
            return 1;
        }
        return 0;
    }
    bool keepAlive = false;
    bool netfilter = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        bool* flag = argument == "--keep-alive"  ? &keepAlive
                     : argument == "--netfilter" ? &netfilter
                                                 : nullptr;
        if (flag == nullptr || *flag) {
            printUsage(stderr);
            return 2;
        }
        *flag = true;
    }
    if (netfilter && !NetfilterFlowSource::mayAdministerNetwork()) {
        std::fprintf(stderr, "ZorvaneFilter: --netfilter changes the packet filter, which needs "
                             "CAP_NET_ADMIN (run it as root)\n");
        return 2;
    }
    closeInheritedDescriptors();
    // A client that hangs up before its reply must not end the host.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return keepAlive ? runKeeper(netfilter) : runHost(netfilter);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", error.what());
        return 1;
    }
}
