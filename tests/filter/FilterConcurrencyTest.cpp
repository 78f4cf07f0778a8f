#include "FakeTaskInspector.h"
#include "filter/FilterDataProvider.h"
#include "shared/CodeIdentity.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

namespace zorvane {
namespace {

using testing::FakeTaskInspector;
using testing::RecordingActivitySink;

// Flows decided on several threads while the configuration changes and the identity cache
// evicts: every verdict must come from one whole rule set (run under ThreadSanitizer too).
TEST(FilterConcurrency, DecisionsStayConsistentWhileConfigurationAndCacheChange) {
    constexpr int processCount = 600; // well over the cache limit, so it keeps evicting
    constexpr int threadCount = 4;
    constexpr int flowsPerThread = 3000;

    auto inspector = std::make_shared<FakeTaskInspector>();
    auto sink = std::make_shared<RecordingActivitySink>();
    FilterDataProvider provider({.taskInspector = inspector,
                                 .clock = std::make_shared<ManualClock>(),
                                 .activitySink = sink});

    std::vector<AuditToken> tokens;
    PlistArray oddKeys;
    PlistArray oddPaths;
    for (int pid = 1; pid <= processCount; ++pid) {
        const std::string signing = "com.example.p" + std::to_string(pid);
        const std::string bundle = "/Applications/P" + std::to_string(pid) + ".app";
        tokens.push_back(inspector->add(pid, {signing, {}, bundle + "/Contents/MacOS/P"}));
        if (pid % 2 == 1) {
            oddKeys.emplace_back(CodeIdentity::make(signing, std::nullopt).key());
            oddPaths.emplace_back(bundle);
        }
    }
    // Two ways of blocking exactly the odd processes, and nothing blocked at all.
    const auto byIdentity = std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedCodeIdentities", oddKeys}});
    const auto byPath = std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedApplicationPaths", oddPaths}});
    const auto nothing = std::make_shared<const PlistDictionary>();
    provider.setVendorConfiguration(byIdentity);

    std::atomic<bool> deciding{true};
    std::thread configurator([&] {
        const std::shared_ptr<const PlistDictionary> cycle[] = {byPath, nothing, byIdentity};
        for (int i = 0; deciding.load(); ++i) {
            provider.setVendorConfiguration(cycle[i % 3]);
            std::this_thread::yield();
        }
    });

    std::atomic<int> evenDrops{0};
    std::atomic<int> drops{0};
    std::vector<std::thread> deciders;
    for (int t = 0; t < threadCount; ++t) {
        deciders.emplace_back([&, t] {
            for (int i = 0; i < flowsPerThread; ++i) {
                const int index = (i * 7 + t * 131) % processCount;
                FilterFlow flow;
                flow.direction = FilterFlow::Direction::outbound;
                flow.sourceProcessAuditToken = testing::bytesOf(tokens[index]);
                flow.socket = SocketFlowInfo{6, "example.com", HostEndpoint{"192.0.2.1", "443"}};
                if (provider.handleNewFlow(flow) == FilterVerdict::drop) {
                    ++drops;
                    if ((index + 1) % 2 == 0) {
                        ++evenDrops;
                    }
                }
            }
        });
    }
    for (auto& decider : deciders) {
        decider.join();
    }
    deciding = false;
    configurator.join();

    EXPECT_EQ(evenDrops.load(), 0);
    EXPECT_EQ(static_cast<int>(sink->blocked().size()), drops.load());
    EXPECT_LE(provider.identityCacheTokens().size(), FilterDataProvider::maximumIdentityCacheCount);

    provider.setVendorConfiguration(byPath);
    FilterFlow odd;
    odd.direction = FilterFlow::Direction::outbound;
    odd.sourceProcessAuditToken = testing::bytesOf(tokens[0]);
    EXPECT_EQ(provider.handleNewFlow(odd), FilterVerdict::drop);
}

} // namespace
} // namespace zorvane
