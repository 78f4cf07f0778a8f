#include "filter/host/FlowRequestParser.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace zorvane {
namespace {

std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

class FlowRequestParserTest : public ::testing::Test {
protected:
    SimulatedProcessTable table;
    std::vector<std::int32_t> askedPids;
    FlowRequestParser parser{table, [this](std::int32_t pid) -> std::optional<AuditToken> {
                                 askedPids.push_back(pid);
                                 if (pid != 1234) {
                                     return std::nullopt; // no such process
                                 }
                                 AuditToken token;
                                 token.words[AuditToken::pidWord] = 1234;
                                 token.words[AuditToken::generationWord] = 99;
                                 return token;
                             }};
};

TEST_F(FlowRequestParserTest, ReadsAFullSocketFlowOfSimulatedProcesses) {
    const auto result = parser.parse(
        R"({"direction": "outbound", "sourceApp": {"executable": "/Apps/A.app/Contents/MacOS/A"},)"
        R"( "sourceProcess": {"executable": "/Apps/A.app/Contents/MacOS/Helper"},)"
        R"( "socket": {"protocol": 6, "remoteHostname": "example.com",)"
        R"( "remoteEndpoint": {"hostname": "93.184.216.34", "port": "443"}}})");
    ASSERT_TRUE(result.flow.has_value()) << result.error;
    const FilterFlow& flow = *result.flow;
    EXPECT_EQ(flow.direction, FilterFlow::Direction::outbound);
    EXPECT_EQ(flow.sourceAppAuditToken, bytesOf(*table.tokenFor("/Apps/A.app/Contents/MacOS/A")));
    EXPECT_EQ(flow.sourceProcessAuditToken,
              bytesOf(*table.tokenFor("/Apps/A.app/Contents/MacOS/Helper")));
    EXPECT_NE(flow.sourceAppAuditToken, flow.sourceProcessAuditToken);
    const SocketFlowInfo expected{6, "example.com", HostEndpoint{"93.184.216.34", "443"}};
    EXPECT_EQ(flow.socket, expected);
}

TEST_F(FlowRequestParserTest, OptionalPartsMayBeLeftOutOrNull) {
    auto result = parser.parse(R"({"direction": "inbound"})");
    ASSERT_TRUE(result.flow.has_value()) << result.error;
    EXPECT_EQ(*result.flow, FilterFlow{FilterFlow::Direction::inbound});

    result = parser.parse(R"({"direction": "unknown", "sourceApp": null, "sourceProcess": null,)"
                          R"( "socket": {"protocol": 17, "remoteHostname": null,)"
                          R"( "remoteEndpoint": null}})");
    ASSERT_TRUE(result.flow.has_value()) << result.error;
    EXPECT_EQ(result.flow->direction, FilterFlow::Direction::any);
    EXPECT_EQ(result.flow->socket, (SocketFlowInfo{17, std::nullopt, std::nullopt}));
}

TEST_F(FlowRequestParserTest, RealProcessesAndRawTokens) {
    auto result = parser.parse(
        R"({"direction": "outbound", "sourceApp": {"pid": 1234}, "sourceProcess": {"pid": 77}})");
    ASSERT_TRUE(result.flow.has_value()) << result.error;
    EXPECT_EQ(askedPids, (std::vector<std::int32_t>{1234, 77}));
    ASSERT_TRUE(result.flow->sourceAppAuditToken.has_value());
    EXPECT_EQ(AuditToken::fromBytes(*result.flow->sourceAppAuditToken)->pid(), 1234);
    // A process that does not exist gives the flow no token: the provider fails open.
    EXPECT_FALSE(result.flow->sourceProcessAuditToken.has_value());

    result = parser.parse(R"({"direction": "outbound", "sourceApp": {"auditToken": "00fFaB"},)"
                          R"( "sourceProcess": {"auditToken": ""}})");
    ASSERT_TRUE(result.flow.has_value()) << result.error;
    EXPECT_EQ(result.flow->sourceAppAuditToken, (std::vector<std::uint8_t>{0x00, 0xff, 0xab}));
    EXPECT_EQ(result.flow->sourceProcessAuditToken, std::vector<std::uint8_t>{});
}

TEST_F(FlowRequestParserTest, EveryMalformedShapeIsAnErrorWithAReason) {
    const std::vector<std::string> malformed = {
        "",
        "   ",
        "{",
        "nonsense",
        "[]",
        "\"outbound\"",
        "42",
        "null",
        R"({})",
        R"({"direction": 2})",
        R"({"direction": "sideways"})",
        R"({"direction": "Outbound"})",
        R"({"direction": "outbound", "extra": 1})",
        R"({"direction": "outbound", "sourceapp": null})",
        R"({"direction": "outbound", "sourceApp": "/bin/ls"})",
        R"({"direction": "outbound", "sourceApp": []})",
        R"({"direction": "outbound", "sourceApp": {}})",
        R"({"direction": "outbound", "sourceApp": {"executable": "/a", "pid": 1}})",
        R"({"direction": "outbound", "sourceApp": {"path": "/a"}})",
        R"({"direction": "outbound", "sourceApp": {"executable": "relative/path"}})",
        R"({"direction": "outbound", "sourceApp": {"executable": ""}})",
        R"({"direction": "outbound", "sourceApp": {"executable": 5}})",
        R"({"direction": "outbound", "sourceApp": {"executable": "/a\u0000b"}})",
        R"({"direction": "outbound", "sourceProcess": {"pid": 0}})",
        R"({"direction": "outbound", "sourceProcess": {"pid": -5}})",
        R"({"direction": "outbound", "sourceProcess": {"pid": 2147483648}})",
        R"({"direction": "outbound", "sourceProcess": {"pid": 12.5}})",
        R"({"direction": "outbound", "sourceProcess": {"pid": "12"}})",
        R"({"direction": "outbound", "sourceProcess": {"auditToken": "abc"}})",
        R"({"direction": "outbound", "sourceProcess": {"auditToken": "zz"}})",
        R"({"direction": "outbound", "sourceProcess": {"auditToken": "0x00"}})",
        R"({"direction": "outbound", "sourceProcess": {"auditToken": "00 11"}})",
        R"({"direction": "outbound", "sourceProcess": {"auditToken": 1234}})",
        R"({"direction": "outbound", "socket": null})",
        R"({"direction": "outbound", "socket": {}})",
        R"({"direction": "outbound", "socket": {"protocol": "6"}})",
        R"({"direction": "outbound", "socket": {"protocol": 256}})",
        R"({"direction": "outbound", "socket": {"protocol": -1}})",
        R"({"direction": "outbound", "socket": {"protocol": 6, "port": 1}})",
        R"({"direction": "outbound", "socket": {"protocol": 6, "remoteHostname": 5}})",
        R"({"direction": "outbound", "socket": {"protocol": 6, "remoteEndpoint": "a:1"}})",
        R"({"direction": "outbound", "socket": {"protocol": 6, "remoteEndpoint": {"hostname": "a"}}})",
        R"({"direction": "outbound", "socket": {"protocol": 6,)"
        R"( "remoteEndpoint": {"hostname": "a", "port": 443}}})",
        R"({"direction": "outbound", "socket": {"protocol": 6,)"
        R"( "remoteEndpoint": {"hostname": "a", "port": "1", "x": 1}}})",
        "{\"direction\": \"outbound\", \"sourceApp\": {\"executable\": \"/\xff\"}}", // not UTF-8
        R"({"direction": "outbound"} {"direction": "outbound"})",
    };
    for (const auto& line : malformed) {
        const auto result = parser.parse(line);
        EXPECT_FALSE(result.flow.has_value()) << line;
        EXPECT_FALSE(result.error.empty()) << line;
    }
    // Reasons name what is wrong.
    EXPECT_NE(parser.parse(R"({"direction": "outbound", "sourceProcess": {"auditToken": "abc"}})")
                  .error.find("odd number"),
              std::string::npos);
    EXPECT_NE(parser.parse(R"({"direction": "outbound", "typo": 1})").error.find("typo"),
              std::string::npos);
}

TEST_F(FlowRequestParserTest, OnlyTheExactReportRequestAsksForTheActivityReport) {
    EXPECT_TRUE(FlowRequestParser::isActivityReportRequest(R"({"report":"activity"})"));
    EXPECT_TRUE(FlowRequestParser::isActivityReportRequest(R"( { "report" : "activity" } )"));
    for (const char* line : {
             R"({"report":"other"})",
             R"({"report":"activity","direction":"outbound"})",
             R"({"report":["activity"]})",
             R"({"report":"activity")",
             // A flow whose path happens to hold the key is still a flow.
             R"({"direction":"outbound","sourceApp":{"executable":"/x/\"report\""}})",
         }) {
        EXPECT_FALSE(FlowRequestParser::isActivityReportRequest(line)) << line;
    }
    EXPECT_TRUE(
        parser.parse(R"({"direction":"outbound","sourceApp":{"executable":"/x/\"report\""}})")
            .flow);
}

