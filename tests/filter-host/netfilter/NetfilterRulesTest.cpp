#include "filter/host/netfilter/NetfilterRules.h"

#include "filter/host/netfilter/ExternalCommand.h"
#include "tests/system-support/NetworkNamespace.h"

#include <algorithm>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

using testing::NetworkNamespace;

std::vector<std::string> listing(const char* tool) {
    const auto result = ExternalCommand::run({tool, "-S"});
    EXPECT_TRUE(result.succeeded()) << tool;
    std::vector<std::string> lines;
    std::istringstream in(result.output);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> outputRules(const std::vector<std::string>& lines) {
    std::vector<std::string> rules;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(rules),
                 [](const std::string& line) { return line.starts_with("-A OUTPUT "); });
    return rules;
}

class NetfilterRulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto reason = NetworkNamespace::unavailableReason()) {
            GTEST_SKIP() << *reason;
        }
    }
};

TEST_F(NetfilterRulesTest, StartWritesOurChainBehindOneJumpAndStopLeavesOnlyWhatWasThere) {
    const auto failure = NetworkNamespace::run([] {
        // Somebody else's rules, which must survive us.
        for (const char* tool : {"iptables", "ip6tables"}) {
            ASSERT_TRUE(ExternalCommand::run({tool, "-N", "OTHER"}).succeeded());
            ASSERT_TRUE(ExternalCommand::run({tool, "-A", "OUTPUT", "-p", "tcp", "-j", "OTHER"})
                            .succeeded());
        }
        const auto before4 = listing("iptables");
        const auto before6 = listing("ip6tables");

        NetfilterRules rules(
            {.chain = "ZV_TEST", .firstQueue = 100, .queueCount = 2, .dropMark = 0x2f5a0001});
        ASSERT_EQ(rules.install(), std::nullopt);
        // A second start (a host restarted over a live one) still leaves one jump.
        ASSERT_EQ(rules.install(), std::nullopt);

        for (const auto& [tool, unreachable] : {std::pair{"iptables", "icmp-port-unreachable"},
                                                std::pair{"ip6tables", "icmp6-port-unreachable"}}) {
            const auto lines = listing(tool);
            const auto output = outputRules(lines);
            ASSERT_FALSE(output.empty());
            EXPECT_EQ(output.front(), "-A OUTPUT -j ZV_TEST") << tool << ": ours comes first";
            EXPECT_EQ(std::count(output.begin(), output.end(), "-A OUTPUT -j ZV_TEST"), 1);
            EXPECT_THAT(lines, ::testing::IsSupersetOf(std::vector<std::string>{
                                   "-N ZV_TEST",
                                   "-A ZV_TEST -p tcp -m mark --mark 0x2f5a0001 -j REJECT "
                                   "--reject-with tcp-reset",
                                   std::string("-A ZV_TEST -p udp -m mark --mark 0x2f5a0001 -j "
                                               "REJECT --reject-with ") +
                                       unreachable,
                                   "-A ZV_TEST -p tcp -m tcp --tcp-flags FIN,SYN,RST,ACK SYN -j "
                                   "NFQUEUE --queue-balance 100:101 --queue-bypass",
                                   "-A ZV_TEST -p udp -m conntrack --ctstate NEW -j NFQUEUE "
                                   "--queue-balance 100:101 --queue-bypass"}))
                << tool;
            // The reject rules come before the queue rules, or a refused packet would be
            // queued again.
            const auto firstReject = std::find_if(lines.begin(), lines.end(), [](auto& line) {
                return line.starts_with("-A ZV_TEST") && line.find("REJECT") != line.npos;
            });
            const auto firstQueue = std::find_if(lines.begin(), lines.end(), [](auto& line) {
                return line.starts_with("-A ZV_TEST") && line.find("NFQUEUE") != line.npos;
            });
            EXPECT_LT(firstReject - lines.begin(), firstQueue - lines.begin());
        }

        ASSERT_EQ(rules.remove(), std::nullopt);
        EXPECT_EQ(listing("iptables"), before4);
        EXPECT_EQ(listing("ip6tables"), before6);
        EXPECT_EQ(rules.remove(), std::nullopt) << "nothing left to remove is no failure";
    });
    EXPECT_EQ(failure, "");
}

TEST_F(NetfilterRulesTest, LeftoversOfACrashedHostAreReplaced) {
    const auto failure = NetworkNamespace::run([] {
        for (const char* tool : {"iptables", "ip6tables"}) {
            ASSERT_TRUE(ExternalCommand::run({tool, "-N", "ZV_TEST"}).succeeded());
            ASSERT_TRUE(ExternalCommand::run({tool, "-A", "ZV_TEST", "-j", "DROP"}).succeeded());
            ASSERT_TRUE(ExternalCommand::run({tool, "-A", "OUTPUT", "-j", "ZV_TEST"}).succeeded());
            ASSERT_TRUE(ExternalCommand::run({tool, "-A", "OUTPUT", "-o", "lo", "-j", "ZV_TEST"})
                            .succeeded());
        }
        NetfilterRules rules({.chain = "ZV_TEST", .firstQueue = 7, .queueCount = 1});
        ASSERT_EQ(rules.install(), std::nullopt);
        for (const char* tool : {"iptables", "ip6tables"}) {
            const auto lines = listing(tool);
            EXPECT_EQ(outputRules(lines), std::vector<std::string>{"-A OUTPUT -j ZV_TEST"});
            EXPECT_EQ(std::count(lines.begin(), lines.end(), "-A ZV_TEST -j DROP"), 0) << tool;
            EXPECT_EQ(std::count(lines.begin(), lines.end(),
                                 "-A ZV_TEST -p tcp -m tcp --tcp-flags FIN,SYN,RST,ACK SYN -j "
                                 "NFQUEUE --queue-num 7 --queue-bypass"),
                      1)
                << tool;
        }
        ASSERT_EQ(rules.remove(), std::nullopt);
        for (const char* tool : {"iptables", "ip6tables"}) {
            EXPECT_EQ(listing(tool),
                      (std::vector<std::string>{"-P INPUT ACCEPT", "-P FORWARD ACCEPT",
                                                "-P OUTPUT ACCEPT"}));
        }
    });
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace zorvane
