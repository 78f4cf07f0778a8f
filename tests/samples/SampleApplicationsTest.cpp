#include "samples/SampleApplications.h"

#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "codesign/MachOSignatureReader.h"
#include "tests/support/TemporaryDirectory.h"

#include <QImage>
#include <fstream>
#include <gtest/gtest.h>

namespace zorvane {
namespace {

const std::filesystem::path built = ZORVANE_SAMPLES_DIR;

BlockedApplication inspect(const std::filesystem::path& bundle) {
    const auto result =
        ApplicationInspector(&ApplicationIconRenderer::render).inspect(bundle, Uuid::random());
    if (const auto* error = std::get_if<ApplicationInspectionError>(&result)) {
        ADD_FAILURE() << bundle << ": " << description(*error);
        return {};
    }
    return std::get<BlockedApplication>(result);
}

TEST(SampleApplications, TheBuiltSamplesInspectAsSignedApplicationsWithIcons) {
    const std::string team = SampleApplications::teamIdentifier;
    const auto mail = inspect(SampleApplications::mail().bundle(built));
    EXPECT_EQ(mail.name, "Sample Mail");
    EXPECT_EQ(mail.signingIdentifier, "com.example.SampleMail");
    EXPECT_EQ(mail.teamIdentifier, team);
    // The updater lies outside the bundle: only the filter can discover it.
    EXPECT_EQ(mail.auxiliaryCodeIdentities, std::vector<CodeIdentity>{CodeIdentity::make(
                                                "com.example.SampleMail.Fetcher", team)});

    const auto chat = inspect(SampleApplications::chat().bundle(built));
    EXPECT_EQ(chat.signingIdentifier, "com.example.SampleChat");
    EXPECT_EQ(chat.auxiliaryCodeIdentities, std::vector<CodeIdentity>{CodeIdentity::make(
                                                "com.example.SampleChat.Networking", team)});

    for (const auto* application : {&mail, &chat}) {
        ASSERT_TRUE(application->iconData) << application->name;
        const auto& png = *application->iconData;
        const QImage icon = QImage::fromData(png.data(), static_cast<int>(png.size()), "PNG");
        EXPECT_EQ(icon.width(), ApplicationIconRenderer::iconSize) << application->name;
        // Drawn, not blank: the centre of the icon is opaque.
        EXPECT_EQ(qAlpha(icon.pixel(icon.width() / 2, icon.height() / 2)), 255);
    }
}

TEST(SampleApplications, EveryExecutableNamesItsTeamWhereTheFilterReadsIt) {
    for (const auto& sample : SampleApplications::all()) {
        for (const auto& executable : sample.executables) {
            const auto signing = MachOSignatureReader::readFile(built / executable.relativePath);
            ASSERT_TRUE(signing) << executable.relativePath;
            EXPECT_EQ(signing->identifier, executable.signingIdentifier);
            ASSERT_TRUE(signing->entitlements) << executable.relativePath;
            const auto team = signing->entitlements->find("com.apple.developer.team-identifier");
            ASSERT_NE(team, signing->entitlements->end());
            ASSERT_TRUE(team->second.string());
            EXPECT_EQ(*team->second.string(), SampleApplications::teamIdentifier);
        }
    }
}

TEST(SampleApplications, WritingAgainReplacesWhatAnEarlierBuildLeft) {
    TemporaryDirectory directory;
    const auto& mail = SampleApplications::mail();
    SampleApplications::write(mail, directory.path());
    // A helper an earlier layout had would otherwise stay on the list of what inspection finds.
    SampleApplications::writeApplication(directory / "Stale.app", "com.example.Stale", {});
    std::filesystem::copy_file(directory / "Stale.app/Contents/MacOS/Stale",
                               mail.bundle(directory.path()) / "Contents/Helpers/Stale");
    std::ofstream(directory / "Sample Mail Support/old-updater") << "old";

    SampleApplications::write(mail, directory.path());
    EXPECT_EQ(inspect(mail.bundle(directory.path())).auxiliaryCodeIdentities,
              std::vector<CodeIdentity>{CodeIdentity::make("com.example.SampleMail.Fetcher",
                                                           SampleApplications::teamIdentifier)});
    EXPECT_FALSE(std::filesystem::exists(directory / "Sample Mail Support/old-updater"));
    // Without an icon the bundle names none.
    EXPECT_FALSE(inspect(mail.bundle(directory.path())).iconData);
}

TEST(SampleApplications, SampleLikeApplicationsCarryTheirHelpers) {
    TemporaryDirectory directory;
    const auto bundle = SampleApplications::writeApplication(
        directory / "Load 1.app", "com.example.Load1", {"a", "b"}, "T3STT3AM42");
    const auto application = inspect(bundle);
    EXPECT_EQ(application.signingIdentifier, "com.example.Load1");
    EXPECT_EQ(application.teamIdentifier, "T3STT3AM42");
    EXPECT_EQ(application.auxiliaryCodeIdentities,
              (std::vector<CodeIdentity>{CodeIdentity::make("com.example.Load1.a", "T3STT3AM42"),
                                         CodeIdentity::make("com.example.Load1.b", "T3STT3AM42")}));
}

} // namespace
} // namespace zorvane
