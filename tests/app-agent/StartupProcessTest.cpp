// The built Zorvane executable as a process of its own, offscreen, on the private session bus
// the test runs in, with every directory it touches in a temporary one.
#include "app/agent/BackgroundStatusAgentRegistration.h"
#include "platform/linux/ContainerDirectory.h"
#include "platform/linux/InstanceLock.h"
#include "shared/PlistCodec.h"
#include "tests/qt-support/ZorvaneProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

using testing::mainWindowForwardLine;
using testing::processBoundMs;
using testing::runningWindowProcesses;
using testing::ZorvaneProcess;

const QString& forwardLine = mainWindowForwardLine;
const QString windowsLine = QStringLiteral("Running with windows");
const QString alreadyRunsLine = QStringLiteral("Zorvane runs already");
constexpr const char* portKey = "localEventChannelPort";
const std::filesystem::path builtBundle = ZorvaneProcess::builtBundle();

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A process's arguments, as /proc shows them.
QStringList procArguments(pid_t process) {
    std::ifstream in("/proc/" + std::to_string(process) + "/cmdline", std::ios::binary);
    QStringList arguments;
    for (std::string text; std::getline(in, text, '\0');) {
        arguments << QString::fromStdString(text);
    }
    return arguments;
}

bool requestOpenMainWindow() {
    QProcess helper;
    helper.start(QStringLiteral(ZORVANE_STATE_HELPER), {QStringLiteral("open-main-window")});
    return helper.waitForFinished(processBoundMs) && helper.exitCode() == 0;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "run inside dbus-run-session";
    }

    std::optional<PlistValue> storedPreference(const char* key) const {
        auto stored = PlistCodec::readFile(directory / "preferences.plist", 1024 * 1024);
        const PlistValue* value = stored ? stored->find(key) : nullptr;
        return value ? std::optional(*value) : std::nullopt;
    }

    void TearDown() override {
        // An agent that registration started is no child of the test's: end it here.
        if (const auto agent = InstanceLock::holder(agentLock); agent && agent->processIdentifier) {
            ::kill(agent->processIdentifier, SIGTERM);
        }
    }

    // The status agent that holds its lock once one does.
    std::optional<InstanceLock::Holder> runningAgent() const {
        std::optional<InstanceLock::Holder> found;
        testing::eventually([&] {
            found = InstanceLock::holder(agentLock);
            return found && found->processIdentifier > 0;
        });
        return found && found->processIdentifier > 0 ? found : std::nullopt;
    }

    std::vector<pid_t> windowProcesses() const {
        return runningWindowProcesses(directory / "preferences.plist");
    }

    TemporaryDirectory directory;
    std::filesystem::path agentLock =
        directory / "data/zorvane" / ContainerDirectory::groupIdentifier / "status-agent.lock";
    std::filesystem::path autostartEntry =
        directory / "config/autostart/dev.quillmoor.Zorvane.agent.desktop";
};

TEST_F(Startup, WindowModeBringsTheMainWindowForwardHalfASecondAfterLaunch) {
    ZorvaneProcess zorvane(directory.path(), directory / "Applications");
    ASSERT_TRUE(zorvane.start());
    const auto launched = zorvane.waitFor(windowsLine);
    const auto forward = zorvane.waitFor(forwardLine);
    ASSERT_TRUE(launched && forward) << zorvane.log().toStdString();
    EXPECT_GE(*forward, 500);
    EXPECT_GE(*forward - *launched, 300) << "brought forward after the delay, not at once";

    EXPECT_EQ(zorvane.terminate(), 0) << zorvane.log().toStdString();
    EXPECT_EQ(zorvane.log().count(forwardLine), 1);
    // Started from elsewhere than the Applications folder: no login agent, nothing recorded.
    EXPECT_FALSE(std::filesystem::exists(autostartEntry));
    EXPECT_EQ(storedPreference(BackgroundStatusAgentRegistration::registeredBuildKey),
              std::nullopt);
}

TEST_F(Startup, AgentArgumentAnywhereRunsWithoutAnyWindow) {
    ZorvaneProcess agent(directory.path(), directory / "Applications");
    ASSERT_TRUE(agent.start({"--first", build_info::agentArgument, "last"}));
    ASSERT_TRUE(agent.waitFor("Running as the status agent; 0 visible windows"))
        << agent.log().toStdString();
    // The agent does not answer the window process's request.
    ASSERT_TRUE(requestOpenMainWindow());

    EXPECT_EQ(agent.terminate(), 0) << agent.log().toStdString();
    EXPECT_FALSE(agent.log().contains(windowsLine)) << agent.log().toStdString();
    EXPECT_FALSE(agent.log().contains("Brought the main window")) << agent.log().toStdString();
}

TEST_F(Startup, OpenWindowRequestFromAnotherProcessBringsTheMainWindowForward) {
    ZorvaneProcess zorvane(directory.path(), directory / "Applications");
    ASSERT_TRUE(zorvane.start());
    ASSERT_TRUE(zorvane.waitFor(forwardLine)) << zorvane.log().toStdString();

    ASSERT_TRUE(requestOpenMainWindow());
    ASSERT_TRUE(zorvane.waitFor(forwardLine, 2)) << zorvane.log().toStdString();
    const auto request = zorvane.log().indexOf("Open-window request received");
    ASSERT_GE(request, 0) << zorvane.log().toStdString();
    EXPECT_GT(zorvane.log().lastIndexOf(forwardLine), request);
    EXPECT_EQ(zorvane.terminate(), 0);
}

