// The built Zorvane executable as a process of its own, offscreen, on the private session bus
// the test runs in, with every directory it touches in a temporary one.
#include "app/agent/BackgroundStatusAgentRegistration.h"
#include "shared/PlistCodec.h"
#include "tests/support/TemporaryDirectory.h"
#include "zorvane/BuildInfo.h"

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace zorvane {
namespace {

constexpr qint64 boundMs = 20'000;
const QString forwardLine = QStringLiteral("Brought the main window \"Zorvane\" forward (760x650)");
const QString windowsLine = QStringLiteral("Running with windows");
const std::filesystem::path builtBundle = ZORVANE_APP_BUNDLE;

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class ZorvaneProcess {
public:
    ZorvaneProcess(const TemporaryDirectory& directory,
                   const std::filesystem::path& applicationsDirectory) {
        auto environment = QProcessEnvironment::systemEnvironment();
        const auto set = [&](const char* name, const std::filesystem::path& path) {
            std::filesystem::create_directories(path);
            environment.insert(QString::fromLatin1(name), QString::fromStdString(path.string()));
        };
        set("HOME", directory / "home");
        set("XDG_CONFIG_HOME", directory / "config");
        set("XDG_DATA_HOME", directory / "data");
        set("XDG_STATE_HOME", directory / "state");
        set("XDG_CACHE_HOME", directory / "cache");
        set("ZORVANE_SYSTEM_DIR", directory / "system");
        set("ZORVANE_APPLICATIONS_DIR", applicationsDirectory);
        environment.insert("ZORVANE_PREFERENCES",
                           QString::fromStdString((directory / "preferences.plist").string()));
        // Nothing leaves the machine: the update check fails at once on a closed local port.
        environment.insert("ZORVANE_UPDATE_MANIFEST_URL",
                           "https://127.0.0.1:9/updates/latest.json");
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("QT_LOGGING_RULES", "dev.quillmoor.Zorvane.*=true");
        process_.setProcessEnvironment(environment);
        process_.setReadChannel(QProcess::StandardError);
    }

    ~ZorvaneProcess() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    void start(const QStringList& arguments = {}) {
        clock_.start();
        process_.start(QStringLiteral(ZORVANE_EXECUTABLE), arguments);
        ASSERT_TRUE(process_.waitForStarted(boundMs));
    }

    // Waits until the log holds the line `count` times; the time since start when it did.
    std::optional<qint64> waitFor(const QString& line, int count = 1) {
        while (log_.count(line) < count) {
            if (clock_.elapsed() > boundMs || process_.state() == QProcess::NotRunning) {
                read();
                return log_.count(line) >= count ? std::optional(clock_.elapsed()) : std::nullopt;
            }
            process_.waitForReadyRead(10);
            read();
        }
        return clock_.elapsed();
    }

    // Asks for an orderly quit, as a session ending would; the exit code, or -1.
    int terminate() {
        ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
        if (!process_.waitForFinished(boundMs)) {
            return -1;
        }
        read();
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    const QString& log() const { return log_; }

private:
    void read() { log_ += QString::fromUtf8(process_.readAllStandardError()); }

    QProcess process_;
    QElapsedTimer clock_;
    QString log_;
};

bool requestOpenMainWindow() {
    QProcess helper;
    helper.start(QStringLiteral(ZORVANE_STATE_HELPER), {QStringLiteral("open-main-window")});
    return helper.waitForFinished(boundMs) && helper.exitCode() == 0;
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
    ZorvaneProcess zorvane(directory, directory / "Applications");
    zorvane.start();
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
    ZorvaneProcess agent(directory, directory / "Applications");
    agent.start({"--first", build_info::agentArgument, "last"});
    ASSERT_TRUE(agent.waitFor("Running as the status agent; 0 visible windows"))
        << agent.log().toStdString();
    // The agent does not answer the window process's request.
    ASSERT_TRUE(requestOpenMainWindow());

    EXPECT_EQ(agent.terminate(), 0) << agent.log().toStdString();
    EXPECT_FALSE(agent.log().contains(windowsLine)) << agent.log().toStdString();
    EXPECT_FALSE(agent.log().contains("Brought the main window")) << agent.log().toStdString();
}

TEST_F(Startup, OpenWindowRequestFromAnotherProcessBringsTheMainWindowForward) {
    ZorvaneProcess zorvane(directory, directory / "Applications");
    zorvane.start();
    ASSERT_TRUE(zorvane.waitFor(forwardLine)) << zorvane.log().toStdString();

    ASSERT_TRUE(requestOpenMainWindow());
    ASSERT_TRUE(zorvane.waitFor(forwardLine, 2)) << zorvane.log().toStdString();
    const auto request = zorvane.log().indexOf("Open-window request received");
    ASSERT_GE(request, 0) << zorvane.log().toStdString();
    EXPECT_GT(zorvane.log().lastIndexOf(forwardLine), request);
    EXPECT_EQ(zorvane.terminate(), 0);
}

TEST_F(Startup, CopyInTheApplicationsFolderRegistersTheAgentForItsBuild) {
    ZorvaneProcess zorvane(directory, builtBundle.parent_path());
    zorvane.start();
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
