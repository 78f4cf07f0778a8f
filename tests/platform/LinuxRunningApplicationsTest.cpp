#include "platform/linux/LinuxRunningApplications.h"

#include "tests/support/BundleBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zorvane {
namespace {
namespace fs = std::filesystem;
using Policy = Workspace::ActivationPolicy;

// A procfs-shaped tree: <pid>/exe links to the executable, <pid>/stat carries the start time
// (field 22) and <pid>/status the user.
class FakeProc {
public:
    explicit FakeProc(fs::path root) : root_(std::move(root)) { fs::create_directories(root_); }

    void add(int pid, const fs::path& executable, std::uint64_t startTime, std::uint32_t uid) {
        const auto directory = root_ / std::to_string(pid);
        fs::create_directories(directory);
        fs::create_symlink(executable, directory / "exe");
        std::ofstream stat(directory / "stat");
        stat << pid << " (name with ) paren) S";
        for (int field = 4; field <= 30; ++field) {
            stat << ' ' << (field == 22 ? startTime : 0);
        }
        std::ofstream(directory / "status") << "Name:\tx\nUid:\t" << uid << '\t' << uid << '\t'
                                            << uid << '\t' << uid << "\nGid:\t0\t0\t0\t0\n";
    }
    void arguments(int pid, const std::vector<std::string>& arguments) {
        std::ofstream cmdline(root_ / std::to_string(pid) / "cmdline", std::ios::binary);
        for (const auto& argument : arguments) {
            cmdline << argument << '\0';
        }
    }
    void remove(int pid) { fs::remove_all(root_ / std::to_string(pid)); }
    const fs::path& root() const { return root_; }

private:
    fs::path root_;
};

class LinuxRunningApplicationsTest : public ::testing::Test {
protected:
    TemporaryDirectory dir;
    FakeProc proc{dir / "proc"};
    const std::uint32_t user = 1000;

    fs::path bundle(const std::string& name, const std::string& identifier,
                    const PlistDictionary& extra = {}) {
        const std::vector<std::uint8_t> executable{'x'};
        return BundleBuilder::application(dir / "Applications" / name, identifier, executable,
                                          extra)
            .path();
    }
};

TEST_F(LinuxRunningApplicationsTest, FindsBundleMainExecutablesOfTheUserOnly) {
    const auto editor = bundle("Editor.app", "com.example.editor");
    const auto agent =
        bundle("Agent.app", "com.example.agent", {{"LSUIElement", PlistValue(true)}});
    proc.add(10, editor / "Contents/MacOS/Editor", 100, user);
    proc.add(11, agent / "Contents/MacOS/Agent", 100, user);
    proc.add(12, editor / "Contents/Helpers/tool", 100, user); // a helper, not an application
    proc.add(13, "/usr/bin/true", 100, user);
    proc.add(14, editor / "Contents/MacOS/Editor", 100, user + 1); // someone else's
    fs::create_directories(proc.root() / "self");

    LinuxRunningApplications running(proc.root(), user);
    auto applications = running.scan();
    ASSERT_EQ(applications.size(), 2u);
    std::sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    });
    EXPECT_EQ(applications[0].bundleIdentifier, "com.example.editor");
    EXPECT_EQ(applications[0].bundleURL, editor);
    EXPECT_EQ(applications[0].activationPolicy, Policy::regular);
    EXPECT_EQ(applications[1].bundleIdentifier, "com.example.agent");
    EXPECT_EQ(applications[1].activationPolicy, Policy::accessory);

    // The same bundle's executable started as the status agent is an accessory application;
    // the argument counts only after the program's name.
    const auto editorExecutable = (editor / "Contents/MacOS/Editor").string();
    proc.add(15, editorExecutable, 100, user);
    proc.arguments(15, {editorExecutable, "-v", build_info::agentArgument});
    proc.add(16, editorExecutable, 100, user);
    proc.arguments(16, {build_info::agentArgument, "--other"});
    applications = running.scan();
    std::sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    });
    ASSERT_EQ(applications.size(), 4u);
    EXPECT_EQ(applications[2].activationPolicy, Policy::accessory);
    EXPECT_EQ(applications[3].activationPolicy, Policy::regular);

    EXPECT_EQ(LinuxRunningApplications::bundleOfExecutable("/A/B.app/Contents/MacOS/B (deleted)"),
              fs::path("/A/B.app"));
    EXPECT_FALSE(LinuxRunningApplications::bundleOfExecutable("/A/B.app/Contents/B"));
    EXPECT_FALSE(LinuxRunningApplications::bundleOfExecutable("/.app/Contents/MacOS/B"));
}

