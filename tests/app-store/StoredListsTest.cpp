// The stored lists as both processes read and write them, and the copies kept of them: one entry
// that cannot be read costs only itself, a writer that cannot tell the person leaves such entries
// in place, and the last good block lists stay in the container.
#include "StoreFixtures.h"
#include "app/store/SharedPreferencesState.h"
#include "app/store/StoredListCopies.h"
#include "shared/RecordJson.h"
#include "tests/qt-support/MemoryPreferences.h"
#include "tests/support/TemporaryDirectory.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>

namespace zorvane {
namespace {

using fixtures::application;
using fixtures::start;
using Shared = SharedPreferencesState;

PlistValue dataValue(const std::string& text) {
    return PlistData(text.begin(), text.end());
}

std::string contentOf(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Three entries, the middle one with an id that is no UUID.
std::string listWithOneDamagedEntry(const std::vector<BlockedApplication>& three) {
    auto json = nlohmann::json::parse(RecordJson::encodeBlockedApplications(three));
    json[1]["id"] = "not-a-uuid";
    return json.dump();
}

TemporaryAccessGrant grantFor(const BlockedApplication& app) {
    TemporaryAccessGrant grant;
    grant.applicationID = app.id;
    grant.applicationName = app.name;
    grant.applicationBundleIdentifier = app.bundleIdentifier;
    grant.codeIdentityKeys = {app.primaryCodeIdentity().key()};
    grant.applicationPath = app.path;
    grant.expiresAt = start.addingSeconds(300);
    grant.mode = TemporaryAccessGrant::Mode::timed;
    return grant;
}

TEST(StoredBlockList, OneUnreadableEntryCostsOnlyItself) {
    const auto alpha = application("Alpha", "com.example.alpha");
    const auto beta = application("Beta", "com.example.beta");
    const auto gamma = application("Gamma", "com.example.gamma");
    testing::MemoryPreferences preferences;
    const auto stored = listWithOneDamagedEntry({alpha, beta, gamma});
    preferences.setValue(Shared::applicationsKey, dataValue(stored));

    const auto read = Shared::readApplications(preferences);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->records, (std::vector<BlockedApplication>{alpha, gamma}));
    EXPECT_EQ(read->unreadableEntries, 1u);
    EXPECT_EQ(read->storedText, stored);
    EXPECT_EQ(Shared::storedApplications(preferences),
              (std::vector<BlockedApplication>{alpha, gamma}));

    // A value that is no list at all is one unreadable entry, kept as it was.
    preferences.setValue(Shared::applicationsKey, dataValue("[{\"id\": "));
    EXPECT_EQ(Shared::readApplications(preferences)->unreadableEntries, 1u);
    EXPECT_EQ(Shared::readApplications(preferences)->storedText, "[{\"id\": ");
    EXPECT_FALSE(Shared::storedApplications(preferences));
    preferences.removeValue(Shared::applicationsKey);
    EXPECT_FALSE(Shared::readApplications(preferences));
}

TEST(StoredGrants, TheAgentsWriteCarriesTheEntriesItCannotReadAlong) {
    const auto alpha = application("Alpha", "com.example.alpha");
    const auto beta = application("Beta", "com.example.beta");
    testing::MemoryPreferences preferences;
    // A later version's grant: a mode this one does not know.
    auto json = nlohmann::json::parse(*RecordJson::encodeTemporaryAccessGrants({grantFor(alpha)}));
    auto later = json[0];
    later["mode"] = "untilSleep";
    json.push_back(later);
    preferences.setValue(Shared::grantsKey, dataValue(json.dump()));
    EXPECT_EQ(Shared::readGrants(preferences)->records,
              std::vector<TemporaryAccessGrant>{grantFor(alpha)});

    ASSERT_TRUE(Shared::storeGrantsKeepingUnreadable(preferences, {grantFor(beta)}));
    const auto written = Shared::readGrants(preferences);
    EXPECT_EQ(written->records, std::vector<TemporaryAccessGrant>{grantFor(beta)});
    EXPECT_EQ(written->unreadableEntries, 1u);
    EXPECT_EQ(nlohmann::json::parse(written->storedText)[1], later);

    // No list to carry entries out of: nothing is written over it.
    preferences.setValue(Shared::grantsKey, dataValue("garbage"));
    EXPECT_FALSE(Shared::storeGrantsKeepingUnreadable(preferences, {grantFor(beta)}));
    EXPECT_EQ(Shared::readGrants(preferences)->storedText, "garbage");
}

TEST(StoredListCopies, KeepTheLastThreeGoodListsNewestFirstAndEveryStoredValueApart) {
    TemporaryDirectory container;
    const StoredListCopies copies(container.path());
    for (const char* text : {"[1]", "[2]", "[2]", "[3]", "[4]"}) {
        ASSERT_TRUE(copies.keepGood(Shared::applicationsKey, text));
    }
    const auto good = copies.goodCopies(Shared::applicationsKey);
    ASSERT_EQ(good.size(), 3u);
    EXPECT_EQ(contentOf(good[0]), "[4]");
    EXPECT_EQ(contentOf(good[1]), "[3]");
    EXPECT_EQ(contentOf(good[2]), "[2]"); // the repeated save did not push "[1]" out early

    const auto first = copies.keepAsStored(Shared::applicationsKey, "[{broken");
    const auto second = copies.keepAsStored(Shared::applicationsKey, "[{broken too");
    ASSERT_TRUE(first && second);
    EXPECT_NE(*first, *second);
    EXPECT_EQ(contentOf(*first), "[{broken");
    EXPECT_EQ(contentOf(*second), "[{broken too");
    EXPECT_EQ(first->parent_path(), container / "Library/Application Support/Zorvane");

    const StoredListCopies nowhere(std::nullopt);
    EXPECT_FALSE(nowhere.keepGood(Shared::applicationsKey, "[1]"));
    EXPECT_FALSE(nowhere.keepAsStored(Shared::applicationsKey, "[1]"));
}

} // namespace
} // namespace zorvane
