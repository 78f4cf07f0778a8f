// The verdict on the path of every new connection: an outbound TCP flow whose two identities are
// already cached, against rule sets of growing size. The small rule set is the baseline; the
// large ones must cost about the same, because the rules are derived once per configuration and
// looked up by hashing.
#include "filter/FilterDataProvider.h"
#include "shared/CodeIdentity.h"

#include <benchmark/benchmark.h>
#include <map>

namespace zorvane {
namespace {

class StaticTaskInspector final : public TaskInspector {
public:
    struct Process {
        std::string signingIdentifier;
        std::string team;
        std::string path;
    };

    AuditToken add(std::int32_t pid, Process process) {
        processes_[pid] = std::move(process);
        AuditToken token;
        token.words[AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
        token.words[AuditToken::generationWord] = 12345;
        return token;
    }

    std::unique_ptr<Task> createTask(const AuditToken& token) override {
        const auto it = processes_.find(token.pid());
        return it == processes_.end() ? nullptr : std::make_unique<StaticTask>(it->second);
    }
    std::optional<std::string> processPath(std::int32_t pid) override {
        const auto it = processes_.find(pid);
        return it == processes_.end() ? std::nullopt : std::optional(it->second.path);
    }

private:
    class StaticTask final : public Task {
    public:
        explicit StaticTask(Process process) : process_(std::move(process)) {}
        std::optional<std::string> signingIdentifier() const override {
            return process_.signingIdentifier;
        }
        std::optional<PlistValue> entitlementValue(const std::string& name) const override {
            if (name == "com.apple.developer.team-identifier") {
                return PlistValue(process_.team);
            }
            return std::nullopt;
        }

    private:
        Process process_;
    };

    std::map<std::int32_t, Process> processes_;
};

class NoActivity final : public FilterActivitySink {
public:
    void recordObservation(const ProcessIdentity&, const ProcessIdentity*) override {}
    void recordBlockedActivity(const FilterFlow&, const ProcessIdentity&,
                               const ProcessIdentity*) override {}
    void flushPendingActivity() override {}
};

struct Scenario {
    int blockedCount = 0;
    int temporaryCount = 0;
    bool matching = false;
};

void decideCachedFlow(benchmark::State& state, Scenario scenario) {
    auto inspector = std::make_shared<StaticTaskInspector>();
    FilterDataProvider provider(
        {.taskInspector = inspector,
         .clock = std::make_shared<ManualClock>(),
         .mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension"),
         .activitySink = std::make_shared<NoActivity>()});

    const AuditToken application =
        inspector->add(500, {"com.example.browser", "WEBTEAM1",
                             "/Applications/Browser.app/Contents/MacOS/Browser"});
    const AuditToken process = inspector->add(
        501, {"com.example.browser.helper", "WEBTEAM1",
              "/Applications/Browser.app/Contents/Frameworks/Browser Helper.app/Contents/MacOS/"
              "Browser Helper"});

    PlistArray keys;
    PlistArray paths;
    PlistDictionary temporaryKeys;
    PlistDictionary temporaryPaths;
    for (int i = 0; i < scenario.blockedCount; ++i) {
        const std::string name = "com.example.blocked" + std::to_string(i);
        keys.emplace_back(CodeIdentity::make(name, "TEAM" + std::to_string(i)).key());
        paths.emplace_back("/Applications/Blocked " + std::to_string(i) + ".app");
    }
    for (int i = 0; i < scenario.temporaryCount / 2; ++i) {
        const std::string name = "com.example.allowed" + std::to_string(i);
        temporaryKeys[CodeIdentity::make(name, "TEAM").key()] = 4e9;
        temporaryPaths["/Applications/Allowed " + std::to_string(i) + ".app"] = 4e9;
    }
    if (scenario.matching) {
        keys.emplace_back(CodeIdentity::make("com.example.browser.helper", "WEBTEAM1").key());
    }
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(PlistDictionary{
        {"blockedCodeIdentities", keys},
        {"blockedApplicationPaths", paths},
        {"temporaryAllowedCodeIdentities", temporaryKeys},
        {"temporaryAllowedApplicationPaths", temporaryPaths},
    }));

    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    const auto appBytes = application.bytes();
    const auto processBytes = process.bytes();
    flow.sourceAppAuditToken.emplace(appBytes.begin(), appBytes.end());
    flow.sourceProcessAuditToken.emplace(processBytes.begin(), processBytes.end());
    flow.socket = SocketFlowInfo{6, "www.example.com", HostEndpoint{"93.184.216.34", "443"}};

    const FilterVerdict expected = scenario.matching ? FilterVerdict::drop : FilterVerdict::allow;
    if (provider.handleNewFlow(flow) != expected) {
        state.SkipWithError("unexpected verdict");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider.handleNewFlow(flow));
    }
}

void BM_CachedFlow_10Rules_NotMatching(benchmark::State& state) {
    decideCachedFlow(state, {10, 0, false});
}
void BM_CachedFlow_1000Rules_200Allowances_NotMatching(benchmark::State& state) {
    decideCachedFlow(state, {1000, 200, false});
}
void BM_CachedFlow_1000Rules_200Allowances_Dropped(benchmark::State& state) {
    decideCachedFlow(state, {1000, 200, true});
}

BENCHMARK(BM_CachedFlow_10Rules_NotMatching);
BENCHMARK(BM_CachedFlow_1000Rules_200Allowances_NotMatching);
BENCHMARK(BM_CachedFlow_1000Rules_200Allowances_Dropped);

} // namespace
} // namespace zorvane

