// A blocked attempt from end to end, on the real processes: the list as a person left it, the
// window process bringing the filter in line with it, the filter dropping what the list names
// and reporting it, the activity file, and the helper the filter discovered learned into the list.
#include "WholeSystemFixture.h"

#include <map>

namespace zorvane::testing {
namespace {

TEST_F(WholeSystem, ListedApplicationIsDroppedReportedAndItsDiscoveredHelperLearned) {
    const auto& mail = SampleApplications::mail();
    const auto& chat = SampleApplications::chat();
    const auto mailMain = executable(mail, 0);
    const auto fetcher = executable(mail, 1);
    const auto updater = executable(mail, 2);
    seed({mail});
    startApplication();

    // Drops per process, as the filter will have counted them.
    std::map<std::string, std::int64_t> drops;
    const auto attempt = [&](const std::filesystem::path& process) {
        const auto verdict = flow(mail.bundle(samples), process).verdict;
        drops[process.filename().string()] += verdict == "drop" ? 1 : 0;
        return verdict;
    };
    // Protection on and the extension approved: the window process does that from the list.
    ASSERT_TRUE(eventually([&] { return attempt(mailMain) == "drop"; }))
        << application->standardError();
    EXPECT_EQ(attempt(fetcher), "drop");
    EXPECT_EQ(attempt(mailMain), "drop");
    EXPECT_EQ(flow(chat.bundle(samples)).verdict, "allow");
    EXPECT_EQ(flow(executable(chat, 1)).verdict, "allow");

    // The attempts reach the activity file, one aggregate per process and destination.
    const auto dropped = drops["Sample Mail"] + drops["Sample Mail Fetcher"];
    ASSERT_TRUE(eventually([&] { return sandbox.storedBlockedAttempts() == dropped; }))
        << sandbox.storedBlockedAttempts() << " stored, " << dropped << " dropped";
    std::map<std::string, std::int64_t> stored;
    for (const auto& event : sandbox.storedActivity()) {
        EXPECT_EQ(event.sourceApplicationIdentifier, mail.bundleIdentifier);
        EXPECT_EQ(event.destinationDescription(), "mail.example.com:443");
        stored[event.processDisplayName()] += event.blockedConnectionCount;
    }
    EXPECT_EQ(stored, (std::map<std::string, std::int64_t>{{"Sample Mail", drops["Sample Mail"]},
                                                           {"Sample Mail Fetcher", 1}}));
    // The window shows them: one row per aggregate under recent activity, and the sum under the
    // application, whose row names its main executable and its helper.
    const auto shows = [&](const std::string& text) {
        return windowTexts().find("\n" + text + "\n") != std::string::npos;
    };
    EXPECT_TRUE(eventually([&] {
        return shows("Recent activity\n" + std::to_string(stored.size())) &&
               shows(std::to_string(dropped) + " blocked attempts") && shows("2 network processes");
    })) << windowTexts();

    // The updater lies outside the bundle, so inspection never saw it; acting for Sample Mail it
    // is dropped, observed, and learned into Sample Mail's identities...
    EXPECT_EQ(attempt(updater), "drop");
    ASSERT_TRUE(eventually([&] {
        const auto list = sandbox.storedBlockList();
        if (list.size() != 1 || !list[0].auxiliaryCodeIdentities) {
            return false;
        }
        const auto& helpers = *list[0].auxiliaryCodeIdentities;
        return std::find(helpers.begin(), helpers.end(),
                         CodeIdentity::make("com.example.SampleMail.Updater",
                                            SampleApplications::teamIdentifier)) != helpers.end();
    })) << application->standardError();
    const auto observations = sandbox.storedObservations();
    EXPECT_TRUE(std::any_of(observations.begin(), observations.end(), [&](const auto& seen) {
        return seen.signingIdentifier == "com.example.SampleMail.Updater" &&
               seen.sourceApplicationIdentifier == mail.bundleIdentifier;
    }));
    EXPECT_TRUE(eventually([&] { return shows("3 network processes"); })) << windowTexts();
    // ...so that from then on it is blocked on its own, whoever it acts for.
    EXPECT_TRUE(eventually([&] { return flow(updater).verdict == "drop"; }));
    EXPECT_EQ(flow(chat.bundle(samples), updater).verdict, "drop");
    EXPECT_EQ(flow(chat.bundle(samples)).verdict, "allow");
}

} // namespace
} // namespace zorvane::testing
