// Runs the real ZorvaneFilter and zorvane-system executables against a temporary system
// directory, the way a person (or the application) uses them.
#include "platform/linux/FileLock.h"
#include "shared/CodeIdentity.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackFrameListener.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"
#include "tests/system-support/FilterPrograms.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane {
namespace {

using testing::eventually;
using namespace std::chrono_literals;

// One connection to filter.sock.
class Connection {
public:
    explicit Connection(const std::filesystem::path& socketPath) {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        connected_ =
            ::connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Connection() { ::close(descriptor_); }

    bool connected() const { return connected_; }

    bool send(const std::string& bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t result =
                ::send(descriptor_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (result <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(result);
        }
        return true;
    }

    // The next line, or empty once the host closed the connection (or after 10 s).
    std::optional<std::string> readLine() {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        for (;;) {
            if (auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            pollfd waiting{descriptor_, POLLIN, 0};
            if (std::chrono::steady_clock::now() > deadline || ::poll(&waiting, 1, 100) < 0) {
                return std::nullopt;
            }
            if (waiting.revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t received = ::recv(descriptor_, buffer, sizeof buffer, 0);
            if (received <= 0) {
                return std::nullopt; // end of stream, or reset
            }
            pending_.append(buffer, static_cast<std::size_t>(received));
        }
    }

    std::optional<std::string> exchange(const std::string& line) {
        return send(line + "\n") ? readLine() : std::nullopt;
    }

private:
    int descriptor_ = -1;
    bool connected_ = false;
    std::string pending_;
};

class FilterHostEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        auto sliceSpec = MachOBuilder::signedExecutable("com.example.blocked", "TEAM123456");
        // The team identifier reaches the filter through the entitlements, as on macOS.
        sliceSpec.signature->entitlements =
            PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"}};
        BundleBuilder::application(bundle, "com.example.blocked",
                                   MachOBuilder::thin(sliceSpec).bytes());
        MachOBuilder::write(directory / "other", MachOBuilder::thin(MachOBuilder::signedExecutable(
                                                     "com.example.other")));
    }

    std::unique_ptr<ChildProcess> startHost() { return programs.startHost(); }

    std::unique_ptr<ChildProcess> runTool(const std::vector<std::string>& arguments) {
        return programs.runTool(arguments);
    }

    void writeConfiguration(bool enabled, PlistArray blockedIdentities,
                            PlistDictionary vendorConfiguration = {}) {
        ASSERT_TRUE(programs.writeConfiguration(enabled, std::move(blockedIdentities),
                                                std::move(vendorConfiguration)));
    }

    // The verdict the host gives a flow of the simulated process running the executable.
    std::string verdictFor(const std::filesystem::path& executable,
                           const std::string& direction = "outbound") {
        const std::string request =
            R"({"direction": ")" + direction + R"(", "sourceApp": {"executable": ")" +
            executable.string() +
            R"("}, "sourceProcess": null, "socket": {"protocol": 6,)"
            R"( "remoteEndpoint": {"hostname": "93.184.216.34", "port": "443"}}})";
        return Connection(socket).exchange(request).value_or("no answer");
    }

    TemporaryDirectory directory;
    std::filesystem::path system = directory / "system";
    std::filesystem::path socket = system / "filter.sock";
    std::filesystem::path bundle = directory / "Blocked.app";
    std::filesystem::path blocked = bundle / "Contents" / "MacOS" / "Blocked";
    const std::string blockedKey = CodeIdentity::make("com.example.blocked", "TEAM123456").key();
    testing::FilterPrograms programs{
        {ZORVANE_FILTER_EXECUTABLE, ZORVANE_SYSTEM_EXECUTABLE}, system, directory / "logs"};
};

const std::string drop = R"({"verdict":"drop"})";
const std::string allow = R"({"verdict":"allow"})";

TEST_F(FilterHostEndToEnd, DropsABlockedSignedProcessUntilTheConfigurationChanges) {
    // A stale socket file from a host that died does not keep a new one from serving.
    std::filesystem::create_directories(system);
    {
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(stale);
    }
    auto host = startHost();
    EXPECT_EQ(verdictFor(blocked), allow); // no configuration yet

    writeConfiguration(true, PlistArray{blockedKey});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));
    EXPECT_EQ(verdictFor(directory / "other"), allow);
    EXPECT_EQ(verdictFor(blocked, "inbound"), allow);

    // Through the command, by executable and by bundle, and with the helper acting for it.
    for (const auto& app : {blocked.string(), bundle.string()}) {
        auto tool = runTool({"flow", "--app", app, "--host", "example.com", "--port", "443"});
        EXPECT_EQ(tool->waitForExit(), 0);
        EXPECT_EQ(tool->standardOutput(), "drop\n") << tool->standardError();
    }
    auto helper = runTool({"flow", "--app", blocked.string(), "--process",
                           (directory / "other").string(), "--host", "1.2.3.4", "--port", "80"});
    EXPECT_EQ(helper->standardOutput(), "drop\n");
    // Local destinations and name look-ups stay allowed.
    EXPECT_EQ(runTool({"flow", "--app", blocked.string(), "--host", "127.0.0.1", "--port", "80"})
                  ->standardOutput(),
              "allow\n");
    EXPECT_EQ(
        runTool({"flow", "--app", blocked.string(), "--host", "9.9.9.9", "--port", "53", "--udp"})
            ->standardOutput(),
        "allow\n");

    auto status = runTool({"status"});
    EXPECT_EQ(status->waitForExit(), 0);
    EXPECT_NE(status->standardOutput().find("Filter host: running (filter.sock answers)"),
              std::string::npos)
        << status->standardOutput();
    EXPECT_NE(status->standardOutput().find("Blocked code identities: 1"), std::string::npos);

    writeConfiguration(true, PlistArray{});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == allow; }));
    writeConfiguration(true, PlistArray{blockedKey});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));
    writeConfiguration(false, PlistArray{blockedKey});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == allow; }));
    EXPECT_EQ(runTool({"flow", "--app", bundle.string(), "--host", "example.com", "--port", "443"})
                  ->standardOutput(),
              "allow\n");
}

