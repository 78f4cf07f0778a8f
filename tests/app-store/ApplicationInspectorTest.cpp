#include "app/store/ApplicationInspector.h"

#include "app/store/ApplicationIconRenderer.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/resource.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

std::vector<std::uint8_t> signedFile(const std::string& identifier,
                                     std::optional<std::string> team = {},
                                     MachOFileType type = MachOFileType::Executable) {
    auto slice = MachOBuilder::signedExecutable(identifier, std::move(team));
    slice.fileType = type;
    return MachOBuilder::thin(slice).bytes();
}

const std::string mainTeam = "TEAM123456";

class InspectionTest : public ::testing::Test {
protected:
    BundleBuilder app(const std::string& name = "Example.app", const PlistDictionary& extra = {}) {
        return BundleBuilder::application(dir.path() / name, "com.example.app",
                                          signedFile("com.example.app", mainTeam), extra);
    }

    BlockedApplication inspectOk(const fs::path& path, const ApplicationInspector& inspector = {}) {
        auto result = inspector.inspect(path, id);
        if (auto* error = std::get_if<ApplicationInspectionError>(&result)) {
            ADD_FAILURE() << "inspection failed: " << description(*error);
            return {};
        }
        return std::get<BlockedApplication>(result);
    }

    std::optional<ApplicationInspectionError> inspectError(const fs::path& path) {
        auto result = ApplicationInspector().inspect(path, id);
        if (auto* error = std::get_if<ApplicationInspectionError>(&result)) {
            return *error;
        }
        return std::nullopt;
    }

    TemporaryDirectory dir;
    Uuid id = Uuid::random();
};

TEST_F(InspectionTest, SignedBundleBecomesACompleteEntry) {
    auto bundle = app("Example.app", {{"CFBundleName", "Example Name"}});
    const auto entry = inspectOk(bundle.path() / "");

    EXPECT_EQ(entry.id, id);
    EXPECT_EQ(entry.name, "Example Name");
    EXPECT_EQ(entry.bundleIdentifier, "com.example.app");
    EXPECT_EQ(entry.signingIdentifier, "com.example.app");
    EXPECT_EQ(entry.teamIdentifier, mainTeam);
    // The main executable lies in Contents/MacOS/ and is the bundle's own identity: not a helper.
    ASSERT_TRUE(entry.auxiliaryCodeIdentities.has_value());
    EXPECT_TRUE(entry.auxiliaryCodeIdentities->empty());
    EXPECT_FALSE(entry.auxiliarySigningIdentifiers.has_value());
    EXPECT_EQ(entry.inspectionVersion, 5);
    EXPECT_EQ(entry.path, bundle.path().string()); // no trailing "/"
    EXPECT_FALSE(entry.iconData.has_value());
}

TEST_F(InspectionTest, ExtensionAndBundleChecks) {
    auto upper = BundleBuilder::application(dir.path() / "Loud.APP", "com.example.loud",
                                            signedFile("com.example.loud"));
    EXPECT_EQ(inspectOk(upper.path()).name, "Loud");

    auto apps = BundleBuilder::application(dir.path() / "Many.apps", "com.example.many",
                                           signedFile("com.example.many"));
    EXPECT_EQ(inspectError(apps.path()), ApplicationInspectionError::notAnApplication);
    EXPECT_EQ(inspectError(dir.path() / "Missing.app"),
              ApplicationInspectionError::notAnApplication);
    MachOBuilder::write(dir.path() / "File.app", signedFile("com.example.file"));
    EXPECT_EQ(inspectError(dir.path() / "File.app"), ApplicationInspectionError::notAnApplication);
}

