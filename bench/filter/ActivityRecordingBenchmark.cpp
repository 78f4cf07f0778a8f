// Recording a blocked attempt on a flow thread, against the least any aggregation can cost: a
// mutex-protected std::unordered_map insert keyed by the same id text, in the same run, of the
// same record (BaselineMapInsert) and, as a lower bound, of a bare counter
// (BaselineCounterInsert). Both the common case (the aggregate is already pending) and a new
// aggregate are measured; the recording must stay within twice the record baseline.
#include "filter/FilterActivityRecorder.h"

#include <benchmark/benchmark.h>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zorvane {
namespace {

// Fresh aggregates per round; then the maps are emptied outside the timing.
constexpr int newIdsPerRound = 4096;

const ProcessIdentity application{"com.example.browser", "WEBTEAM1",
                                  "/Applications/Browser.app/Contents/MacOS/Browser"};
const ProcessIdentity helper{"com.example.browser.helper", "WEBTEAM1",
                             "/Applications/Browser.app/Contents/Frameworks/Browser Helper.app/"
                             "Contents/MacOS/Browser Helper"};

FilterFlow flowToPort(int port) {
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.socket =
        SocketFlowInfo{6, "www.example.com", HostEndpoint{"93.184.216.34", std::to_string(port)}};
    return flow;
}

std::unique_ptr<FilterActivityRecorder> quietRecorder() {
    // No channel and flushes far away: only the recording itself is measured.
    return std::make_unique<FilterActivityRecorder>(
        FilterActivityRecorder::Dependencies{
            .eventChannelPort = [] { return std::optional<std::uint16_t>(); },
            .eventChannelToken = [] { return std::optional<std::string>(); },
            .clock = std::make_shared<ManualClock>()},
        FilterActivityRecorder::Timing{.activityFlushInterval = std::chrono::hours(1),
                                       .retryDelay = std::chrono::hours(1)});
}

std::vector<std::string> idsOf(const std::vector<FilterFlow>& flows) {
    std::vector<std::string> ids;
    for (const auto& flow : flows) {
        ids.push_back(
            FilterActivityRecorder::makeActivityEvent(flow, helper, &application, Date{}).id());
    }
    return ids;
}

std::vector<FilterFlow> distinctFlows() {
    std::vector<FilterFlow> flows;
    for (int i = 0; i < newIdsPerRound; ++i) {
        flows.push_back(flowToPort(10000 + i));
    }
    return flows;
}

// The record itself, built beforehand: the baseline only stores it (a new id) or counts it (an
// id already there).
struct BareRecordMap {
    std::mutex lock;
    std::unordered_map<std::string, NetworkActivityEvent> records;

    void insert(const std::string& id, const NetworkActivityEvent& event) {
        std::lock_guard guard(lock);
        const auto [it, inserted] = records.try_emplace(id, event);
        if (!inserted) {
            ++it->second.blockedConnectionCount;
        }
    }
    void clear() { records.clear(); }
};

struct BareCounterMap {
    std::mutex lock;
    std::unordered_map<std::string, std::int64_t> counts;

    void insert(const std::string& id, const NetworkActivityEvent&) {
        std::lock_guard guard(lock);
        ++counts.try_emplace(id, 0).first->second;
    }
    void clear() { counts.clear(); }
};

std::vector<NetworkActivityEvent> eventsOf(const std::vector<FilterFlow>& flows) {
    std::vector<NetworkActivityEvent> events;
    for (const auto& flow : flows) {
        events.push_back(
            FilterActivityRecorder::makeActivityEvent(flow, helper, &application, Date{}));
    }
    return events;
}

// The filter process always has more than one thread, and the C library takes shortcuts in a
// process that has only one; the baselines therefore run beside the same idle observation
// thread that the recorder runs beside.
struct IdleObservationThread {
    IdleObservationThread() { recorder->recordBlockedActivity(flowToPort(1), helper, nullptr); }
    std::unique_ptr<FilterActivityRecorder> recorder = quietRecorder();
};

template <typename Map> void baselinePending(benchmark::State& state) {
    const IdleObservationThread sameConditions;
    const auto events = eventsOf({flowToPort(443)});
    const std::string id = events.front().id();
    Map map;
    map.insert(id, events.front());
    for (auto _ : state) {
        map.insert(id, events.front());
    }
    benchmark::DoNotOptimize(map);
}

template <typename Map> void baselineNew(benchmark::State& state) {
    const IdleObservationThread sameConditions;
    const auto events = eventsOf(distinctFlows());
    const std::vector<std::string> ids = idsOf(distinctFlows());
    Map map;
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == ids.size()) {
            state.PauseTiming();
            map.clear();
            next = 0;
            state.ResumeTiming();
        }
        map.insert(ids[next], events[next]);
        ++next;
    }
    benchmark::DoNotOptimize(map);
}

void BM_BaselineMapInsertPending(benchmark::State& state) {
    baselinePending<BareRecordMap>(state);
}
BENCHMARK(BM_BaselineMapInsertPending);
void BM_BaselineCounterInsertPending(benchmark::State& state) {
    baselinePending<BareCounterMap>(state);
}
BENCHMARK(BM_BaselineCounterInsertPending);

void BM_RecordBlockedActivityPending(benchmark::State& state) {
    auto recorder = quietRecorder();
    const FilterFlow flow = flowToPort(443);
    recorder->recordBlockedActivity(flow, helper, &application);
    for (auto _ : state) {
        recorder->recordBlockedActivity(flow, helper, &application);
    }
    state.counters["pending"] = static_cast<double>(recorder->pendingActivity().size());
}
BENCHMARK(BM_RecordBlockedActivityPending);

void BM_BaselineMapInsertNew(benchmark::State& state) {
    baselineNew<BareRecordMap>(state);
}
BENCHMARK(BM_BaselineMapInsertNew);
void BM_BaselineCounterInsertNew(benchmark::State& state) {
    baselineNew<BareCounterMap>(state);
}
BENCHMARK(BM_BaselineCounterInsertNew);

void BM_RecordBlockedActivityNew(benchmark::State& state) {
    const std::vector<FilterFlow> flows = distinctFlows();
    auto recorder = quietRecorder();
    std::size_t next = 0;
    for (auto _ : state) {
        if (next == flows.size()) {
            state.PauseTiming();
            recorder = quietRecorder();
            next = 0;
            state.ResumeTiming();
        }
        recorder->recordBlockedActivity(flows[next++], helper, &application);
    }
}
BENCHMARK(BM_RecordBlockedActivityNew);

} // namespace
} // namespace zorvane
