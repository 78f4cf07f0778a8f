#include "FakeTaskInspector.h"
#include "filter/FilterDataProvider.h"
#include "shared/CodeIdentity.h"

#include <algorithm>
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

// Two rule sets that block different processes, each with an allowance that covers exactly what
// it blocks: any whole rule set allows every flow, while rules taken from one and allowances from
// the other drop one. A decision that read the configuration twice would show as a drop.
TEST(FilterConcurrency, NoVerdictMixesTwoRuleSets) {
    constexpr int threadCount = 4;
    constexpr int flowsPerThread = 4000;
    constexpr int minimumSwaps = 2000;
    auto inspector = std::make_shared<FakeTaskInspector>();
    auto sink = std::make_shared<RecordingActivitySink>();
    auto clock = std::make_shared<ManualClock>(Date::fromUnixSeconds(1'800'000'000.0));
    FilterDataProvider provider({.taskInspector = inspector, .clock = clock, .activitySink = sink});

    const AuditToken mail = inspector->add(1, {"com.example.mail", {}, "/Applications/Mail.app/M"});
    const AuditToken chat = inspector->add(2, {"com.example.chat", {}, "/Applications/Chat.app/C"});
    const double later = 1'800'000'060.0;
    const auto blockingWithAllowance = [&](const std::string& signing, const std::string& bundle) {
        const std::string key = CodeIdentity::make(signing, std::nullopt).key();
        return std::make_shared<const PlistDictionary>(
            PlistDictionary{{"blockedCodeIdentities", PlistArray{key}},
                            {"blockedApplicationPaths", PlistArray{bundle}},
                            {"temporaryAllowedCodeIdentities", PlistDictionary{{key, later}}}});
    };
    const auto mailRules = blockingWithAllowance("com.example.mail", "/Applications/Mail.app");
    const auto chatRules = blockingWithAllowance("com.example.chat", "/Applications/Chat.app");
    provider.setVendorConfiguration(mailRules);

    std::atomic<bool> deciding{true};
    std::atomic<int> swaps{0};
    std::thread configurator([&] {
        for (int i = 0; deciding.load(); ++i) {
            provider.setVendorConfiguration(i % 2 == 0 ? chatRules : mailRules);
            ++swaps;
            std::this_thread::yield();
        }
    });
    std::atomic<int> drops{0};
    std::vector<std::thread> deciders;
    for (int t = 0; t < threadCount; ++t) {
        deciders.emplace_back([&, t] {
            // Until the configuration has changed many times under the decisions.
            for (int i = 0; i < flowsPerThread || swaps.load() < minimumSwaps; ++i) {
                FilterFlow flow;
                flow.direction = FilterFlow::Direction::outbound;
                flow.sourceProcessAuditToken = testing::bytesOf((i + t) % 2 == 0 ? mail : chat);
                flow.socket = SocketFlowInfo{6, std::nullopt, HostEndpoint{"192.0.2.1", "443"}};
                if (provider.handleNewFlow(flow) == FilterVerdict::drop) {
                    ++drops;
                }
            }
        });
    }
    for (auto& decider : deciders) {
        decider.join();
    }
    deciding = false;
    configurator.join();

    EXPECT_EQ(drops.load(), 0);
    EXPECT_TRUE(sink->blocked().empty());
    // Both rule sets were in force while flows were decided: each blocked process was matched.
    const auto observations = sink->observations();
    const auto matched = [&](const std::string& signing) {
        return std::any_of(observations.begin(), observations.end(), [&](const auto& record) {
            return record.process.signingIdentifier == signing;
        });
    };
    EXPECT_TRUE(matched("com.example.mail"));
    EXPECT_TRUE(matched("com.example.chat"));
}

} // namespace
} // namespace zorvane
