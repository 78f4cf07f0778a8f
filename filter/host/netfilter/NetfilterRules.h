#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorvane {

// The host's packet-filter rules, for IPv4 (iptables) and IPv6 (ip6tables), all in one chain of
// our own in the filter table, reached by one jump from OUTPUT:
//   1. packets that carry the drop mark are rejected (TCP reset; ICMP port unreachable for UDP),
//      so a refused program fails at once instead of retrying into silence;
//   2. the first packet of every new TCP and UDP connection goes to our queue(s), and passes by
//      itself while no host reads them (the filter fails open when the host is gone).
// Each table is written with one *-restore transaction, so no packet sees half of our rules.
// Nothing outside our chain is touched except that jump.
class NetfilterRules {
public:
    struct Settings {
        std::string chain = "ZORVANE_OUTPUT";
        std::uint16_t firstQueue = 23040;
        std::uint16_t queueCount = 1;
        std::uint32_t dropMark = 0x2f5a0001;
    };

    explicit NetfilterRules(Settings settings);

    // Creates or replaces our chain and leaves exactly one jump to it at the top of OUTPUT (the
    // leftovers of a host that crashed are replaced). On failure, a text for the log; whatever
    // was installed for the other family is removed again.
    std::optional<std::string> install() const;
    // Removes every jump to our chain, then the chain. Nothing to remove is no failure.
    std::optional<std::string> remove() const;

    // How many packets the queue rules of both families have sent to the queues since install.
    // Those the host did not receive were let through by the kernel without a verdict (no
    // reader bound, or the queue full: the kernel counts these nowhere else). None when the
    // counters cannot be read.
    std::optional<std::uint64_t> packetsSentToQueues() const;

    // The rules of one family as a *-restore transaction; `jumps` are the jump rules to our
    // chain present now (as "-A OUTPUT ..." lines of -S), which the transaction deletes.
    enum class Family { ipv4, ipv6 };
    std::string installTransaction(Family family, const std::string& jumps) const;
    std::string removeTransaction(const std::string& jumps, bool chainExists) const;

    const Settings& settings() const { return settings_; }

private:
    std::optional<std::string> installFamily(Family family) const;
    std::optional<std::string> removeFamily(Family family) const;

    Settings settings_;
};

} // namespace zorvane
