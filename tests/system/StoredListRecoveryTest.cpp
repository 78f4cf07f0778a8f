// A block list with one damaged entry among three, as a crash, a hand edit or another version of
// Zorvane might leave it: the real window process enforces the two entries it can read, tells the
// person, and keeps the value as it was stored in the container before anything is written over it.
#include "WholeSystemFixture.h"
#include "app/store/AppBlockStore.h"
#include "platform/linux/PlistPreferences.h"
#include "shared/RecordJson.h"

#include <nlohmann/json.hpp>

namespace zorvane::testing {
namespace {

TEST_F(WholeSystem, ABlockListWithOneDamagedEntryKeepsTheOthersEnforcedAndItsOriginalAside) {
    const auto& mail = SampleApplications::mail();
    const auto& chat = SampleApplications::chat();
    seed({mail, chat});
    // The damaged one between them: an entry whose id is no UUID.
    auto listed = nlohmann::json::parse(
        RecordJson::encodeBlockedApplications({*SystemSandbox::inspect(mail.bundle(samples)),
                                               *SystemSandbox::inspect(chat.bundle(samples))}));
    auto damaged = listed[0];
    damaged["id"] = "no-uuid";
    damaged["name"] = "Sample Notes";
    listed.insert(listed.begin() + 1, damaged);
    const std::string original = listed.dump();
    {
        PlistPreferences preferences(sandbox.preferencesFile());
        preferences.setValue(AppBlockStore::defaultsKey,
                             PlistValue(PlistData(original.begin(), original.end())));
        ASSERT_TRUE(preferences.synchronize());
    }
    startApplication();

    // Protection on and the extension approved: both readable entries are enforced.
    ASSERT_TRUE(eventually([&] {
        return flow(mail.bundle(samples), executable(mail)).verdict == "drop";
    })) << application->standardError();
    EXPECT_EQ(flow(chat.bundle(samples), executable(chat)).verdict, "drop");
    EXPECT_EQ(flow(chat.bundle(samples), executable(chat, 1)).verdict, "drop");

    // The value as it was stored, all three entries, is kept in the container.
    const auto copiesFolder = sandbox.containerDirectory() / "Library/Application Support/Zorvane";
    std::vector<std::filesystem::path> copies;
    for (const auto& entry : std::filesystem::directory_iterator(copiesFolder)) {
        if (entry.path().filename().string().rfind("blockedApplications.as-stored-", 0) == 0) {
            copies.push_back(entry.path());
        }
    }
    ASSERT_EQ(copies.size(), 1u);
    std::ifstream in(copies[0]);
    const std::string kept{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(kept, original);
    EXPECT_EQ(nlohmann::json::parse(kept).size(), 3u);
    // And the person is told.
    EXPECT_TRUE(eventually([&] {
        return windowTexts().find("1 entry of the block list could not be read") !=
               std::string::npos;
    })) << windowTexts();
}

} // namespace
} // namespace zorvane::testing
