// ZorvaneFilter on Linux: the filter extension process. The provider is the portable one; the
// host around it stands in for the system's network-extension machinery (see FilterHost).
#include "codesign/MachOSignatureReader.h"
#include "filter/host/ExtensionBundle.h"
#include "filter/host/FilterHost.h"
#include "filter/host/HostedFilterDataProvider.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "platform/linux/SystemDirectory.h"
#include "zorvane/BuildInfo.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

using namespace zorvane;

void printUsage(std::FILE* out) {
    std::fprintf(out,
                 "usage: ZorvaneFilter\n"
                 "Runs the content filter for the system directory ($ZORVANE_SYSTEM_DIR, default\n"
                 "$XDG_STATE_HOME/zorvane/system): follows filter-configuration.plist there and\n"
                 "answers flow requests on filter.sock. Stops on SIGTERM or SIGINT.\n");
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

int runHost() {
    const auto directory = SystemDirectory::path();
    if (!directory) {
        std::fprintf(stderr,
                     "ZorvaneFilter: no system directory: set ZORVANE_SYSTEM_DIR or HOME\n");
        return 1;
    }
    FilterHost::Dependencies dependencies;
    dependencies.systemDirectory = *directory;
    dependencies.makeProvider =
        [bundleIdentifier = mainBundleIdentifier()](std::shared_ptr<TaskInspector> taskInspector) {
            FilterDataProvider::Dependencies provider;
            provider.taskInspector = std::move(taskInspector);
            // The host hands every flow to the provider already; there is nothing to apply.
            provider.applySettings = [](auto completion) { completion(std::nullopt); };
            provider.mainBundleIdentifier = bundleIdentifier;
            // No activity sink given: the provider delivers observations and blocked attempts
            // with its own recorder, to the event channel named by the configuration.
            provider.activitySink = nullptr;
            return std::make_unique<HostedFilterDataProvider>(std::move(provider));
        };
    dependencies.realProcesses = std::make_shared<LinuxTaskInspector>();
    dependencies.realProcessToken = [](std::int32_t pid) {
        return LinuxAuditTokens::tokenForPid(pid);
    };
    dependencies.readSignature = [](const std::string& executable) {
        return MachOSignatureReader::readFile(executable);
    };
    FilterHost host(std::move(dependencies));
    return host.run();
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
    if (argc >= 2) {
        printUsage(stderr);
        return 2;
    }
    // A client that hangs up before its reply must not end the host.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return runHost();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", error.what());
        return 1;
    }
}
