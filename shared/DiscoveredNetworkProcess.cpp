#include "DiscoveredNetworkProcess.h"

#include "HashCombine.h"
#include "RecordMerging.h"

namespace zorvane {

using namespace record_merging;

std::string DiscoveredNetworkProcess::id() const {
    std::string out;
    appendIdPart(out, sourceApplicationTeamIdentifier, false);
    appendIdPart(out, sourceApplicationIdentifier, false);
    appendIdPart(out, teamIdentifier, false);
    appendIdText(out, signingIdentifier, false);
    appendIdPart(out, executablePath, true);
    return out;
}

void DiscoveredNetworkProcess::merge(const DiscoveredNetworkProcess& other) {
    fillIfAbsent(teamIdentifier, other.teamIdentifier);
    fillIfAbsent(sourceApplicationIdentifier, other.sourceApplicationIdentifier);
    fillIfAbsent(sourceApplicationTeamIdentifier, other.sourceApplicationTeamIdentifier);
    fillIfAbsent(executablePath, other.executablePath);
    firstSeenAt = earlier(firstSeenAt, other.firstSeenAt);
    lastSeenAt = later(lastSeenAt, other.lastSeenAt);
    connectionCount = saturatingAdd(connectionCount, other.connectionCount);
}

} // namespace zorvane

std::size_t std::hash<zorvane::DiscoveredNetworkProcess>::operator()(
    const zorvane::DiscoveredNetworkProcess& process) const noexcept {
    using zorvane::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, process.signingIdentifier);
    hashCombine(seed, process.teamIdentifier);
    hashCombine(seed, process.sourceApplicationIdentifier);
    hashCombine(seed, process.sourceApplicationTeamIdentifier);
    hashCombine(seed, process.executablePath);
    hashCombine(seed, process.firstSeenAt.secondsSinceReferenceDate);
    hashCombine(seed, process.lastSeenAt.secondsSinceReferenceDate);
    hashCombine(seed, process.connectionCount);
    return seed;
}
