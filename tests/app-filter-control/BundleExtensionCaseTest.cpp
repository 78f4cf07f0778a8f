// A bundle whose extension is not spelt in lower case ("Loud.APP") is an application for
// inspection, so its path rule and path allowances have to survive the controller's normaliser
// and the filter's reading of the configuration, all the way to the verdict.
#include "app/filter-control/FilterRuleNormalizer.h"
#include "app/filter-control/FilterVendorConfiguration.h"
#include "filter/FilterDataProvider.h"
#include "tests/filter/FakeTaskInspector.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::FakeTaskInspector;
using testing::RecordingActivitySink;

FilterFlow outboundFrom(const AuditToken& token) {
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.sourceProcessAuditToken = testing::bytesOf(token);
    flow.socket = SocketFlowInfo{6, std::nullopt, HostEndpoint{"203.0.113.7", "443"}};
    return flow;
}

TEST(BundleExtensionCase, AnyCaseOfTheExtensionKeepsPathRulesAndAllowancesUpToTheVerdict) {
    auto clock = std::make_shared<ManualClock>(Date::fromUnixSeconds(1'800'000'000.0));
    const double now = clock->now().unixSeconds();

    FilterRules rules;
    rules.blockedApplicationPaths = {"/Applications/Loud.APP", "/Applications/Quiet.App/",
                                     "/Applications/Notes.txt"};
    rules.temporarilyAllowedApplicationPaths = {{"/Applications/Quiet.App", now + 60}};
    const FilterRuleNormalizer normalizer(OwnIdentifier(std::string("dev.quillmoor.Zorvane")), "/");
    const FilterRules normalized = normalizer.normalized(rules, now);
    EXPECT_EQ(normalized.blockedApplicationPaths,
              (std::vector<std::string>{"/Applications/Loud.APP", "/Applications/Quiet.App"}));
    EXPECT_EQ(normalized.temporarilyAllowedApplicationPaths,
              (std::map<std::string, double>{{"/Applications/Quiet.App", now + 60}}));

    auto inspector = std::make_shared<FakeTaskInspector>();
    auto sink = std::make_shared<RecordingActivitySink>();
    FilterDataProvider provider{
        {.taskInspector = inspector,
         .clock = clock,
         .mainBundleIdentifier = std::string("dev.quillmoor.Zorvane.FilterExtension"),
         .activitySink = sink}};
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(
        FilterVendorConfiguration::make(normalized, std::nullopt, nullptr)));

    // Helpers signed on their own: only the path rule can catch them.
    const auto loud = inspector->add(
        10, {"com.example.loud.helper", {}, "/Applications/Loud.APP/Contents/MacOS/Helper"});
    const auto quiet = inspector->add(
        11, {"com.example.quiet.helper", {}, "/Applications/Quiet.App/Contents/MacOS/Helper"});
    // Paths stay case-sensitive: another spelling of the directory is another path.
    const auto otherSpelling = inspector->add(
        12, {"com.example.loud.helper", {}, "/Applications/loud.app/Contents/MacOS/Helper"});

    EXPECT_EQ(provider.handleNewFlow(outboundFrom(loud)), FilterVerdict::drop);
    EXPECT_EQ(provider.handleNewFlow(outboundFrom(quiet)), FilterVerdict::allow);
    EXPECT_EQ(sink->observations().size(), 2u); // the allowed one was matched all the same
    EXPECT_EQ(provider.handleNewFlow(outboundFrom(otherSpelling)), FilterVerdict::allow);
    EXPECT_EQ(sink->observations().size(), 2u);

    clock->advance(60);
    EXPECT_EQ(provider.handleNewFlow(outboundFrom(quiet)), FilterVerdict::drop);
}

} // namespace
} // namespace zorvane