TEST_F(Startup, CopyInTheApplicationsFolderRegistersTheAgentForItsBuild) {
    ZorvaneProcess zorvane(directory.path(), builtBundle.parent_path());
    ASSERT_TRUE(zorvane.start());
    ASSERT_TRUE(zorvane.waitFor(forwardLine)) << zorvane.log().toStdString();
    EXPECT_EQ(zorvane.terminate(), 0);

    ASSERT_TRUE(std::filesystem::exists(autostartEntry));
    const std::string entry = readFile(autostartEntry);
    const std::string exec =
        "Exec=" + (builtBundle / "Contents/MacOS/Zorvane").lexically_normal().string() + " " +
        build_info::agentArgument + "\n";
    EXPECT_NE(entry.find(exec), std::string::npos) << entry;
    EXPECT_EQ(storedPreference(BackgroundStatusAgentRegistration::registeredBuildKey),
              PlistValue(build_info::buildNumber));

    // Registered, the agent runs now, not only from the next login.
    const auto agent = runningAgent();
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->executable, std::filesystem::canonical(ZorvaneProcess::executable()));
    EXPECT_TRUE(procArguments(agent->processIdentifier).contains(build_info::agentArgument));
}

// MARK: one window process per user

TEST_F(Startup, SecondLaunchShowsTheRunningWindowAndEnds) {
    ZorvaneProcess first(directory.path(), directory / "Applications");
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitFor(forwardLine)) << first.log().toStdString();
    ASSERT_TRUE(testing::eventually([&] { return storedPreference(portKey).has_value(); }))
        << first.log().toStdString();
    const auto port = storedPreference(portKey);

    ZorvaneProcess second(directory.path(), directory / "Applications");
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.waitForExit(), 0) << second.log().toStdString();
    EXPECT_TRUE(second.log().contains(alreadyRunsLine)) << second.log().toStdString();
    EXPECT_FALSE(second.log().contains(windowsLine)) << second.log().toStdString();

    ASSERT_TRUE(first.waitFor(forwardLine, 2)) << first.log().toStdString();
    const auto request = first.log().indexOf("Open-window request received");
    ASSERT_GE(request, 0) << first.log().toStdString();
    EXPECT_GT(first.log().lastIndexOf(forwardLine), request);
    EXPECT_EQ(windowProcesses(), std::vector{first.processId()});
    EXPECT_EQ(storedPreference(portKey), port) << "the running process keeps its port";
    EXPECT_EQ(first.terminate(), 0) << first.log().toStdString();
}

TEST_F(Startup, TwoLaunchesAtOnceLeaveOneWindowProcess) {
    ZorvaneProcess one(directory.path(), directory / "Applications");
    ZorvaneProcess other(directory.path(), directory / "Applications");
    ASSERT_TRUE(one.start());
    ASSERT_TRUE(other.start());
    std::optional<int> oneExit;
    std::optional<int> otherExit;
    QElapsedTimer bound;
    bound.start();
    while (!oneExit && !otherExit && bound.elapsed() < processBoundMs) {
        oneExit = one.waitForExit(10);
        otherExit = other.waitForExit(10);
    }
    ASSERT_NE(oneExit.has_value(), otherExit.has_value()) << "exactly one ends\n"
                                                          << one.log().toStdString() << "\n----\n"
                                                          << other.log().toStdString();
    ZorvaneProcess& ended = oneExit ? one : other;
    ZorvaneProcess& running = oneExit ? other : one;
    EXPECT_EQ(oneExit ? *oneExit : *otherExit, 0) << ended.log().toStdString();
    EXPECT_TRUE(ended.log().contains(alreadyRunsLine)) << ended.log().toStdString();
    ASSERT_TRUE(running.waitFor(forwardLine)) << running.log().toStdString();
    EXPECT_EQ(windowProcesses(), std::vector{running.processId()});
    EXPECT_EQ(running.terminate(), 0);
}

TEST_F(Startup, DesktopActivationBringsTheMainWindowBack) {
    ZorvaneProcess zorvane(directory.path(), directory / "Applications");
    ASSERT_TRUE(zorvane.start());
    ASSERT_TRUE(zorvane.waitFor(forwardLine)) << zorvane.log().toStdString();

    QDBusMessage activate = QDBusMessage::createMethodCall(
        QString::fromLatin1(build_info::bundleIdentifier), QStringLiteral("/dev/quillmoor/Zorvane"),
        QStringLiteral("org.freedesktop.Application"), QStringLiteral("Activate"));
    activate << QVariantMap{};
    const QDBusMessage reply =
        QDBusConnection::sessionBus().call(activate, QDBus::Block, int(processBoundMs));
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    ASSERT_TRUE(zorvane.waitFor(forwardLine, 2)) << zorvane.log().toStdString();
    EXPECT_LT(zorvane.log().indexOf("Activated by the desktop"),
              zorvane.log().lastIndexOf(forwardLine));
    EXPECT_EQ(zorvane.terminate(), 0);
}

} // namespace
} // namespace zorvane