TEST_F(InspectionTest, MissingIdentifierAndMissingSignature) {
    BundleBuilder noIdentifier(dir.path() / "NoId.app");
    noIdentifier.info({{"CFBundleExecutable", "NoId"}});
    noIdentifier.executable("NoId", signedFile("com.example.noid"));
    EXPECT_EQ(inspectError(noIdentifier.path()), ApplicationInspectionError::missingIdentifier);

    BundleBuilder garbageInfo(dir.path() / "Garbage.app");
    garbageInfo.rawInfo("this is not a property list");
    EXPECT_EQ(inspectError(garbageInfo.path()), ApplicationInspectionError::missingIdentifier);

    MachOSliceSpec unsignedSlice;
    auto unsignedApp = BundleBuilder::application(dir.path() / "Unsigned.app", "com.example.u",
                                                  MachOBuilder::thin(unsignedSlice).bytes());
    EXPECT_EQ(inspectError(unsignedApp.path()), ApplicationInspectionError::unsignedApplication);

    auto script = BundleBuilder::application(dir.path() / "Script.app", "com.example.script",
                                             std::span<const std::uint8_t>());
    script.file("Contents/MacOS/Script", std::string_view("#!/bin/sh\necho hi\n"), true);
    EXPECT_EQ(inspectError(script.path()), ApplicationInspectionError::unsignedApplication);
}

TEST_F(InspectionTest, NameRule) {
    auto emptyDisplay =
        app("Display.app", {{"CFBundleDisplayName", ""}, {"CFBundleName", "Ignored"}});
    EXPECT_EQ(inspectOk(emptyDisplay.path()).name, "");

    // The builder writes CFBundleName; a bundle without either key is named after its folder.
    BundleBuilder plain(dir.path() / "Plain Name.app");
    plain.info({{"CFBundleIdentifier", "com.example.plain"}, {"CFBundleExecutable", "exe"}},
               PlistFormat::Binary);
    plain.executable("exe", signedFile("com.example.plain"));
    EXPECT_EQ(inspectOk(plain.path()).name, "Plain Name");

    auto numberName = app("Number.app", {{"CFBundleDisplayName", std::int64_t{3}}});
    EXPECT_EQ(inspectOk(numberName.path()).name, "Number");
}

TEST_F(InspectionTest, TeamIsNormalised) {
    auto bundle = BundleBuilder::application(dir.path() / "Spaces.app", "com.example.spaces",
                                             signedFile("com.example.spaces", "  TEAM \n"));
    EXPECT_EQ(inspectOk(bundle.path()).teamIdentifier, "TEAM");
    auto blank = BundleBuilder::application(dir.path() / "Blank.app", "com.example.blank",
                                            signedFile("com.example.blank", "   "));
    EXPECT_EQ(inspectOk(blank.path()).teamIdentifier, std::nullopt);
}

