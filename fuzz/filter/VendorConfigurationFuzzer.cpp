// Vendor dictionaries come from a configuration file that any process able to write it controls:
// whatever it holds, reading the rules and deciding flows must neither crash nor misbehave.
#include "filter/FilterDataProvider.h"
#include "shared/PlistCodec.h"

#include <cstdint>
#include <cstdlib>
#include <map>

namespace zorvane {
namespace {

class FuzzTaskInspector final : public TaskInspector {
public:
    struct Process {
        std::string signingIdentifier;
        std::optional<std::string> team;
        std::string path;
    };
    std::map<std::int32_t, Process> processes;

    std::unique_ptr<Task> createTask(const AuditToken& token) override {
        const auto it = processes.find(token.pid());
        return it == processes.end() ? nullptr : std::make_unique<FuzzTask>(it->second);
    }
    std::optional<std::string> processPath(std::int32_t pid) override {
        const auto it = processes.find(pid);
        return it == processes.end() ? std::nullopt : std::optional(it->second.path);
    }

private:
    class FuzzTask final : public Task {
    public:
        explicit FuzzTask(Process process) : process_(std::move(process)) {}
        std::optional<std::string> signingIdentifier() const override {
            return process_.signingIdentifier;
        }
        std::optional<PlistValue> entitlementValue(const std::string& name) const override {
            if (name == "com.apple.developer.team-identifier" && process_.team) {
                return PlistValue(*process_.team);
            }
            return std::nullopt;
        }

    private:
        Process process_;
    };
};

// A dictionary may name any port: the fuzzer must not connect to it, nor start a thread per input.
class DiscardedActivity final : public FilterActivitySink {
public:
    void recordObservation(const ProcessIdentity&, const ProcessIdentity*) override {}
    void recordBlockedActivity(const FilterFlow&, const ProcessIdentity&,
                               const ProcessIdentity*) override {}
    void flushPendingActivity() override {}
};

std::vector<std::uint8_t> tokenFor(std::int32_t pid) {
    AuditToken token;
    token.words[AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace
} // namespace zorvane

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zorvane;
    const auto value = PlistCodec::read(std::span(data, size));
    if (!value || !value->dictionary()) {
        return 0;
    }
    auto dictionary = std::make_shared<const PlistDictionary>(*value->dictionary());

    auto inspector = std::make_shared<FuzzTaskInspector>();
    FilterDataProvider provider(
        {.taskInspector = inspector,
         .clock = std::make_shared<ManualClock>(),
         .mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension"),
         .activitySink = std::make_shared<DiscardedActivity>()});
    provider.setVendorConfiguration(dictionary);

    // The readers' promises, whatever the input.
    for (const auto& key : provider.blockedIdentityKeys()) {
        check(key.find('.') != std::string::npos);
    }
    for (const auto& path : provider.blockedBundlePaths()) {
        check(path.starts_with('/') && path.ends_with(".app"));
        check(FilterDataProvider::standardizedBundlePath(path) == path);
    }
    for (const auto& [path, expiry] : provider.temporaryBundlePathExpiries()) {
        check(path.ends_with(".app"));
    }
    if (const auto port = provider.configuredEventChannelPort()) {
        check(*port >= 1);
    }
    if (const auto token = provider.configuredEventChannelToken()) {
        check(token->size() >= 64);
    }

    // Processes that live inside every configured bundle, and flows to every configured text as
    // a host: decisions must complete for each.
    std::int32_t pid = 1;
    std::vector<bool> insideBlockedBundle{false};
    for (const auto& path : provider.blockedBundlePaths()) {
        inspector->processes[pid++] = {"com.example.fuzz", std::string(" T "),
                                       path + "/Contents/x"};
        // The provider keeps at most 4096 bytes of a path.
        insideBlockedBundle.push_back(path.size() + 11 <= 4096);
        if (pid > 32) {
            break;
        }
    }
    inspector->processes[pid++] = {"com.example.other", std::nullopt, "relative/path.app"};
    for (const auto& [key, entry] : *dictionary) {
        FilterFlow flow;
        flow.direction = FilterFlow::Direction::outbound;
        flow.sourceAppAuditToken = tokenFor(1);
        flow.sourceProcessAuditToken = tokenFor(pid - 1);
        const std::string host = entry.string() ? *entry.string() : key;
        flow.socket = SocketFlowInfo{17, host, HostEndpoint{key, "53"}};
        (void)provider.handleNewFlow(flow);
        flow.socket->socketProtocol = 6;
        (void)provider.handleNewFlow(flow);
        (void)FilterDataProvider::flowDestination(flow);
        (void)FilterDataProvider::standardizedBundlePath(key);
    }
    for (std::int32_t p = 1; p < pid; ++p) {
        FilterFlow flow;
        flow.direction = FilterFlow::Direction::outbound;
        flow.sourceProcessAuditToken = tokenFor(p);
        const auto verdict = provider.handleNewFlow(flow);
        // Everything inside a blocked bundle is dropped unless an allowance covers it.
        if (p < pid - 1 && insideBlockedBundle[static_cast<std::size_t>(p)] &&
            provider.temporaryBundlePathExpiries().empty() &&
            provider.temporaryIdentityExpiries().empty()) {
            check(verdict == FilterVerdict::drop);
        }
    }
    return 0;
}
