#include "NetworkNamespace.h"

#include "filter/host/netfilter/ExternalCommand.h"
#include "tests/support/Eventually.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zorvane::testing {
namespace {

// Waits for the child within the limit; kills it past the limit. The status, or none.
std::optional<int> reap(pid_t child, std::chrono::milliseconds limit) {
    int status = 0;
    const bool exited =
        eventually([&] { return ::waitpid(child, &status, WNOHANG) == child; }, limit);
    if (!exited) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        return std::nullopt;
    }
    return status;
}

// Whatever the body started and left running (a host after a failed assertion) would keep the
// namespace alive after the test; it goes with the body.
void killRemainingChildren() {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        std::ifstream children(task.path() / "children");
        for (pid_t child = 0; children >> child;) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
    }
}

// Loopback up with the two documentation addresses, in the calling thread's namespace.
bool prepareLoopback() {
    return ExternalCommand::run({"ip", "link", "set", "lo", "up"}).succeeded() &&
           ExternalCommand::run({"ip", "addr", "add",
                                 std::string(NetworkNamespace::ipv4Address) + "/32", "dev", "lo"})
               .succeeded() &&
           ExternalCommand::run({"ip", "-6", "addr", "add",
                                 std::string(NetworkNamespace::ipv6Address) + "/128", "dev", "lo",
                                 "nodad"})
               .succeeded();
}

} // namespace

std::optional<std::string> NetworkNamespace::unavailableReason() {
    if (::geteuid() != 0) {
        return "needs root (network namespaces and netfilter rules)";
    }
    const pid_t child = ::fork();
    if (child < 0) {
        return "cannot fork";
    }
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0) {
            ::_exit(1);
        }
        ::_exit(ExternalCommand::run({"iptables", "-S"}).succeeded() &&
                        ExternalCommand::run({"ip6tables", "-S"}).succeeded()
                    ? 0
                    : 2);
    }
    const auto status = reap(child, std::chrono::seconds(20));
    if (!status || !WIFEXITED(*status)) {
        return "the namespace probe did not finish";
    }
    switch (WEXITSTATUS(*status)) {
    case 0:
        return std::nullopt;
    case 1:
        return "unshare(CLONE_NEWNET) is not permitted here";
    default:
        return "iptables/ip6tables do not work in a network namespace here";
    }
}

std::string NetworkNamespace::run(const std::function<void()>& body,
                                  std::chrono::milliseconds limit) {
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child < 0) {
        return "cannot fork";
    }
    if (child == 0) {
        // A group of its own, so that an overrun takes what the body started along.
        ::setpgid(0, 0);
        if (::unshare(CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "unshare(CLONE_NEWNET) failed\n");
            ::_exit(3);
        }
        if (!prepareLoopback()) {
            std::fprintf(stderr, "the namespace's loopback could not be set up\n");
            ::_exit(4);
        }
        body();
        killRemainingChildren();
        std::fflush(stdout);
        std::fflush(stderr);
        ::_exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    ::setpgid(child, child);
    const auto status = reap(child, limit);
    if (!status) {
        ::kill(-child, SIGKILL);
        return "the namespace child overran its time and was killed";
    }
    if (!WIFEXITED(*status)) {
        return "the namespace child died of signal " + std::to_string(WTERMSIG(*status));
    }
    switch (WEXITSTATUS(*status)) {
    case 0:
        return {};
    case 1:
        return "the namespace child reported failures (above)";
    default:
        return "the namespace could not be prepared (status " +
               std::to_string(WEXITSTATUS(*status)) + ")";
    }
}

std::string NetworkNamespace::runOnThisThread(const std::function<void()>& body) {
    // A network namespace belongs to the thread; a process's other threads keep theirs.
    const int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original < 0) {
        return "this thread's network namespace cannot be opened";
    }
    if (::unshare(CLONE_NEWNET) != 0) {
        ::close(original);
        return "unshare(CLONE_NEWNET) failed";
    }
    std::string failure;
    if (prepareLoopback()) {
        body();
    } else {
        failure = "the namespace's loopback could not be set up";
    }
    if (::setns(original, CLONE_NEWNET) != 0) {
        // Every later test on this thread would run in the wrong namespace.
        std::fprintf(stderr, "could not return to the original network namespace\n");
        std::abort();
    }
    ::close(original);
    return failure;
}

} // namespace zorvane::testing
