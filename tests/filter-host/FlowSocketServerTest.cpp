#include "filter/host/FlowSocketServer.h"

#include "filter/host/HostDirectory.h"
#include "tests/support/Eventually.h"
#include "tests/support/TemporaryDirectory.h"

#include <algorithm>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <cstring>
#include <future>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// One client of the socket, with reads that give up instead of hanging a failed test.
class Client {
public:
    explicit Client(const std::filesystem::path& path) {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ =
            ::connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(descriptor_); }

    bool connected() const { return connected_; }
    bool send(const std::string& text) {
        return ::send(descriptor_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }
    // The next line; empty once the server closed the connection or the limit passed.
    std::optional<std::string> readLine(std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd waiting{descriptor_, POLLIN, 0};
            if (::poll(&waiting, 1, static_cast<int>(std::max<long long>(0, left.count()))) <= 0) {
                return std::nullopt;
            }
            char buffer[4096];
            const ssize_t received = ::recv(descriptor_, buffer, sizeof buffer, 0);
            if (received <= 0) {
                closed_ = true;
                return std::nullopt;
            }
            pending_.append(buffer, static_cast<std::size_t>(received));
        }
    }
    std::optional<std::string> exchange(const std::string& line) {
        return send(line + "\n") ? readLine() : std::nullopt;
    }
    // Whether the server has closed this connection (reads nothing more).
    bool closedByServer() {
        if (!closed_) {
            readLine(0ms);
        }
        return closed_;
    }

private:
    int descriptor_ = -1;
    bool connected_ = false;
    bool closed_ = false;
    std::string pending_;
};

// The server on its own io thread, deciding on a pool, as the host runs it. "slow" requests wait
// until the test opens the gate.
class FlowSocketServerTest : public ::testing::Test {
protected:
    void serve(FlowSocketServer::Options options = {}) {
        server = std::make_unique<FlowSocketServer>(
            io, decisions.get_executor(), socketPath,
            [gate = gate](std::string_view line) {
                if (line == "slow") {
                    gate.wait();
                }
                return "ok:" + std::string(line);
            },
            [] { return std::string("too long"); }, options);
        ASSERT_FALSE(server->start().has_value());
        thread = std::thread([this] { io.run(); });
    }

    void TearDown() override {
        release();
        if (thread.joinable()) {
            asio::post(io, [this] { server->stop(); });
            work.reset();
            thread.join();
        }
        decisions.join();
    }

    void release() {
        if (!released) {
            released = true;
            opened.set_value();
        }
    }

    TemporaryDirectory directory;
    std::filesystem::path socketPath = directory / "filter.sock";
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{
        asio::make_work_guard(io)};
    asio::thread_pool decisions{2};
    std::promise<void> opened;
    std::shared_future<void> gate = opened.get_future().share();
    bool released = false;
    std::unique_ptr<FlowSocketServer> server;
    std::thread thread;
};

TEST_F(FlowSocketServerTest, ASlowRequestHoldsUpOnlyItsOwnConnectionWhoseRepliesStayInOrder) {
    serve();
    Client slow(socketPath);
    Client other(socketPath);
    ASSERT_TRUE(slow.send("slow\nafter\n"));
    // Decided on another thread while the slow one waits.
    EXPECT_EQ(other.exchange("quick"), "ok:quick");
    EXPECT_EQ(other.exchange("again"), "ok:again");
    EXPECT_EQ(slow.readLine(50ms), std::nullopt);
    release();
    EXPECT_EQ(slow.readLine(), "ok:slow");
    EXPECT_EQ(slow.readLine(), "ok:after");
}

