// Files that a bundle controls, read by inspection and by the running-application scan: a FIFO
// in place of any of them is refused at once, and the rest of the work goes on.
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "platform/linux/LinuxRunningApplications.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/support/TestFifo.h"

#include <fstream>
#include <gtest/gtest.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

std::vector<std::uint8_t> signedFile(const std::string& identifier) {
    return MachOBuilder::thin(MachOBuilder::signedExecutable(identifier, "TEAM123456")).bytes();
}

TEST(BundleFileDoor, FifosInsideABundleEndInspectionPromptly) {
    TemporaryDirectory dir;
    auto app = BundleBuilder::application(dir / "Example.app", "com.example.app",
                                          signedFile("com.example.app"),
                                          {{"CFBundleIconFile", "AppIcon"}});
    BundleBuilder::application(app.path() / "Contents/XPCServices/Good.xpc", "com.example.good",
                               signedFile("com.example.good"));
    // A nested service whose Info.plist is a FIFO, a nested application whose executable is
    // one, and an icon file that is one.
    fs::create_directories(app.path() / "Contents/XPCServices/Stuck.xpc/Contents/MacOS");
    const TestFifo nestedInfo(app.path() / "Contents/XPCServices/Stuck.xpc/Contents/Info.plist");
    auto nestedApp =
        BundleBuilder::application(app.path() / "Contents/Library/LoginItems/Login.app",
                                   "com.example.login", signedFile("com.example.login"));
    fs::remove(nestedApp.path() / "Contents/MacOS/Login");
    const TestFifo nestedExecutable(nestedApp.path() / "Contents/MacOS/Login");
    const TestFifo icon(app.path() / "Contents/Resources/AppIcon.icns");

    // And a bundle whose own Info.plist is a FIFO.
    fs::create_directories(dir / "Stuck.app/Contents/MacOS");
    const TestFifo mainInfo(dir / "Stuck.app/Contents/Info.plist");

    const ApplicationInspector inspector(&ApplicationIconRenderer::render);
    const bool prompt = TestFifo::finishesPromptly(
        [&] {
            const auto result = inspector.inspect(app.path(), Uuid::random());
            const auto* entry = std::get_if<BlockedApplication>(&result);
            ASSERT_NE(entry, nullptr);
            EXPECT_EQ(entry->bundleIdentifier, "com.example.app");
            EXPECT_EQ(entry->auxiliaryCodeIdentities,
                      std::vector{CodeIdentity::make("com.example.good", "TEAM123456")});
            EXPECT_FALSE(entry->iconData.has_value());

            const auto stuck = inspector.inspect(dir / "Stuck.app", Uuid::random());
            EXPECT_TRUE(std::holds_alternative<ApplicationInspectionError>(stuck));
        },
        {&nestedInfo, &nestedExecutable, &icon, &mainInfo});
    EXPECT_TRUE(prompt) << "inspection waited on a FIFO";
}

TEST(BundleFileDoor, RunningApplicationWithAFifoForItsInfoPlistIsListedPromptly) {
    TemporaryDirectory dir;
    fs::create_directories(dir / "Stuck.app/Contents/MacOS");
    std::ofstream(dir / "Stuck.app/Contents/MacOS/Stuck") << "x";
    const TestFifo info(dir / "Stuck.app/Contents/Info.plist");
    const auto process = dir / "proc/10";
    fs::create_directories(process);
    fs::create_symlink(dir / "Stuck.app/Contents/MacOS/Stuck", process / "exe");
    std::ofstream(process / "stat") << "10 (Stuck) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 100\n";
    const auto user = LinuxRunningApplications::currentUser();
    std::ofstream(process / "status") << "Uid:\t" << user << '\t' << user << '\t' << user << '\t'
                                      << user << "\nGid:\t0\t0\t0\t0\n";

    LinuxRunningApplications running(dir / "proc", user);
    const bool prompt = TestFifo::finishesPromptly(
        [&] {
            const auto applications = running.scan();
            ASSERT_EQ(applications.size(), 1u);
            EXPECT_EQ(applications[0].bundleURL, dir / "Stuck.app");
            EXPECT_FALSE(applications[0].bundleIdentifier.has_value());
        },
        {&info});
    EXPECT_TRUE(prompt) << "the scan waited on a FIFO";
}

} // namespace
} // namespace zorvane