TEST_F(InspectionTest, HelperDiscoveryFollowsTheHelperDirectoryRules) {
    auto bundle = app();
    // Counted: executables in helper directories, a universal one included.
    bundle.file("Contents/Helpers/helper", signedFile("com.example.helper", mainTeam), true);
    MachOSliceSpec intel = MachOBuilder::signedExecutable("com.example.universal", mainTeam);
    intel.cpuType = MachOSliceSpec::cpuTypeX86_64;
    MachOSliceSpec arm = MachOBuilder::signedExecutable("com.example.universal", mainTeam);
    bundle.file("Contents/Library/LoginItems/universal",
                MachOBuilder::universal({intel, arm}, FatFormat::Fat64).bytes(), true);
    // Same identifier as the main code with another team: a different identity, counted.
    bundle.file("Contents/MacOS/other-team", signedFile("com.example.app", "OTHERTEAM1"), true);
    // Same identity as the main code: dropped.
    bundle.file("Contents/MacOS/twin", signedFile("com.example.app", mainTeam), true);
    // Nested bundles count anywhere, also inside a framework; their executables do not count
    // by themselves since they lie under no helper directory of the outer bundle.
    BundleBuilder::application(bundle.path() / "Contents/Frameworks/Kit.framework/Nested.app",
                               "com.example.nested", signedFile("com.example.nested"));
    BundleBuilder::application(bundle.path() / "Contents/XPCServices/Service.XPC",
                               "com.example.service", signedFile("com.example.service", mainTeam));
    bundle.file("Contents/Frameworks/Kit.framework/Versions/A/tool",
                signedFile("com.example.frameworktool"), true);

    // Not counted: not Mach-O, not an executable file type, not executable, hidden, outside.
    bundle.file("Contents/MacOS/script", std::string_view("#!/bin/sh\n"), true);
    bundle.file("Contents/Helpers/libthing.dylib",
                signedFile("com.example.dylib", mainTeam, MachOFileType::Dylib), true);
    bundle.file("Contents/Helpers/plugin",
                signedFile("com.example.plugin", mainTeam, MachOFileType::Bundle), true);
    bundle.file("Contents/Helpers/not-executable", signedFile("com.example.noexec"), false);
    bundle.file("Contents/Helpers/.hidden", signedFile("com.example.hidden"), true);
    BundleBuilder::application(bundle.path() / "Contents/.Hidden.app", "com.example.hiddenapp",
                               signedFile("com.example.hiddenapp"));
    bundle.file("Contents/Resources/tool", signedFile("com.example.resourcetool"), true);
    // A link is not followed, whatever it points at.
    TemporaryDirectory outside;
    auto target = BundleBuilder::application(outside.path() / "Target.app", "com.example.target",
                                             signedFile("com.example.target"));
    fs::create_symlink(target.path(), bundle.path() / "Contents/Linked.app");
    fs::create_symlink(target.path() / "Contents/MacOS/Target",
                       bundle.path() / "Contents/Helpers/linked-helper");

    const auto helpers = inspectOk(bundle.path()).auxiliaryCodeIdentities.value();
    const std::vector<CodeIdentity> expected = {
        CodeIdentity::make("com.example.app", "OTHERTEAM1"),
        CodeIdentity::make("com.example.helper", mainTeam),
        CodeIdentity::make("com.example.nested", std::nullopt),
        CodeIdentity::make("com.example.service", mainTeam),
        CodeIdentity::make("com.example.universal", mainTeam),
    };
    EXPECT_EQ(helpers, expected);
}

TEST_F(InspectionTest, DuplicateHelpersAreListedOnce) {
    auto bundle = app();
    bundle.file("Contents/Helpers/a", signedFile("com.example.same", mainTeam), true);
    bundle.file("Contents/Helpers/b", signedFile("com.example.same", mainTeam), true);
    bundle.file("Contents/Helpers/c", signedFile("com.example.Same", mainTeam), true);
    const auto helpers = inspectOk(bundle.path()).auxiliaryCodeIdentities.value();
    ASSERT_EQ(helpers.size(), 2u);
    EXPECT_EQ(helpers[0].signingIdentifier, "com.example.Same"); // "S" sorts before "s"
    EXPECT_EQ(helpers[1].signingIdentifier, "com.example.same");
}

// What inspection accepts must also fit the filter configuration: identifiers up to the cap,
// and no more helpers than the cap (the first ones in sorted order).
TEST_F(InspectionTest, AcceptsOnlyWhatTheFilterConfigurationCanCarry) {
    const std::string atCap(ApplicationInspector::maximumIdentifierSize, 'i');
    const std::string overCap = atCap + "x";

    auto longBundleIdentifier = BundleBuilder::application(
        dir.path() / "LongId.app", overCap, signedFile("com.example.longid", mainTeam));
    EXPECT_EQ(inspectError(longBundleIdentifier.path()),
              ApplicationInspectionError::identifierTooLong);
    auto longSigning = BundleBuilder::application(dir.path() / "LongSigning.app",
                                                  "com.example.longsigning", signedFile(overCap));
    EXPECT_EQ(inspectError(longSigning.path()), ApplicationInspectionError::identifierTooLong);
    auto longTeam = BundleBuilder::application(dir.path() / "LongTeam.app", "com.example.longteam",
                                               signedFile("com.example.longteam", overCap));
    EXPECT_EQ(inspectError(longTeam.path()), ApplicationInspectionError::identifierTooLong);
    EXPECT_FALSE(description(ApplicationInspectionError::identifierTooLong).empty());

    auto atTheCap =
        BundleBuilder::application(dir.path() / "AtCap.app", atCap, signedFile(atCap, atCap));
    // A helper over the cap is left out; one at the cap and the rest are kept.
    atTheCap.file("Contents/Helpers/long", signedFile(overCap, mainTeam), true);
    atTheCap.file("Contents/Helpers/team", signedFile("com.example.team", overCap), true);
    atTheCap.file("Contents/Helpers/fits", signedFile(atCap, mainTeam), true);
    const auto entry = inspectOk(atTheCap.path());
    EXPECT_EQ(entry.signingIdentifier, atCap);
    EXPECT_EQ(entry.auxiliaryCodeIdentities,
              (std::vector<CodeIdentity>{CodeIdentity::make(atCap, mainTeam)}));

    auto many = app("Many.app");
    std::vector<CodeIdentity> all;
    for (std::size_t i = 0; i < ApplicationInspector::maximumHelperCount + 5; ++i) {
        const std::string identifier = "com.example.helper" + std::to_string(100 + i);
        many.file("Contents/Helpers/h" + std::to_string(i), signedFile(identifier, mainTeam), true);
        all.push_back(CodeIdentity::make(identifier, mainTeam));
    }
    std::sort(all.begin(), all.end());
    all.resize(ApplicationInspector::maximumHelperCount);
    EXPECT_EQ(inspectOk(many.path()).auxiliaryCodeIdentities, all);
}