TEST_F(FlowSocketServerTest, AtTheCapTheLongestIdleConnectionMakesRoomAndBusyOnesStay) {
    serve({.maximumConnections = 3});
    Client first(socketPath);
    ASSERT_EQ(first.exchange("1"), "ok:1");
    Client busy(socketPath);
    ASSERT_TRUE(busy.send("slow\n"));
    Client third(socketPath);
    ASSERT_EQ(third.exchange("3"), "ok:3");
    ASSERT_EQ(first.exchange("1 again"), "ok:1 again"); // now third has been idle longest

    Client fourth(socketPath);
    EXPECT_EQ(fourth.exchange("4"), "ok:4");
    EXPECT_TRUE(eventually([&] { return third.closedByServer(); }));
    Client fifth(socketPath);
    EXPECT_EQ(fifth.exchange("5"), "ok:5");
    EXPECT_TRUE(eventually([&] { return first.closedByServer(); }));

    // The connection with a request in flight was never the one to go.
    release();
    EXPECT_EQ(busy.readLine(), "ok:slow");
    EXPECT_EQ(busy.exchange("more"), "ok:more");
}

TEST_F(FlowSocketServerTest, IdleConnectionsAreClosedButNotWhileTheyWaitForAReply) {
    serve({.idleTimeout = 30ms});
    Client idle(socketPath);
    Client waiting(socketPath);
    ASSERT_TRUE(waiting.send("slow\n"));
    ASSERT_TRUE(eventually([&] { return idle.closedByServer(); }));
    release();
    EXPECT_EQ(waiting.readLine(), "ok:slow");
}

TEST_F(FlowSocketServerTest, PeersOfAnotherUserAreClosedAtOnce) {
    if (::geteuid() != 0) {
        // The server stands for another user; this process is then the stranger.
        serve({.user = ::geteuid() + 1});
        Client stranger(socketPath);
        ASSERT_TRUE(stranger.connected());
        stranger.send("hello\n");
        EXPECT_EQ(stranger.readLine(), std::nullopt);
        return;
    }
    // Root is served; a process of an ordinary user is not.
    serve();
    ::chmod(directory.path().c_str(), 0755);
    ::chmod(socketPath.c_str(), 0666); // only the peer check stands in the way
    EXPECT_EQ(Client(socketPath).exchange("root"), "ok:root");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) {
            ::_exit(3);
        }
        Client stranger(socketPath);
        if (!stranger.connected()) {
            ::_exit(4);
        }
        stranger.send("hello\n");
        ::_exit(stranger.readLine().has_value() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: served, 3: could not change user, 4: no connection";
}

TEST(HostDirectoryTest, SocketAndDirectoryAreTheOwnersAloneWhateverTheUmask) {
    TemporaryDirectory directory;
    const mode_t previous = ::umask(0);
    // Made by the host, under a permissive umask.
    const auto made = directory / "state" / "system";
    EXPECT_FALSE(HostDirectory::makePrivate(made).has_value());
    // Found open to everyone.
    const auto found = directory / "found";
    std::filesystem::create_directory(found);
    ::chmod(found.c_str(), 0777);
    EXPECT_FALSE(HostDirectory::makePrivate(found).has_value());

    asio::io_context io;
    FlowSocketServer server(
        io, io.get_executor(), found / "filter.sock", [](std::string_view) { return ""; },
        [] { return ""; }, {});
    const auto started = server.start();
    ::umask(previous);
    ASSERT_FALSE(started.has_value()) << *started;

    struct stat status {};
    ASSERT_EQ(::stat(made.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat(found.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((found / "filter.sock").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);

    // Not a directory of ours: refused with the reason, and left as it is.
    if (::geteuid() == 0) {
        const auto foreign = directory / "foreign";
        std::filesystem::create_directory(foreign);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
        ::chmod(foreign.c_str(), 0755);
        const auto refused = HostDirectory::makePrivate(foreign);
        ASSERT_TRUE(refused.has_value());
        EXPECT_NE(refused->find("belongs to user 65534"), std::string::npos) << *refused;
        ASSERT_EQ(::stat(foreign.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0755u);
    } else {
        EXPECT_TRUE(HostDirectory::makePrivate("/").has_value()); // root's, not ours
    }
}

} // namespace
} // namespace zorvane
