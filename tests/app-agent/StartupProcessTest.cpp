// The built Zorvane executable as a process of its own, offscreen, on the private session bus
// the test runs in, with every directory it touches in a temporary one.
#include "app/agent/BackgroundStatusAgentRegistration.h"
#include "shared/PlistCodec.h"
#include "tests/qt-support/ZorvaneProcess.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

#include <QDBusConnection>
#include <QProcess>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

using testing::mainWindowForwardLine;
using testing::processBoundMs;
using testing::ZorvaneProcess;

const QString& forwardLine = mainWindowForwardLine;
const QString windowsLine = QStringLiteral("Running with windows");
const std::filesystem::path builtBundle = ZorvaneProcess::builtBundle();

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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

    TemporaryDirectory directory;
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
}

} // namespace
} // namespace zorvane
