#include "platform/linux/LinuxWorkspace.h"

#include "tests/support/BundleBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

// One process of this user, in a procfs-shaped tree, running the bundle's main executable.
void addProcess(const fs::path& proc, int pid, const fs::path& executable) {
    const auto directory = proc / std::to_string(pid);
    fs::create_directories(directory);
    fs::create_symlink(executable, directory / "exe");
    std::ofstream stat(directory / "stat");
    stat << pid << " (x) S";
    for (int field = 4; field <= 30; ++field) {
        stat << ' ' << (field == 22 ? 77 : 0);
    }
    const auto uid = LinuxRunningApplications::currentUser();
    std::ofstream(directory / "status")
        << "Uid:\t" << uid << '\t' << uid << "\t0\t0\nGid:\t0\t0\t0\t0\n";
}

TEST(LinuxWorkspace, NotifiesTerminationsWhileAHandlerIsSet) {
    TemporaryDirectory dir;
    const std::vector<std::uint8_t> executable{'x'};
    const auto app =
        BundleBuilder::application(dir / "Editor.app", "com.example.editor", executable).path();
    addProcess(dir / "proc", 42, app / "Contents/MacOS/Editor");

    LinuxWorkspace workspace(nullptr, std::chrono::milliseconds(1), dir / "proc");
    EXPECT_EQ(workspace.runningBundleIdentifiers(), std::vector<std::string>{"com.example.editor"});

    std::vector<Workspace::RunningApplication> terminated;
    workspace.setTerminationHandler(
        [&](const auto& application) { terminated.push_back(application); });
    fs::remove_all(dir / "proc" / "42");
    // The timer polls on its own; give the event loop a bounded chance to run it.
    QElapsedTimer waited;
    waited.start();
    while (terminated.empty() && waited.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    ASSERT_EQ(terminated.size(), 1u);
    EXPECT_EQ(terminated[0].bundleIdentifier, "com.example.editor");
    EXPECT_EQ(terminated[0].processIdentifier, 42);

    workspace.setTerminationHandler(nullptr);
    addProcess(dir / "proc", 43, app / "Contents/MacOS/Editor");
    workspace.pollNow();
    fs::remove_all(dir / "proc" / "43");
    workspace.pollNow();
    EXPECT_EQ(terminated.size(), 1u);
}

// An application just put on the list runs at once for whoever asks next (allowing it until it
// quits, restoring such an allowance at start), not only after the next timed poll.
TEST(LinuxWorkspace, ANewlyListedProgramRunsForTheNextQuestion) {
    TemporaryDirectory dir;
    addProcess(dir / "proc", 42, "/opt/editor/editor");
    // Enough other processes that a poll takes a while: the question comes while it runs.
    for (int pid = 1000; pid < 1400; ++pid) {
        addProcess(dir / "proc", pid, "/usr/bin/true");
    }
    // A poll interval far longer than the test: only the change of list can start a poll.
    LinuxWorkspace workspace(nullptr, std::chrono::hours(1), dir / "proc");
    EXPECT_TRUE(workspace.runningBundleIdentifiers().empty());

    BlockedApplication editor;
    editor.bundleIdentifier = "editor.desktop";
    editor.signingIdentifier = "/opt/editor/editor";
    editor.path = "/usr/share/applications/editor.desktop";
    workspace.setListedApplications({editor});
    EXPECT_EQ(workspace.runningBundleIdentifiers(), std::vector<std::string>{"editor.desktop"});
}

// Polls read bundles' Info.plist files; the thread that asks for the running applications never
// does, so a file that never answers (a FIFO) cannot hold it.
TEST(LinuxWorkspace, AskingNeverWaitsForAFileABundleControls) {
    TemporaryDirectory dir;
    const std::vector<std::uint8_t> executable{'x'};
    const auto editor =
        BundleBuilder::application(dir / "Editor.app", "com.example.editor", executable).path();
    addProcess(dir / "proc", 42, editor / "Contents/MacOS/Editor");
    const auto stuck =
        BundleBuilder::application(dir / "Stuck.app", "com.example.stuck", executable).path();
    fs::remove(stuck / "Contents/Info.plist");
    ASSERT_EQ(::mkfifo((stuck / "Contents/Info.plist").c_str(), 0600), 0);
    addProcess(dir / "proc", 43, stuck / "Contents/MacOS/Stuck");

    // Should a reader ever block on the FIFO, this lets it go on (an empty file) after a while,
    // so that the test fails instead of hanging. Opened without blocking: a writer that waits
    // for a reader that never comes would hang the test itself.
    std::promise<void> answered;
    std::thread release([fifo = stuck / "Contents/Info.plist", done = answered.get_future()] {
        if (done.wait_for(std::chrono::seconds(6)) == std::future_status::ready) {
            return;
        }
        const int descriptor = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (descriptor >= 0) {
            ::close(descriptor);
        }
    });
    LinuxWorkspace workspace(nullptr, std::chrono::milliseconds(10), dir / "proc");
    QElapsedTimer asked;
    asked.start();
    workspace.runningApplications();
    EXPECT_LT(asked.elapsed(), 4000);

    // The poll skips the bundle whose Info.plist is no file and lists the other.
    QElapsedTimer waited;
    waited.start();
    std::vector<std::string> identifiers;
    while (waited.elapsed() < 20000) {
        identifiers = workspace.runningBundleIdentifiers();
        if (!identifiers.empty()) {
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    answered.set_value();
    release.join();
    EXPECT_EQ(identifiers, std::vector<std::string>{"com.example.editor"});
}

TEST(LinuxWorkspace, IconsComeFromTheRendererForDirectoriesOnly) {
    TemporaryDirectory dir;
    std::vector<fs::path> asked;
    LinuxWorkspace workspace([&](const fs::path& path) {
        asked.push_back(path);
        return std::optional<std::vector<std::uint8_t>>(std::vector<std::uint8_t>{1, 2, 3});
    });
    fs::create_directories(dir / "Editor.app");
    std::ofstream(dir / "file.txt") << "x";

    EXPECT_EQ(workspace.iconForFile(dir / "Editor.app"), (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_FALSE(workspace.iconForFile(dir / "file.txt"));
    EXPECT_FALSE(workspace.iconForFile(dir / "missing.app"));
    EXPECT_EQ(asked, std::vector<fs::path>{dir / "Editor.app"});
    EXPECT_FALSE(workspace.openURL("not a url"));
}

TEST(LinuxWorkspace, LaunchesTheBundlesMainExecutableWithoutArgumentsAndNeverActivates) {
    TemporaryDirectory dir;
    // The script records its arguments in a file next to the bundle, then ends.
    const std::string script = "#!/bin/sh\nprintf '%s|' \"$#\" \"$@\" > \"$0.ran\"\n";
    const std::vector<std::uint8_t> bytes(script.begin(), script.end());
    const auto app = BundleBuilder::application(dir / "Tool.app", "com.example.tool", bytes).path();
    LinuxWorkspace workspace(nullptr, std::chrono::milliseconds(1000), dir / "proc");

    ASSERT_TRUE(workspace.launchNewInstance(app));
    const auto ran = app / "Contents/MacOS/Tool.ran";
    QElapsedTimer waited;
    waited.start();
    std::string recorded;
    while (waited.elapsed() < 10'000) {
        std::ifstream in(ran);
        if (std::getline(in, recorded) && !recorded.empty()) {
            break;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    EXPECT_EQ(recorded, "0|");

    // No Info.plist, or one whose executable lies outside Contents/MacOS: nothing starts.
    EXPECT_FALSE(workspace.launchNewInstance(dir / "Missing.app"));
    const auto escaping =
        BundleBuilder::application(
            dir / "Escape.app", "com.example.escape", bytes,
            PlistDictionary{{"CFBundleExecutable", PlistValue(std::string("../../x"))}})
            .file("x", script, true)
            .path();
    EXPECT_FALSE(workspace.launchNewInstance(escaping));

    Workspace::RunningApplication running;
    running.bundleIdentifier = "com.example.tool";
    EXPECT_FALSE(workspace.activate(running));
}

} // namespace
} // namespace zorvane