// An entry the walk cannot open costs that entry, never the rest of the bundle: a directory
// chain deeper than the descriptors allow, a link back up the tree, another entry after them.
TEST_F(InspectionTest, HelperDiscoveryWalksPastWhatItCannotRead) {
    auto bundle = app();
    fs::path chain = "Contents/Helpers/deep";
    for (int level = 0; level < 300; ++level) {
        chain /= "d";
    }
    bundle.directory(chain);
    bundle.file(chain / "Lost.app/Contents/MacOS/lost", signedFile("com.example.lost"), true);
    fs::create_directory_symlink("../..", bundle.path() / "Contents/Helpers/loop");
    const std::vector<std::string> places = {"Contents/Helpers/a", "Contents/MacOS/b",
                                             "Contents/Helpers/z", "Contents/Library/LoginItems/c",
                                             "Contents/XPCServices/x"};
    std::vector<CodeIdentity> expected;
    for (const auto& place : places) {
        const std::string identifier = "com.example." + fs::path(place).filename().string();
        bundle.file(place, signedFile(identifier, mainTeam), true);
        expected.push_back(CodeIdentity::make(identifier, mainTeam));
    }
    std::sort(expected.begin(), expected.end());

    // Few enough descriptors that a walk holding one per level runs out inside the chain.
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 128;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    auto result = ApplicationInspector().inspect(bundle.path(), id);
    ::setrlimit(RLIMIT_NOFILE, &saved);

    ASSERT_TRUE(std::holds_alternative<BlockedApplication>(result));
    EXPECT_EQ(std::get<BlockedApplication>(result).auxiliaryCodeIdentities, expected);
}

// A path that is not UTF-8 cannot be stored as text without naming something else.
TEST_F(InspectionTest, PathsThatAreNotUtf8) {
    auto bad = BundleBuilder::application(dir.path() / "Bad\xFF.app", "com.example.bad",
                                          signedFile("com.example.bad"));
    EXPECT_EQ(inspectError(bad.path()), ApplicationInspectionError::pathNotText);
    auto inside = BundleBuilder::application(dir.path() / "Folder\xC3(/Fine.app", "com.example.f",
                                             signedFile("com.example.f"));
    EXPECT_EQ(inspectError(inside.path()), ApplicationInspectionError::pathNotText);

    // Inside a fine bundle such helpers are left out, the others kept.
    auto bundle = app();
    bundle.file("Contents/Helpers/bad\xFE", signedFile("com.example.badhelper", mainTeam), true);
    BundleBuilder::application(bundle.path() / "Contents/XPCServices/S\xC0\xAF.xpc",
                               "com.example.badservice",
                               signedFile("com.example.badservice", mainTeam));
    bundle.file("Contents/Helpers/good", signedFile("com.example.good", mainTeam), true);
    EXPECT_EQ(inspectOk(bundle.path()).auxiliaryCodeIdentities,
              (std::vector<CodeIdentity>{CodeIdentity::make("com.example.good", mainTeam)}));
}

