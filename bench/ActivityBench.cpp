// The views ask for every blocked application's attempt count and network-process rows, and
// for the recent attempts, on each redraw; the persistence queue merges every envelope into the
// activity file. Both are measured at the caps (1,000 events, 256 observations) with 100
// applications, next to a baseline of the same run: reading and decoding the full activity file
// as a load does.
#include "app/store/ActivityLog.h"
#include "app/store/ActivityQueries.h"
#include "tests/support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <memory>

namespace zorvane {
namespace {

constexpr int applicationCount = 100;
const Date now = Date::fromUnixSeconds(1'800'000'000.0);

std::string team(int index) {
    return "TEAM" + std::to_string(100000 + index);
}

std::vector<BlockedApplication> makeApplications() {
    std::vector<BlockedApplication> applications;
    for (int index = 0; index < applicationCount; ++index) {
        BlockedApplication app;
        app.id = Uuid::random();
        app.name = "Application " + std::to_string(index);
        app.signingIdentifier = "com.vendor" + std::to_string(index) + ".app";
        app.bundleIdentifier = app.signingIdentifier;
        app.teamIdentifier = team(index);
        std::vector<CodeIdentity> helpers;
        for (int helper = 0; helper < 4; ++helper) {
            helpers.push_back(CodeIdentity::make(
                app.signingIdentifier + ".helper" + std::to_string(helper), team(index)));
        }
        app.auxiliaryCodeIdentities = helpers;
        app.inspectionVersion = 5;
        app.path = "/Applications/Application " + std::to_string(index) + ".app";
        applications.push_back(std::move(app));
    }
    return applications;
}

// A mix of how records relate to the list: the process's own identity, the application it
// acted for, a path inside the bundle, or nothing listed at all.
NetworkActivityEvent makeEvent(int index, int salt) {
    const int app = index % applicationCount;
    NetworkActivityEvent event;
    const std::string signing = "com.vendor" + std::to_string(app) + ".app";
    switch (index % 4) {
    case 0:
        event.processSigningIdentifier = signing + ".helper" + std::to_string(index % 4);
        event.processTeamIdentifier = team(app);
        break;
    case 1:
        event.processSigningIdentifier = "org.other.tool";
        event.processTeamIdentifier = "OTHERTEAM";
        event.sourceApplicationIdentifier = signing;
        event.sourceApplicationTeamIdentifier = team(app);
        break;
    case 2:
        event.processSigningIdentifier = "unknown" + std::to_string(index);
        event.processExecutablePath =
            "/Applications/Application " + std::to_string(app) + ".app/Contents/Helpers/tool";
        break;
    default:
        event.processSigningIdentifier = "org.unlisted" + std::to_string(index);
        event.processTeamIdentifier = "UNLISTED";
        event.processExecutablePath = "/usr/local/bin/tool" + std::to_string(index);
        break;
    }
    event.destinationHost = "host" + std::to_string(index) + "-" + std::to_string(salt) + ".com";
    event.destinationPort = "443";
    event.firstSeenAt = now.addingSeconds(-index);
    event.lastSeenAt = event.firstSeenAt;
    event.blockedConnectionCount = 1 + index % 7;
    return event;
}

DiscoveredNetworkProcess makeObservation(int index) {
    const auto event = makeEvent(index, 0);
    DiscoveredNetworkProcess observation;
    observation.signingIdentifier = event.processSigningIdentifier;
    observation.teamIdentifier = event.processTeamIdentifier;
    observation.sourceApplicationIdentifier = event.sourceApplicationIdentifier;
    observation.sourceApplicationTeamIdentifier = event.sourceApplicationTeamIdentifier;
    observation.executablePath = event.processExecutablePath;
    observation.firstSeenAt = event.firstSeenAt;
    observation.lastSeenAt = event.lastSeenAt;
    observation.connectionCount = 1;
    return observation;
}

std::vector<NetworkActivityEvent> makeEvents(int count, int salt) {
    std::vector<NetworkActivityEvent> events;
    for (int index = 0; index < count; ++index) {
        events.push_back(makeEvent(index, salt));
    }
    return events;
}

std::vector<DiscoveredNetworkProcess> makeObservations() {
    std::vector<DiscoveredNetworkProcess> observations;
    for (int index = 0; index < static_cast<int>(ActivityLog::observationLimit); ++index) {
        observations.push_back(makeObservation(index));
    }
    return observations;
}

void redraw(const ActivityQueries& queries) {
    for (const auto& application : queries.applications()) {
        benchmark::DoNotOptimize(queries.blockedAttemptCount(application));
        benchmark::DoNotOptimize(queries.networkComponents(application));
    }
    for (const auto& attempt : queries.recentAttempts()) {
        benchmark::DoNotOptimize(queries.owningApplication(attempt));
    }
}

// One full redraw's worth of queries on prepared lists.
void BM_RedrawQueries(benchmark::State& state) {
    const ActivityQueries queries(makeApplications(), makeEvents(1000, 0), makeObservations());
    for (auto _ : state) {
        redraw(queries);
    }
}
BENCHMARK(BM_RedrawQueries)->Unit(benchmark::kMillisecond);

// Preparing the lists, which happens only when one of them changes (at most once per refresh).
void BM_PrepareQueries(benchmark::State& state) {
    const auto applications = makeApplications();
    const auto events = makeEvents(1000, 0);
    const auto observations = makeObservations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ActivityQueries(applications, events, observations));
    }
}
BENCHMARK(BM_PrepareQueries)->Unit(benchmark::kMillisecond);

struct FullLog {
    TemporaryDirectory container;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(now);
    ActivityLog log{container.path(), clock};
    FullLog() { log.mergeEvents(makeEvents(1000, 0)); }
};

// Baseline: what a load does with the same full file (lock, read, decode, window, sort).
void BM_BaselineLoadFullActivityFile(benchmark::State& state) {
    FullLog full;
    for (auto _ : state) {
        benchmark::DoNotOptimize(full.log.loadEvents());
    }
}
BENCHMARK(BM_BaselineLoadFullActivityFile)->Unit(benchmark::kMillisecond);

// One envelope of 50 new aggregates into the full file: read, decode, merge, cap, encode and
// the durable atomic replacement (fsync of the file and of its directory).
void BM_MergeEnvelopeIntoFullFile(benchmark::State& state) {
    FullLog full;
    int salt = 1;
    for (auto _ : state) {
        state.PauseTiming();
        auto envelope = makeEvents(50, salt++);
        for (auto& event : envelope) {
            event.lastSeenAt = full.clock->now();
        }
        full.clock->advance(1.0);
        state.ResumeTiming();
        full.log.persistEnvelopeContents(envelope, {});
    }
}
BENCHMARK(BM_MergeEnvelopeIntoFullFile)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace zorvane

BENCHMARK_MAIN();
