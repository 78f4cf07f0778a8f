// zorvane-load-run: the whole system under load. Flows from simulated processes go through
// filter.sock as fast as one client can send them, to the real filter host (started by the
// system-extension stand-in for the real application, Zorvane in window mode, offscreen) while
// the application takes the filter's reports. Half of the processes run executables of listed
// applications. Prints the throughput (against a baseline of the same run: as many inbound flows,
// which the filter does not examine), the host's and the application's peak memory, the envelopes
// the application received and whether the stored counts equal the drops.
//
//   zorvane-load-run [--flows N] [--processes P] [--state DIR]
//
// Run it inside a D-Bus session with a Secret Service (scripts/load-run.sh does).
#include "samples/SampleApplications.h"
#include "tests/system-support/ChildProcess.h"
#include "tests/system-support/FlowPipeline.h"
#include "tests/system-support/SystemSandbox.h"

#include <QCoreApplication>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace zorvane;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int executablesPerApplication = 5; // the main one and four helpers
const char* const unlistedTeam = "U9NL1STED0";
const char* const envelopeLine = "Envelope received: ";

struct Options {
    std::uint64_t flows = 200'000;
    int processes = 50;
    fs::path state;
};

std::optional<Options> parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (i + 1 >= argc) {
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (argument == "--flows") {
            options.flows = std::strtoull(value.c_str(), nullptr, 10);
        } else if (argument == "--processes") {
            options.processes = std::atoi(value.c_str());
        } else if (argument == "--state") {
            options.state = value;
        } else {
            return std::nullopt;
        }
    }
    if (options.flows == 0 || options.processes < 2) {
        return std::nullopt;
    }
    if (options.state.empty()) {
        char pattern[] = "/tmp/zorvane-load-XXXXXX";
        if (!::mkdtemp(pattern)) {
            return std::nullopt;
        }
        options.state = pattern;
    }
    return options;
}

template <typename Condition> bool waitFor(std::chrono::seconds limit, Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

struct Envelopes {
    int total = 0;
    int withActivity = 0;
    long activityEvents = 0;
    long observations = 0;
};

Envelopes countEnvelopes(const std::string& log) {
    Envelopes envelopes;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(envelopeLine);
        if (at == std::string::npos) {
            continue;
        }
        long events = 0;
        long observations = 0;
        if (std::sscanf(line.c_str() + at + std::strlen(envelopeLine),
                        "%ld activity events, %ld observations", &events, &observations) == 2) {
            ++envelopes.total;
            envelopes.withActivity += events > 0 ? 1 : 0;
            envelopes.activityEvents += events;
            envelopes.observations += observations;
        }
    }
    return envelopes;
}

double mebibytes(std::optional<long> kib) {
    return kib ? static_cast<double>(*kib) / 1024.0 : -1.0;
}

