#include "shared/RecordJson.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <set>

namespace zorvane {
namespace {

using nlohmann::json;

std::set<std::string> keysOf(const json& object) {
    std::set<std::string> keys;
    for (const auto& item : object.items()) {
        keys.insert(item.key());
    }
    return keys;
}

BlockedApplication minimalApplication() {
    BlockedApplication application;
    application.id = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    application.name = "Example";
    application.bundleIdentifier = "com.example.app";
    application.signingIdentifier = "com.example.app";
    application.path = "/Applications/Example.app";
    return application;
}

BlockedApplication fullApplication() {
    auto application = minimalApplication();
    application.teamIdentifier = "TEAM123456";
    application.auxiliaryCodeIdentities =
        std::vector<CodeIdentity>{{"com.example.helper", "TEAM123456"}, {"tool", std::nullopt}};
    application.auxiliarySigningIdentifiers = std::vector<std::string>{"legacy.helper"};
    application.inspectionVersion = 5;
    application.iconData = std::vector<std::uint8_t>{0x89, 'P', 'N', 'G', 0, 0xFF};
    return application;
}

NetworkActivityEvent fullEvent() {
    NetworkActivityEvent event;
    event.sourceApplicationIdentifier = "com.example.app";
    event.sourceApplicationTeamIdentifier = "TEAM";
    event.processSigningIdentifier = "com.example.helper";
    event.processTeamIdentifier = "TEAM";
    event.processExecutablePath = "/x/Helper";
    event.destinationHost = "example.com";
    event.destinationPort = "443";
    event.firstSeenAt = Date::fromReferenceSeconds(790'000'000.125);
    event.lastSeenAt = Date::fromReferenceSeconds(790'000'060.5);
    event.blockedConnectionCount = 3;
    return event;
}

DiscoveredNetworkProcess fullProcess() {
    DiscoveredNetworkProcess process;
    process.signingIdentifier = "com.example.helper";
    process.teamIdentifier = "TEAM";
    process.sourceApplicationIdentifier = "com.example.app";
    process.sourceApplicationTeamIdentifier = "TEAM";
    process.executablePath = "/x/Helper";
    process.firstSeenAt = Date::fromReferenceSeconds(-1.5); // before the reference date
    process.lastSeenAt = Date::fromReferenceSeconds(12.0);
    process.connectionCount = 1;
    return process;
}

TemporaryAccessGrant sampleGrant() {
    TemporaryAccessGrant grant;
    grant.applicationID = *Uuid::parse("E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    grant.applicationName = "Example";
    grant.applicationBundleIdentifier = "com.example.app";
    grant.codeIdentityKeys = {CodeIdentity::make("com.example.app", "TEAM").key()};
    grant.applicationPath = "/Applications/Example.app";
    grant.expiresAt = Date::fromReferenceSeconds(800'000'000.25);
    grant.mode = TemporaryAccessGrant::Mode::untilQuit;
    return grant;
}

FilterEventEnvelope sampleEnvelope() {
    return FilterEventEnvelope{std::string(72, 'T'), {fullEvent()}, {fullProcess()}};
}

// ---- Forms written ----------------------------------------------------------------------------

TEST(RecordJson, MinimalBlockedApplicationHasExactlyTheRequiredKeys) {
    const json object = RecordJson::toJson(minimalApplication());
    EXPECT_EQ(keysOf(object), (std::set<std::string>{"id", "name", "bundleIdentifier",
                                                     "signingIdentifier", "path"}));
    EXPECT_EQ(object["id"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    const auto decoded = RecordJson::blockedApplicationFromJson(object);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, minimalApplication());
    EXPECT_FALSE(decoded->teamIdentifier || decoded->auxiliaryCodeIdentities ||
                 decoded->auxiliarySigningIdentifiers || decoded->inspectionVersion ||
                 decoded->iconData);
}

TEST(RecordJson, FullRecordsWriteEveryKeyAndRoundTrip) {
    const json application = RecordJson::toJson(fullApplication());
    EXPECT_EQ(keysOf(application).size(), 10u);
    EXPECT_EQ(application["iconData"], "iVBORwD/");
    EXPECT_EQ(application["auxiliaryCodeIdentities"][1], json({{"signingIdentifier", "tool"}}));
    EXPECT_EQ(RecordJson::blockedApplicationFromJson(application), fullApplication());

    const json event = RecordJson::toJson(fullEvent());
    EXPECT_EQ(keysOf(event).size(), 10u);
    EXPECT_EQ(RecordJson::activityEventFromJson(event), fullEvent());

    const json process = RecordJson::toJson(fullProcess());
    EXPECT_EQ(keysOf(process).size(), 8u);
    EXPECT_EQ(RecordJson::discoveredProcessFromJson(process), fullProcess());

    const json grant = RecordJson::toJson(sampleGrant());
    EXPECT_EQ(keysOf(grant), (std::set<std::string>{
                                 "applicationID", "applicationName", "applicationBundleIdentifier",
                                 "codeIdentityKeys", "applicationPath", "expiresAt", "mode"}));
    EXPECT_EQ(grant["mode"], "untilQuit");
    EXPECT_EQ(RecordJson::temporaryAccessGrantFromJson(grant), sampleGrant());
}

TEST(RecordJson, AbsentOptionalsAreLeftOutOfEventsAndProcesses) {
    NetworkActivityEvent event;
    event.processSigningIdentifier = "p";
    event.destinationHost = "Unknown destination";
    EXPECT_EQ(keysOf(RecordJson::toJson(event)),
              (std::set<std::string>{"processSigningIdentifier", "destinationHost", "firstSeenAt",
                                     "lastSeenAt", "blockedConnectionCount"}));
    DiscoveredNetworkProcess process;
    process.signingIdentifier = "p";
    EXPECT_EQ(keysOf(RecordJson::toJson(process)),
              (std::set<std::string>{"signingIdentifier", "firstSeenAt", "lastSeenAt",
                                     "connectionCount"}));
}

TEST(RecordJson, EnvelopeAlwaysWritesItsThreeKeysAndRoundTripsAsText) {
    const FilterEventEnvelope empty{std::string(64, 'x'), {}, {}};
    const auto text = RecordJson::encodeEnvelope(empty);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"activityEvents":[],"authenticationToken":")" + std::string(64, 'x') +
                         R"(","observations":[]})");
    EXPECT_EQ(RecordJson::decodeEnvelope(*text), empty);

    const auto full = RecordJson::encodeEnvelope(sampleEnvelope());
    ASSERT_TRUE(full);
    EXPECT_EQ(RecordJson::decodeEnvelope(*full), sampleEnvelope());
}

TEST(RecordJson, ListsRoundTripAsText) {
    const std::vector<BlockedApplication> applications{minimalApplication(), fullApplication()};
    EXPECT_EQ(
        RecordJson::decodeBlockedApplications(RecordJson::encodeBlockedApplications(applications)),
        applications);
    const auto grants = RecordJson::encodeTemporaryAccessGrants({sampleGrant(), sampleGrant()});
    ASSERT_TRUE(grants);
    EXPECT_EQ(RecordJson::decodeTemporaryAccessGrants(*grants)->size(), 2u);
    const auto events = RecordJson::encodeActivityEvents({fullEvent()});
    ASSERT_TRUE(events);
    EXPECT_EQ(RecordJson::decodeActivityEvents(*events),
              std::vector<NetworkActivityEvent>{fullEvent()});
    const auto processes = RecordJson::encodeDiscoveredProcesses({});
    ASSERT_TRUE(processes);
    EXPECT_EQ(*processes, "[]");
    EXPECT_EQ(RecordJson::decodeDiscoveredProcesses(*processes),
              std::vector<DiscoveredNetworkProcess>{});
}

TEST(RecordJson, DatesAreSecondsSinceTheReferenceDateAndReadBackExactly) {
    auto event = fullEvent();
    event.firstSeenAt = Date::fromUnixSeconds(1'700'000'000.123456);
    event.lastSeenAt = Date::fromReferenceSeconds(0.1);
    const json object = RecordJson::toJson(event);
    EXPECT_DOUBLE_EQ(object["firstSeenAt"].get<double>(), 1'700'000'000.123456 - 978'307'200.0);
    const auto text = RecordJson::encodeActivityEvents({event});
    ASSERT_TRUE(text);
    const auto decoded = RecordJson::decodeActivityEvents(*text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->front().firstSeenAt, event.firstSeenAt); // bit-exact, not approximately
    EXPECT_EQ(decoded->front().lastSeenAt, event.lastSeenAt);

    // Whole numbers, as another writer may produce them, are dates too.
    json whole = object;
    whole["firstSeenAt"] = 700'000'000;
    whole["lastSeenAt"] = std::uint64_t{700'000'001};
    const auto fromWhole = RecordJson::activityEventFromJson(whole);
    ASSERT_TRUE(fromWhole);
    EXPECT_EQ(fromWhole->firstSeenAt, Date::fromReferenceSeconds(700'000'000));
    EXPECT_EQ(fromWhole->lastSeenAt, Date::fromReferenceSeconds(700'000'001));
}

TEST(RecordJson, NonFiniteDatesCannotBeWrittenAsText) {
    auto event = fullEvent();
    event.lastSeenAt = Date::fromReferenceSeconds(std::numeric_limits<double>::infinity());
    EXPECT_FALSE(RecordJson::encodeEnvelope({"t", {event}, {}}).has_value());
    EXPECT_FALSE(RecordJson::encodeActivityEvents({event}).has_value());
    auto grant = sampleGrant();
    grant.expiresAt = Date::fromReferenceSeconds(std::nan(""));
    EXPECT_FALSE(RecordJson::encodeTemporaryAccessGrants({grant}).has_value());
    EXPECT_TRUE(RecordJson::toJson(grant)["expiresAt"].is_null());
}

TEST(RecordJson, IllFormedUtf8IsReplacedWhenWritingAndNeverThrows) {
    auto application = minimalApplication();
    application.name = "Bad\xC3(\xFF";
    application.auxiliaryCodeIdentities =
        std::vector<CodeIdentity>{{"h\x80", std::string("\xED\xA0\x80")}};
    const std::string text = RecordJson::encodeBlockedApplications({application});
    const auto decoded = RecordJson::decodeBlockedApplications(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->front().name, "Bad\xEF\xBF\xBD(\xEF\xBF\xBD");
    EXPECT_EQ(decoded->front().auxiliaryCodeIdentities->front().signingIdentifier, "h\xEF\xBF\xBD");

    FilterEventEnvelope envelope{"tok\xFE", {}, {}};
    const auto envelopeText = RecordJson::encodeEnvelope(envelope);
    ASSERT_TRUE(envelopeText);
    EXPECT_EQ(RecordJson::decodeEnvelope(*envelopeText)->authenticationToken, "tok\xEF\xBF\xBD");
}

// ---- Reading ----------------------------------------------------------------------------------

TEST(RecordJson, NullReadsAsAbsentAndUnknownKeysAreIgnored) {
    json object = RecordJson::toJson(fullApplication());
    object["teamIdentifier"] = nullptr;
    object["iconData"] = nullptr;
    object["inspectionVersion"] = nullptr;
    object["auxiliaryCodeIdentities"] = nullptr;
    object["somethingNew"] = {{"nested", true}};
    const auto decoded = RecordJson::blockedApplicationFromJson(object);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->teamIdentifier, std::nullopt);
    EXPECT_EQ(decoded->iconData, std::nullopt);
    EXPECT_EQ(decoded->inspectionVersion, std::nullopt);
    EXPECT_EQ(decoded->auxiliaryCodeIdentities, std::nullopt);
    EXPECT_EQ(decoded->auxiliarySigningIdentifiers, fullApplication().auxiliarySigningIdentifiers);
}

TEST(RecordJson, StoredIdentitiesAreReadAsWrittenAndUuidsInEitherCase) {
    json object = RecordJson::toJson(minimalApplication());
    object["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
    object["teamIdentifier"] = " T ";
    object["auxiliaryCodeIdentities"] =
        json::array({{{"signingIdentifier", "h"}, {"teamIdentifier", " "}}});
    const auto decoded = RecordJson::blockedApplicationFromJson(object);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->id, minimalApplication().id);
    EXPECT_EQ(decoded->teamIdentifier, " T ");
    EXPECT_EQ(decoded->auxiliaryCodeIdentities->front().teamIdentifier, " ");
    EXPECT_EQ(RecordJson::toJson(*decoded)["id"], "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(RecordJson, IntegersAreSigned64BitAndNeverFractional) {
    json object = RecordJson::toJson(fullProcess());
    for (const std::int64_t value : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1},
                                     std::numeric_limits<std::int64_t>::max()}) {
        object["connectionCount"] = value;
        const auto decoded = RecordJson::decodeDiscoveredProcesses("[" + object.dump() + "]");
        ASSERT_TRUE(decoded) << value;
        EXPECT_EQ(decoded->front().connectionCount, value);
    }
    const std::string text = RecordJson::toJson(fullProcess()).dump();
    const auto withCount = [&](const std::string& count) {
        std::string changed = text;
        const std::string needle = "\"connectionCount\":1";
        changed.replace(changed.find(needle), needle.size(), "\"connectionCount\":" + count);
        return "[" + changed + "]";
    };
    EXPECT_TRUE(RecordJson::decodeDiscoveredProcesses(withCount("9223372036854775807")));
    for (const char* bad : {"9223372036854775808", "18446744073709551616", "1.0", "1.5", "1e2",
                            "\"1\"", "true", "null"}) {
        EXPECT_FALSE(RecordJson::decodeDiscoveredProcesses(withCount(bad))) << bad;
    }
}

TEST(RecordJson, BrokenDocumentsFailAsAWhole) {
    struct Case {
        const char* what;
        json document;
    };
    const json application = RecordJson::toJson(fullApplication());
    const json event = RecordJson::toJson(fullEvent());
    const json process = RecordJson::toJson(fullProcess());
    const json grant = RecordJson::toJson(sampleGrant());
    const auto without = [](json object, const char* key) {
        object.erase(key);
        return object;
    };
    const auto with = [](json object, const char* key, json value) {
        object[key] = std::move(value);
        return object;
    };

    const std::vector<Case> applicationCases{
        {"missing id", without(application, "id")},
        {"missing path", without(application, "path")},
        {"null name", with(application, "name", nullptr)},
        {"malformed id", with(application, "id", "E621E1F8-C36C-495A-93FC")},
        {"id as number", with(application, "id", 7)},
        {"icon not Base64", with(application, "iconData", "iVBORw")},
        {"icon as array", with(application, "iconData", json::array({1, 2}))},
        {"team as number", with(application, "teamIdentifier", 5)},
        {"identity without signing identifier",
         with(application, "auxiliaryCodeIdentities", json::array({{{"teamIdentifier", "T"}}}))},
        {"identity list holding a string",
         with(application, "auxiliaryCodeIdentities", json::array({"com.example.helper"}))},
        {"signing identifiers holding a number",
         with(application, "auxiliarySigningIdentifiers", json::array({"a", 1}))},
        {"fractional version", with(application, "inspectionVersion", 5.5)},
    };
    for (const auto& [what, document] : applicationCases) {
        EXPECT_FALSE(RecordJson::blockedApplicationFromJson(document)) << what;
        // One bad entry spoils the whole list.
        EXPECT_FALSE(RecordJson::blockedApplicationsFromJson(json::array({application, document})))
            << what;
    }

    const std::vector<Case> eventCases{
        {"missing host", without(event, "destinationHost")},
        {"missing count", without(event, "blockedConnectionCount")},
        {"date as text", with(event, "firstSeenAt", "2024-01-01T00:00:00Z")},
        {"date null", with(event, "lastSeenAt", nullptr)},
        {"port as number", with(event, "destinationPort", 443)},
        {"event as array", json::array()},
    };
    for (const auto& [what, document] : eventCases) {
        EXPECT_FALSE(RecordJson::activityEventFromJson(document)) << what;
        EXPECT_FALSE(RecordJson::envelopeFromJson({{"authenticationToken", "t"},
                                                   {"activityEvents", {event, document}},
                                                   {"observations", json::array()}}))
            << what;
    }

    const std::vector<Case> processCases{
        {"missing signing identifier", without(process, "signingIdentifier")},
        {"missing first seen", without(process, "firstSeenAt")},
        {"path as object", with(process, "executablePath", json::object())},
        {"count as text", with(process, "connectionCount", "1")},
    };
    for (const auto& [what, document] : processCases) {
        EXPECT_FALSE(RecordJson::discoveredProcessFromJson(document)) << what;
        EXPECT_FALSE(RecordJson::discoveredProcessesFromJson(json::array({process, document})))
            << what;
    }

    const std::vector<Case> grantCases{
        {"missing mode", without(grant, "mode")},
        {"unknown mode", with(grant, "mode", "forever")},
        {"missing keys", without(grant, "codeIdentityKeys")},
        {"keys as text", with(grant, "codeIdentityKeys", "a.b")},
        {"key as number", with(grant, "codeIdentityKeys", json::array({1}))},
        {"lower-case id is fine but this is not a UUID", with(grant, "applicationID", "x")},
        {"missing expiry", without(grant, "expiresAt")},
    };
    for (const auto& [what, document] : grantCases) {
        EXPECT_FALSE(RecordJson::temporaryAccessGrantFromJson(document)) << what;
        EXPECT_FALSE(RecordJson::temporaryAccessGrantsFromJson(json::array({grant, document})))
            << what;
    }
}

TEST(RecordJson, EnvelopeNeedsAllThreeKeysWithTheRightTypes) {
    const json envelope = RecordJson::toJson(sampleEnvelope());
    ASSERT_TRUE(RecordJson::envelopeFromJson(envelope));
    for (const char* key : {"authenticationToken", "activityEvents", "observations"}) {
        json broken = envelope;
        broken.erase(key);
        EXPECT_FALSE(RecordJson::envelopeFromJson(broken)) << key;
        broken[key] = nullptr;
        EXPECT_FALSE(RecordJson::envelopeFromJson(broken)) << key;
    }
    json broken = envelope;
    broken["observations"] = json::object();
    EXPECT_FALSE(RecordJson::envelopeFromJson(broken));
    broken = envelope;
    broken["authenticationToken"] = json::array({"t"});
    EXPECT_FALSE(RecordJson::envelopeFromJson(broken));
}

TEST(RecordJson, MalformedTextsDecodeToNothing) {
    const std::string good = *RecordJson::encodeEnvelope(sampleEnvelope());
    for (
        const std::string& bad : {
            std::string(),
            std::string("   "),
            good.substr(0, good.size() - 1), // truncated
            good + "x",                      // trailing garbage
            good + good,                     // two documents
            std::string("[") + good + "]",   // array instead of object
            std::string("null"),
            std::string(
                R"({"authenticationToken":"t\uD800","activityEvents":[],"observations":[]})"),
            std::string(
                "{\"authenticationToken\":\"t\xC3\",\"activityEvents\":[],\"observations\":[]}"),
            std::string(
                R"({"authenticationToken":"t","activityEvents":[],"observations":[]} // c)"),
            std::string(
                R"({"authenticationToken":"t","activityEvents":[{"processSigningIdentifier":"p","destinationHost":"h","firstSeenAt":1e400,"lastSeenAt":0,"blockedConnectionCount":1}],"observations":[]})"),
        }) {
        EXPECT_FALSE(RecordJson::decodeEnvelope(bad)) << bad;
    }
    EXPECT_TRUE(RecordJson::decodeEnvelope(" \n" + good + "\n "));
    EXPECT_FALSE(RecordJson::decodeBlockedApplications("{}"));
    EXPECT_FALSE(RecordJson::decodeTemporaryAccessGrants("[{}]"));
    EXPECT_EQ(RecordJson::decodeBlockedApplications("[]"), std::vector<BlockedApplication>{});
}

TEST(RecordJson, DeeplyNestedInputIsRefusedWithoutCrashing) {
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    EXPECT_FALSE(RecordJson::decodeEnvelope(deep));
    const std::string deepUnknown =
        R"({"authenticationToken":"t","activityEvents":[],"observations":[],"x":)" + deep + "}";
    EXPECT_TRUE(RecordJson::decodeEnvelope(deepUnknown));
}

} // namespace
} // namespace zorvane
