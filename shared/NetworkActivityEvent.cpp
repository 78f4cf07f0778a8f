#include "NetworkActivityEvent.h"

#include "HashCombine.h"
#include "RecordMerging.h"

namespace zorvane {

using namespace record_merging;

std::string NetworkActivityEvent::id() const {
    std::string out;
    appendIdPart(out, sourceApplicationTeamIdentifier, false);
    appendIdPart(out, sourceApplicationIdentifier, false);
    appendIdPart(out, processTeamIdentifier, false);
    appendIdText(out, processSigningIdentifier, false);
    appendIdPart(out, processExecutablePath, false);
    appendIdText(out, destinationHost, false);
    appendIdPart(out, destinationPort, true);
    return out;
}

void NetworkActivityEvent::merge(const NetworkActivityEvent& other) {
    fillIfAbsent(sourceApplicationIdentifier, other.sourceApplicationIdentifier);
    fillIfAbsent(sourceApplicationTeamIdentifier, other.sourceApplicationTeamIdentifier);
    fillIfAbsent(processTeamIdentifier, other.processTeamIdentifier);
    fillIfAbsent(processExecutablePath, other.processExecutablePath);
    fillIfAbsent(destinationPort, other.destinationPort);
    firstSeenAt = earlier(firstSeenAt, other.firstSeenAt);
    lastSeenAt = later(lastSeenAt, other.lastSeenAt);
    blockedConnectionCount = saturatingAdd(blockedConnectionCount, other.blockedConnectionCount);
}

std::string NetworkActivityEvent::processDisplayName() const {
    if (processExecutablePath && !processExecutablePath->empty()) {
        // The last component ignores trailing slashes, as path APIs do ("/a/b/" names "b").
        std::string_view path = *processExecutablePath;
        while (path.size() > 1 && path.back() == '/') {
            path.remove_suffix(1);
        }
        const auto slash = path.find_last_of('/');
        if (slash == std::string_view::npos || path.size() == 1) {
            return std::string(path);
        }
        return std::string(path.substr(slash + 1));
    }
    return processSigningIdentifier;
}

std::string NetworkActivityEvent::destinationDescription() const {
    if (destinationPort && !destinationPort->empty()) {
        return destinationHost + ":" + *destinationPort;
    }
    return destinationHost;
}

} // namespace zorvane

std::size_t std::hash<zorvane::NetworkActivityEvent>::operator()(
    const zorvane::NetworkActivityEvent& event) const noexcept {
    using zorvane::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, event.sourceApplicationIdentifier);
    hashCombine(seed, event.sourceApplicationTeamIdentifier);
    hashCombine(seed, event.processSigningIdentifier);
    hashCombine(seed, event.processTeamIdentifier);
    hashCombine(seed, event.processExecutablePath);
    hashCombine(seed, event.destinationHost);
    hashCombine(seed, event.destinationPort);
    hashCombine(seed, event.firstSeenAt.secondsSinceReferenceDate);
    hashCombine(seed, event.lastSeenAt.secondsSinceReferenceDate);
    hashCombine(seed, event.blockedConnectionCount);
    return seed;
}
