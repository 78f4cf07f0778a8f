#include "NetworkActivityEvent.h"

#include "BundlePath.h"
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
        return BundlePath::lastComponent(*processExecutablePath);
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