std::vector<std::uint8_t> icnsWithTwoSizes() {
    QImage small(16, 16, QImage::Format_ARGB32);
    small.fill(Qt::red);
    QImage large(256, 256, QImage::Format_ARGB32);
    large.fill(Qt::blue);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "icns");
    // The icns writer stores one image; write the larger so a 128-pixel render scales down.
    if (!writer.write(large)) {
        ADD_FAILURE() << "cannot write icns: " << writer.errorString().toStdString();
    }
    return {bytes.begin(), bytes.end()};
}

TEST_F(InspectionTest, IconIsRenderedAt128PixelsWhenItCanBeDecoded) {
    const ApplicationInspector inspector(&ApplicationIconRenderer::render);
    auto bundle = app("Icon.app", {{"CFBundleIconFile", "AppIcon"}});
    bundle.file("Contents/Resources/AppIcon.icns", icnsWithTwoSizes());
    const auto entry = inspectOk(bundle.path(), inspector);
    ASSERT_TRUE(entry.iconData.has_value());
    const auto png =
        QImage::fromData(entry.iconData->data(), static_cast<int>(entry.iconData->size()), "PNG");
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(png.size(), QSize(128, 128));
    EXPECT_EQ(png.pixelColor(64, 64), QColor(Qt::blue));

    // Named through CFBundleIconName, with the extension already given.
    auto named = app("Named.app", {{"CFBundleIconName", "Other.icns"}});
    named.file("Contents/Resources/Other.icns", icnsWithTwoSizes());
    EXPECT_TRUE(inspectOk(named.path(), inspector).iconData.has_value());

    auto garbage = app("Garbage.app", {{"CFBundleIconFile", "AppIcon.icns"}});
    garbage.file("Contents/Resources/AppIcon.icns", std::string_view("not an image"));
    EXPECT_FALSE(inspectOk(garbage.path(), inspector).iconData.has_value());

    auto missing = app("Missing.app", {{"CFBundleIconFile", "Absent"}});
    EXPECT_FALSE(inspectOk(missing.path(), inspector).iconData.has_value());

    auto escaping =
        app("Escape.app", {{"CFBundleIconFile", "../../Icon.app/Contents/Resources/AppIcon"}});
    EXPECT_FALSE(inspectOk(escaping.path(), inspector).iconData.has_value());
}

// Many themes ship their application icons only as SVG; they need the SVG image plugin installed.
TEST_F(InspectionTest, ADesktopEntrysSvgIconFromTheThemeIsRenderedAt128Pixels) {
    const auto program = dir.path() / "opt/editor/editor";
    fs::create_directories(program.parent_path());
    fs::copy_file("/bin/true", program);
    const auto svg = dir.path() / "share/icons/hicolor/scalable/apps/editor.svg";
    fs::create_directories(svg.parent_path());
    std::ofstream(svg) << R"(<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16">)"
                       << R"(<rect width="16" height="16" fill="#1e90ff"/></svg>)";
    const auto entry = dir.path() / "share/applications/editor.desktop";
    fs::create_directories(entry.parent_path());
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nName=Editor\nIcon=editor\n"
                         << "Exec=" << program.string() << " %F\n";
    DesktopEnvironment desktop;
    desktop.dataDirectories = {dir.path() / "share"};
    desktop.iconThemes = {"hicolor"};

    const auto inspected =
        inspectOk(entry, ApplicationInspector(&ApplicationIconRenderer::render, desktop));
    ASSERT_TRUE(inspected.iconData.has_value()) << "is the SVG image plugin installed?";
    const auto png = QImage::fromData(inspected.iconData->data(),
                                      static_cast<int>(inspected.iconData->size()), "PNG");
    EXPECT_EQ(png.size(), QSize(128, 128));
    EXPECT_EQ(png.pixelColor(64, 64), QColor("#1e90ff"));
}

} // namespace
} // namespace zorvane