TEST(SimulatedProcessTable, TokensAreStablePerPathAndNeverLookLikeRealProcesses) {
    SimulatedProcessTable table(2);
    const auto first = table.tokenFor("/a");
    const auto second = table.tokenFor("/b");
    ASSERT_TRUE(first && second);
    EXPECT_EQ(table.tokenFor("/a"), first);
    EXPECT_NE(first, second);
    EXPECT_EQ(table.size(), 2u);
    // Above every pid_max Linux allows (2^22), with the host's own ids.
    EXPECT_GT(first->pid(), 1 << 22);
    EXPECT_EQ(first->words[1], static_cast<std::uint32_t>(::getuid()));
    EXPECT_EQ(first->words[2], static_cast<std::uint32_t>(::getgid()));
    EXPECT_EQ(table.executableFor(*first), "/a");
    EXPECT_EQ(table.executableForPid(second->pid()), "/b");

    // Full: new paths are refused, known ones still answer.
    EXPECT_FALSE(table.tokenFor("/c").has_value());
    EXPECT_EQ(table.tokenFor("/b"), second);

    // Another generation, or a pid the table never gave out, is not a simulated process.
    AuditToken other = *first;
    other.words[AuditToken::generationWord] ^= 1;
    EXPECT_FALSE(table.executableFor(other).has_value());
    other = *first;
    other.words[AuditToken::pidWord] += 10;
    EXPECT_FALSE(table.executableFor(other).has_value());
    EXPECT_FALSE(table.executableForPid(1).has_value());
}

} // namespace
} // namespace zorvane