TEST_F(LinuxRunningApplicationsTest, ReportsEachTerminationOnceIncludingAReusedPid) {
    const auto editor = bundle("Editor.app", "com.example.editor");
    const auto viewer = bundle("Viewer.app", "com.example.viewer");
    LinuxRunningApplications running(proc.root(), user);
    proc.add(10, editor / "Contents/MacOS/Editor", 100, user);
    proc.add(11, viewer / "Contents/MacOS/Viewer", 100, user);
    EXPECT_EQ(running.scan().size(), 2u); // nobody polls yet: nothing is remembered
    proc.remove(11);
    EXPECT_TRUE(running.pollTerminated().empty()); // starts the tracking

    // Seen only by a scan between two polls, and gone by the next: still reported.
    proc.add(20, viewer / "Contents/MacOS/Viewer", 100, user);
    EXPECT_EQ(running.scan().size(), 2u);
    proc.remove(20);
    auto terminated = running.pollTerminated();
    ASSERT_EQ(terminated.size(), 1u);
    EXPECT_EQ(terminated[0].bundleIdentifier, "com.example.viewer");
    EXPECT_TRUE(running.pollTerminated().empty());

    // The pid comes back as another process: the first one ended.
    proc.remove(10);
    proc.add(10, editor / "Contents/MacOS/Editor", 200, user);
    terminated = running.pollTerminated();
    ASSERT_EQ(terminated.size(), 1u);
    EXPECT_EQ(terminated[0].processIdentifier, 10);
    EXPECT_EQ(running.scan().size(), 1u);
}

TEST_F(LinuxRunningApplicationsTest, ListedLinuxProgramsAndFlatpakSandboxesRunTheirEntries) {
    BlockedApplication editor;
    editor.bundleIdentifier = "editor.desktop";
    editor.signingIdentifier = "/opt/editor/editor";
    editor.path = "/usr/share/applications/editor.desktop";
    BlockedApplication maps = editor;
    maps.bundleIdentifier = "org.example.Maps.desktop";
    maps.signingIdentifier = "org.example.Maps";
    maps.path = "/var/lib/flatpak/exports/share/applications/org.example.Maps.desktop";

    const auto sandbox = [&](int pid, const std::string& name, bool rootOwned) {
        const auto root = dir / ("sandbox" + std::to_string(pid));
        fs::create_directories(root);
        std::ofstream(root / ".flatpak-info") << "[Application]\nname=" << name << "\n";
        if (!rootOwned) {
            EXPECT_EQ(::chown((root / ".flatpak-info").c_str(), user, user), 0);
        }
        fs::create_symlink(root, proc.root() / std::to_string(pid) / "root");
    };
    proc.add(30, "/opt/editor/editor", 100, user);
    proc.add(31, "/opt/editor/editor (deleted)", 100, user); // updated while it runs
    proc.add(32, "/opt/editor/renderer", 100, user);         // a helper, not the application
    proc.add(33, "/app/bin/maps", 100, user);
    proc.add(34, "/app/bin/maps", 100, user);
    const bool root = ::geteuid() == 0;
    if (root) {
        sandbox(33, "org.example.Maps", true);
    }
    sandbox(34, "org.example.Maps", false); // written by the process's own user: a claim

    LinuxRunningApplications running(proc.root(), user);
    EXPECT_TRUE(running.scan().empty()); // nothing listed, nothing of these is an application
    running.setListedApplications({editor, maps});
    auto applications = running.scan();
    std::sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        return a.processIdentifier < b.processIdentifier;
    });
    ASSERT_EQ(applications.size(), root ? 3u : 2u);
    EXPECT_EQ(applications[0].bundleIdentifier, "editor.desktop");
    EXPECT_EQ(applications[0].bundleURL, fs::path(editor.path));
    EXPECT_EQ(applications[1].processIdentifier, 31);
    if (root) {
        EXPECT_EQ(applications[2].processIdentifier, 33);
        EXPECT_EQ(applications[2].bundleIdentifier, "org.example.Maps.desktop");
    }

    // Once the editor is no longer listed, its quitting is no application's.
    running.setListedApplications({maps});
    EXPECT_TRUE(running.pollTerminated().empty());
    proc.remove(30);
    EXPECT_TRUE(running.pollTerminated().empty());
}

TEST_F(LinuxRunningApplicationsTest, SeesARealProcessRunningFromABundle) {
    const auto app = bundle("Sleeper.app", "com.example.sleeper");
    const auto executable = app / "Contents/MacOS/Sleeper";
    fs::copy_file("/bin/sleep", executable, fs::copy_options::overwrite_existing);
    fs::permissions(executable, fs::perms::owner_all);

    const std::string program = executable.string();
    char argument[] = "30";
    char* arguments[] = {const_cast<char*>(program.c_str()), argument, nullptr};
    pid_t child = 0;
    ASSERT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, arguments, environ), 0);

    LinuxRunningApplications running;
    const auto ours = [&](const std::vector<Workspace::RunningApplication>& list) {
        return std::count_if(list.begin(), list.end(),
                             [&](const auto& a) { return a.processIdentifier == child; });
    };
    // posix_spawn returns once the child exists; its image is ours as soon as exec is done.
    std::vector<Workspace::RunningApplication> seen;
    for (int attempt = 0; attempt < 200 && ours(seen) == 0; ++attempt) {
        seen = running.scan();
        if (ours(seen) == 0) {
            ::usleep(5000);
        }
    }
    ASSERT_EQ(ours(seen), 1);
    EXPECT_TRUE(running.pollTerminated().empty());

    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    const auto terminated = running.pollTerminated();
    ASSERT_EQ(ours(terminated), 1);
    EXPECT_EQ(std::find_if(terminated.begin(), terminated.end(),
                           [&](const auto& a) { return a.processIdentifier == child; })
                  ->bundleIdentifier,
              "com.example.sleeper");
}

} // namespace
} // namespace zorvane
