#include "filter/host/netfilter/NetfilterRules.h"

#include "filter/host/netfilter/ExternalCommand.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace zorvane {
namespace {

const char* tool(NetfilterRules::Family family) {
    return family == NetfilterRules::Family::ipv4 ? "iptables" : "ip6tables";
}

const char* restoreTool(NetfilterRules::Family family) {
    return family == NetfilterRules::Family::ipv4 ? "iptables-restore" : "ip6tables-restore";
}

const char* familyName(NetfilterRules::Family family) {
    return family == NetfilterRules::Family::ipv4 ? "IPv4" : "IPv6";
}

struct Listing {
    bool chainExists = false;
    std::string jumps; // "-A OUTPUT ... -j <chain>" lines
};

// The filter table as -S prints it, read for our chain and the rules that jump to it.
std::optional<Listing> list(NetfilterRules::Family family, const std::string& chain) {
    const auto result = ExternalCommand::run({tool(family), "-w", "5", "-t", "filter", "-S"});
    if (!result.succeeded()) {
        return std::nullopt;
    }
    Listing listing;
    std::istringstream lines(result.output);
    std::string line;
    const std::string jump = " -j " + chain;
    while (std::getline(lines, line)) {
        if (line == "-N " + chain) {
            listing.chainExists = true;
        } else if (line.starts_with("-A OUTPUT ") && line.ends_with(jump)) {
            listing.jumps += line + "\n";
        }
    }
    return listing;
}

std::string deletions(const std::string& jumps) {
    std::string out;
    std::istringstream lines(jumps);
    std::string line;
    while (std::getline(lines, line)) {
        out += "-D" + line.substr(2) + "\n";
    }
    return out;
}

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", value);
    return text;
}

} // namespace

NetfilterRules::NetfilterRules(Settings settings) : settings_(std::move(settings)) {}

std::string NetfilterRules::installTransaction(Family family, const std::string& jumps) const {
    const std::string& chain = settings_.chain;
    const std::string marked = "-A " + chain + " -m mark --mark " + hex(settings_.dropMark);
    const std::string unreachable =
        family == Family::ipv4 ? "icmp-port-unreachable" : "icmp6-port-unreachable";
    std::string queue;
    if (settings_.queueCount <= 1) {
        queue = "--queue-num " + std::to_string(settings_.firstQueue);
    } else {
        queue = "--queue-balance " + std::to_string(settings_.firstQueue) + ":" +
                std::to_string(settings_.firstQueue + settings_.queueCount - 1);
    }
    std::string out = "*filter\n";
    // Declaring the chain creates it, or empties the one a crashed host left behind.
    out += ":" + chain + " - [0:0]\n";
    out += marked + " -p tcp -j REJECT --reject-with tcp-reset\n";
    out += marked + " -p udp -j REJECT --reject-with " + unreachable + "\n";
    // Every TCP connection begins with a SYN, also one whose ports match a closed connection
    // conntrack still remembers and does not count as new.
    out += "-A " + chain + " -p tcp --syn -j NFQUEUE " + queue + " --queue-bypass\n";
    out += "-A " + chain + " -p udp -m conntrack --ctstate NEW -j NFQUEUE " + queue +
           " --queue-bypass\n";
    out += deletions(jumps);
    out += "-I OUTPUT 1 -j " + chain + "\n";
    out += "COMMIT\n";
    return out;
}

std::string NetfilterRules::removeTransaction(const std::string& jumps, bool chainExists) const {
    std::string out = "*filter\n" + deletions(jumps);
    if (chainExists) {
        out += "-F " + settings_.chain + "\n-X " + settings_.chain + "\n";
    }
    return out + "COMMIT\n";
}

std::optional<std::string> NetfilterRules::installFamily(Family family) const {
    const auto listing = list(family, settings_.chain);
    if (!listing) {
        return std::string(tool(family)) + " cannot list the filter table";
    }
    const auto result = ExternalCommand::run({restoreTool(family), "-w", "5", "--noflush"},
                                             installTransaction(family, listing->jumps));
    if (!result.succeeded()) {
        return std::string("the ") + familyName(family) + " rules could not be written (" +
               restoreTool(family) + " " +
               (result.started ? "status " + std::to_string(result.exitStatus) : "not started") +
               ")";
    }
    return std::nullopt;
}

std::optional<std::string> NetfilterRules::removeFamily(Family family) const {
    const auto listing = list(family, settings_.chain);
    if (!listing) {
        return std::string(tool(family)) + " cannot list the filter table";
    }
    if (!listing->chainExists && listing->jumps.empty()) {
        return std::nullopt;
    }
    const auto result =
        ExternalCommand::run({restoreTool(family), "-w", "5", "--noflush"},
                             removeTransaction(listing->jumps, listing->chainExists));
    if (!result.succeeded()) {
        return std::string("the ") + familyName(family) + " rules could not be removed";
    }
    return std::nullopt;
}

std::optional<std::uint64_t> NetfilterRules::packetsSentToQueues() const {
    std::uint64_t total = 0;
    for (const Family family : {Family::ipv4, Family::ipv6}) {
        const auto result = ExternalCommand::run(
            {tool(family), "-w", "5", "-t", "filter", "-L", settings_.chain, "-v", "-x", "-n"});
        if (!result.succeeded()) {
            return std::nullopt;
        }
        std::istringstream lines(result.output);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::uint64_t packets = 0;
            std::string bytes;
            std::string target;
            if (fields >> packets >> bytes >> target && target == "NFQUEUE") {
                total += packets;
            }
        }
    }
    return total;
}

std::optional<std::string> NetfilterRules::install() const {
    if (auto error = installFamily(Family::ipv4)) {
        return error;
    }
    if (auto error = installFamily(Family::ipv6)) {
        removeFamily(Family::ipv4);
        return error;
    }
    return std::nullopt;
}

std::optional<std::string> NetfilterRules::remove() const {
    auto ipv4 = removeFamily(Family::ipv4);
    auto ipv6 = removeFamily(Family::ipv6);
    return ipv4 ? ipv4 : ipv6;
}

} // namespace zorvane