TEST_F(FilterHostEndToEnd, MalformedLinesGetErrorsAndOverlongLinesEndTheConnection) {
    auto host = startHost();
    Connection connection(socket);
    ASSERT_TRUE(connection.connected());
    const auto error = connection.exchange("{\"direction\": \"outbound\", \"bogus\": 1}");
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->rfind("{\"error\":", 0), 0u) << *error;
    EXPECT_NE(error->find("bogus"), std::string::npos);
    EXPECT_EQ(connection.exchange("not json").value_or("").rfind("{\"error\":", 0), 0u);
    // Still usable, and pipelined requests are answered in order.
    ASSERT_TRUE(connection.send(R"({"direction": "inbound"})"
                                "\n"
                                R"({"direction": 7})"
                                "\n"));
    EXPECT_EQ(connection.readLine(), allow);
    EXPECT_EQ(connection.readLine().value_or("").rfind("{\"error\":", 0), 0u);

    // A line of exactly the limit is still read (and is malformed); one byte more is too long.
    EXPECT_EQ(connection.exchange(std::string(64 * 1024, ' ')).value_or("").rfind("{\"error\":", 0),
              0u);
    ASSERT_TRUE(connection.send(std::string(64 * 1024 + 1, 'x')));
    const auto tooLong = connection.readLine();
    ASSERT_TRUE(tooLong.has_value());
    EXPECT_NE(tooLong->find("longer than 65536 bytes"), std::string::npos) << *tooLong;
    EXPECT_FALSE(connection.readLine().has_value()); // closed
    // Other connections are unaffected.
    EXPECT_EQ(verdictFor(blocked), allow);
}

TEST_F(FilterHostEndToEnd, OneHostPerDirectoryAndACleanStopOnSigterm) {
    auto host = startHost();
    auto second = programs.launch(ZORVANE_FILTER_EXECUTABLE, {}, "second");
    const auto status = second->waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(second->standardError().find("another filter host already runs"), std::string::npos)
        << second->standardError();
    EXPECT_TRUE(Connection(socket).connected()); // the first one still serves

    writeConfiguration(true, PlistArray{blockedKey});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));

    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForExit(), 0) << host->standardError();
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(FileLock::isHeld(system / "filter-host.lock"));

    // With no host the filter fails open, and the command says so.
    auto flow =
        runTool({"flow", "--app", blocked.string(), "--host", "example.com", "--port", "443"});
    EXPECT_EQ(flow->waitForExit(), 0);
    EXPECT_EQ(flow->standardOutput(), "allow\n");
    EXPECT_NE(flow->standardError().find("not running"), std::string::npos);
    EXPECT_NE(runTool({"status"})->standardOutput().find("Filter host: not running"),
              std::string::npos);

    // And a new host can take over the directory.
    auto next = startHost();
    EXPECT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));
    next->signal(SIGINT);
    EXPECT_EQ(next->waitForExit(), 0);
}

