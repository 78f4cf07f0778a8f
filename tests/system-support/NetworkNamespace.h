#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace zorvane::testing {

// Tests of the real netfilter path run in a network namespace of their own, so that nothing
// they do reaches the machine's rules or network. They need root.
class NetworkNamespace {
public:
    static constexpr const char* ipv4Address = "192.0.2.1";
    static constexpr const char* ipv6Address = "2001:db8::1";

    // Why such tests cannot run here (not root, no namespaces, no iptables); none when they can.
    static std::optional<std::string> unavailableReason();

    // Runs `body` in a forked child that entered a fresh network namespace whose loopback is up
    // and carries the two documentation addresses above. The child's expectation failures are
    // printed by the child; the result says whether it reported any, crashed or overran `limit`
    // (then it is killed). Processes the body started and left running are killed when it
    // returns. Empty when the body passed.
    static std::string run(const std::function<void()>& body,
                           std::chrono::milliseconds limit = std::chrono::seconds(60));

    // Runs `body` on the calling thread inside a fresh namespace as above, for bodies that need
    // this process's event loop and its Qt objects, which a forked child cannot use. Only the
    // calling thread moves: what it starts meanwhile (child processes, threads) is in the
    // namespace, threads that exist already stay outside. The thread returns to its namespace
    // afterwards. The body's failures are this test's own; the result names what kept the
    // namespace from being prepared or left. Empty when it ran.
    static std::string runOnThisThread(const std::function<void()>& body);
};

} // namespace zorvane::testing