int run(const Options& options) {
    SystemSandbox sandbox(options.state);
    const fs::path bundle = ZORVANE_APP_BUNDLE;
    std::printf("State: %s\n", options.state.c_str());

    // The processes: half run executables of listed applications, half of unlisted ones.
    const int blockedProcesses = options.processes / 2;
    const int applications =
        (blockedProcesses + executablesPerApplication - 1) / executablesPerApplication;
    std::vector<fs::path> blocked;
    std::vector<BlockedApplication> listed;
    for (int a = 0; a < applications; ++a) {
        std::vector<std::string> helpers;
        for (int h = 1; h < executablesPerApplication; ++h) {
            helpers.push_back("Helper " + std::to_string(h));
        }
        const auto name = "Load " + std::to_string(a + 1);
        const auto path = SampleApplications::writeApplication(
            options.state / "apps" / (name + ".app"), "com.example.load" + std::to_string(a + 1),
            helpers);
        auto inspected = SystemSandbox::inspect(path);
        if (!inspected) {
            std::fprintf(stderr, "zorvane-load-run: cannot inspect %s\n", path.c_str());
            return 1;
        }
        listed.push_back(std::move(*inspected));
        blocked.push_back(path / "Contents/MacOS" / name);
        for (const auto& helper : helpers) {
            blocked.push_back(path / "Contents/Helpers" / helper);
        }
    }
    blocked.resize(static_cast<std::size_t>(blockedProcesses));
    std::vector<fs::path> unlisted;
    for (int u = 0; u < options.processes - blockedProcesses; ++u) {
        const auto path = options.state / "unlisted" / ("tool-" + std::to_string(u + 1));
        const auto bytes = SampleApplications::signedExecutable(
            "com.example.unlisted" + std::to_string(u + 1), unlistedTeam);
        fs::create_directories(path.parent_path());
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            std::fprintf(stderr, "zorvane-load-run: cannot write %s\n", path.c_str());
            return 1;
        }
        std::fclose(file);
        unlisted.push_back(path);
    }
    sandbox.seedBlockList(listed, true);

    // Flow i comes from process i % P and goes to one of four destinations.
    const char* const hosts[] = {"mail.example.com", "cdn.example.net", "api.example.org",
                                 "telemetry.example.io"};
    std::vector<std::string> outbound;
    std::vector<std::string> inbound;
    std::vector<bool> listedLine;
    for (int d = 0; d < 4; ++d) {
        for (int p = 0; p < options.processes; ++p) {
            const bool isListed = p % 2 == 0 && p / 2 < blockedProcesses;
            const fs::path& process =
                isListed ? blocked[static_cast<std::size_t>(p / 2)]
                         : unlisted[static_cast<std::size_t>(p / 2) % unlisted.size()];
            outbound.push_back(FlowPipeline::request(process, process, hosts[d], 443));
            inbound.push_back(FlowPipeline::request(process, process, hosts[d], 443, true));
            listedLine.push_back(isListed);
        }
    }
    std::uint64_t expectedDrops = 0;
    for (std::size_t line = 0; line < listedLine.size(); ++line) {
        if (listedLine[line] && line < options.flows) {
            expectedDrops += (options.flows - line - 1) / listedLine.size() + 1;
        }
    }

    SystemSandbox::EnvironmentOptions environment;
    environment.autoApprove = true;
    environment.applicationsDirectory = bundle.parent_path();
    environment.extra = {"QT_LOGGING_RULES=dev.quillmoor.Zorvane.Store.debug=true",
                         "QT_QPA_PLATFORM=offscreen"};
    const fs::path executable = bundle / "Contents/MacOS/Zorvane";
    ChildProcess application(executable, {}, sandbox.environment(environment),
                             sandbox.logDirectory() / "application");
    if (!application.started()) {
        std::fprintf(stderr, "zorvane-load-run: cannot start %s\n", executable.c_str());
        return 1;
    }

    // Up once the host drops a listed process's flow; those drops count too.
    const fs::path socket = sandbox.systemDirectory() / "filter.sock";
    std::uint64_t warmUpDrops = 0;
    const bool up = waitFor(60s, [&] {
        const auto probe = FlowPipeline::run(socket, {outbound.front()}, 1);
        warmUpDrops += probe.dropped;
        return probe.dropped == 1;
    });
    if (!up) {
        std::fprintf(stderr, "zorvane-load-run: the filter never dropped a listed flow\n%s",
                     application.standardError().c_str());
        sandbox.stopFilter();
        sandbox.stopStatusAgent();
        return 1;
    }

    const auto baseline = FlowPipeline::run(socket, inbound, options.flows);
    const auto loaded = FlowPipeline::run(socket, outbound, options.flows);
    for (const auto* result : {&baseline, &loaded}) {
        if (!result->problem.empty()) {
            std::fprintf(stderr, "zorvane-load-run: %s\n", result->problem.c_str());
            sandbox.stopFilter();
            sandbox.stopStatusAgent();
            return 1;
        }
    }
    const auto loadEnded = std::chrono::steady_clock::now();
    const std::uint64_t drops = loaded.dropped + warmUpDrops;
    const bool delivered = waitFor(
        120s, [&] { return sandbox.storedBlockedAttempts() >= static_cast<std::int64_t>(drops); });
    const double deliverySeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - loadEnded).count();
    const std::int64_t stored = sandbox.storedBlockedAttempts();

    const auto hostPid = sandbox.hostProcess();
    const auto hostPeak = hostPid ? SystemSandbox::peakResidentKiB(*hostPid) : std::nullopt;
    const auto applicationPeak = SystemSandbox::peakResidentKiB(application.pid());

    application.signal(SIGTERM);
    const auto applicationStatus = application.waitForExit(30s);
    const bool filterStopped = sandbox.stopFilter();
    // The application registered its status agent, which started and outlives it.
    sandbox.stopStatusAgent();
    const auto envelopes = countEnvelopes(application.standardError());

    const double flowsPerSecond = static_cast<double>(options.flows) / loaded.elapsed.count();
    const double baselinePerSecond = static_cast<double>(options.flows) / baseline.elapsed.count();
    const double runSeconds = loaded.elapsed.count() + deliverySeconds;
    const bool countsEqual = stored == static_cast<std::int64_t>(drops);
    const bool verdictsRight = loaded.dropped == expectedDrops && loaded.failed == 0;

    std::printf("Load: %llu flows from %d simulated processes (%d of them in %d listed "
                "applications) over one connection to filter.sock\n",
                static_cast<unsigned long long>(options.flows), options.processes, blockedProcesses,
                applications);
    std::printf("  Verdicts: %llu dropped, %llu allowed, %llu errors (%s)\n",
                static_cast<unsigned long long>(loaded.dropped),
                static_cast<unsigned long long>(loaded.allowed),
                static_cast<unsigned long long>(loaded.failed),
                verdictsRight ? "as listed" : "NOT AS LISTED");
    std::printf("  Throughput: %.0f flows/s in %.2f s; baseline %.0f flows/s (inbound flows, not "
                "examined); ratio %.2f\n",
                flowsPerSecond, loaded.elapsed.count(), baselinePerSecond,
                flowsPerSecond / baselinePerSecond);
    std::printf("  Peak memory (VmHWM): filter host %.1f MiB, application %.1f MiB\n",
                mebibytes(hostPeak), mebibytes(applicationPeak));
    std::printf("  Envelopes received by the application: %d (%d with activity carrying %ld "
                "aggregates, %ld observations) over %.1f s of load and delivery\n",
                envelopes.total, envelopes.withActivity, envelopes.activityEvents,
                envelopes.observations, runSeconds);
    std::printf("  Stored blocked attempts: %lld, drops %llu (%llu while waiting for the host): "
                "%s, stored %.2f s after the last flow\n",
                static_cast<long long>(stored), static_cast<unsigned long long>(drops),
                static_cast<unsigned long long>(warmUpDrops), countsEqual ? "equal" : "NOT EQUAL",
                deliverySeconds);
    if (!applicationStatus || *applicationStatus != 0 || !filterStopped) {
        std::printf("  Shutdown: application %s, filter %s\n",
                    applicationStatus ? std::to_string(*applicationStatus).c_str() : "hung",
                    filterStopped ? "stopped" : "still running");
    }
    return delivered && countsEqual && verdictsRight ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    // Inspection renders icons through Qt's image plugins.
    QCoreApplication qt(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    const auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: zorvane-load-run [--flows N] [--processes P] [--state DIR]\n");
        return 2;
    }
    return run(*options);
}