TEST_F(FilterHostEndToEnd, DeliversBlockedAttemptsToTheConfiguredEventChannel) {
    testing::LoopbackFrameListener application;
    const std::string token(72, 'e');
    auto host = startHost();
    writeConfiguration(true, PlistArray{blockedKey},
                       {{"eventChannelPort", static_cast<std::int64_t>(application.port())},
                        {"eventChannelToken", token}});
    ASSERT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));
    EXPECT_EQ(verdictFor(blocked), drop);

    // The observation at once, the aggregated attempts a second later.
    const auto activity = [](const std::vector<testing::LoopbackFrameListener::Received>& all) {
        std::vector<NetworkActivityEvent> events;
        for (const auto& received : all) {
            if (received.envelope) {
                events.insert(events.end(), received.envelope->activityEvents.begin(),
                              received.envelope->activityEvents.end());
            }
        }
        return events;
    };
    ASSERT_TRUE(application.waitFor([&](const auto& all) { return !activity(all).empty(); }));
    const auto received = application.received();
    const auto events = activity(received);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].processSigningIdentifier, "com.example.blocked");
    EXPECT_EQ(events[0].processTeamIdentifier, "TEAM123456");
    EXPECT_EQ(events[0].destinationHost, "93.184.216.34");
    EXPECT_EQ(events[0].destinationPort, "443");
    EXPECT_GE(events[0].blockedConnectionCount, 2);
    const bool observed = std::any_of(received.begin(), received.end(), [](const auto& entry) {
        return entry.envelope && !entry.envelope->observations.empty() &&
               entry.envelope->observations[0].signingIdentifier == "com.example.blocked";
    });
    EXPECT_TRUE(observed);
    for (const auto& entry : received) {
        ASSERT_TRUE(entry.envelope);
        EXPECT_EQ(entry.envelope->authenticationToken, token);
    }

    // A drop just before the host stops still reaches the application: the stop sends it.
    const auto before = application.received().size();
    EXPECT_EQ(verdictFor(blocked), drop);
    host->signal(SIGTERM);
    EXPECT_EQ(host->waitForExit(), 0) << host->standardError();
    ASSERT_TRUE(application.waitFor([&](const auto& all) {
        return all.size() > before && !activity({all.begin() + before, all.end()}).empty();
    }));
}

// The process that holds the host lock, as it wrote itself into the lock file.
pid_t hostLockHolder(const std::filesystem::path& system) {
    pid_t pid = 0;
    std::ifstream(system / "filter-host.lock") >> pid;
    return pid;
}

TEST_F(FilterHostEndToEnd, AKeeperTakesOverAHostLeftBehindAndItsHostDiesWithIt) {
    // A host nobody keeps, as a keeper killed before hosts died with it left it.
    auto leftBehind = startHost();
    ASSERT_TRUE(eventually([&] { return hostLockHolder(system) == leftBehind->pid(); }));

    auto keeper = programs.launch(ZORVANE_FILTER_EXECUTABLE, {"--keep-alive"}, "keeper");
    ASSERT_TRUE(keeper->started());
    EXPECT_EQ(leftBehind->waitForExit(), 0) << leftBehind->standardError();
    ASSERT_TRUE(eventually([&] {
        const pid_t holder = hostLockHolder(system);
        return holder > 0 && holder != leftBehind->pid() && Connection(socket).connected();
    })) << keeper->standardError();
    writeConfiguration(true, PlistArray{blockedKey});
    EXPECT_TRUE(eventually([&] { return verdictFor(blocked) == drop; }));

    // The keeper dies without a chance to stop its host: the host goes too, cleanly.
    const pid_t kept = hostLockHolder(system);
    keeper->signal(SIGKILL);
    EXPECT_EQ(keeper->waitForExit(), 128 + SIGKILL);
    EXPECT_TRUE(eventually([&] { return !FileLock::isHeld(system / "filter-host.lock"); }))
        << "process " << kept << " outlived its keeper";
    EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(FilterHostEndToEnd, TheCommandRejectsWrongArguments) {
    const std::vector<std::vector<std::string>> wrong = {
        {},
        {"nonsense"},
        {"status", "extra"},
        {"flow"},
        {"flow", "--host", "h", "--port", "1"},
        {"flow", "--app", blocked.string(), "--port", "1"},
        {"flow", "--app", blocked.string(), "--host", "h"},
        {"flow", "--app", blocked.string(), "--host", "h", "--port", "0"},
        {"flow", "--app", blocked.string(), "--host", "h", "--port", "65536"},
        {"flow", "--app", blocked.string(), "--host", "h", "--port", "80x"},
        {"flow", "--app", blocked.string(), "--host", "", "--port", "80"},
        {"flow", "--app", (directory / "missing").string(), "--host", "h", "--port", "80"},
        {"flow", "--app", directory.path().string(), "--host", "h", "--port", "80"},
        {"flow", "--app", blocked.string(), "--app", blocked.string(), "--host", "h", "--port",
         "1"},
        {"flow", "--app", blocked.string(), "--host", "h", "--port", "1", "--tcp"},
        {"flow", "--app", blocked.string(), "--host", "h", "--port"},
    };
    for (const auto& arguments : wrong) {
        auto tool = runTool(arguments);
        EXPECT_EQ(tool->waitForExit(), 2) << ::testing::PrintToString(arguments);
        EXPECT_NE(tool->standardError().find("usage"), std::string::npos);
        EXPECT_EQ(tool->standardOutput(), "");
    }
}

} // namespace
} // namespace zorvane
