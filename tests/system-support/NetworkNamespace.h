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
};

} // namespace zorvane::testing
