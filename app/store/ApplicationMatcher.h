#pragma once

#include "shared/BlockedApplication.h"
#include "shared/CodeIdentity.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Whether an activity event or an observation belongs to a blocked application: its own
// identity or the identity of the application it acted for is one of the application's code
// identities, or its executable lies inside the application's bundle.
//
// The views ask this for every record and every application on each redraw, so both sides are
// prepared once: a Record carries the normalised identities (with their hashes) and the
// standardised path, and the matcher holds the application's identities and path likewise.
class ApplicationMatcher {
public:
    struct Record {
        CodeIdentity identity;
        std::size_t identityHash = 0;
        std::optional<CodeIdentity> source;
        std::size_t sourceHash = 0;
        std::optional<std::string> path; // standardised

        static Record of(const NetworkActivityEvent& event);
        static Record of(const DiscoveredNetworkProcess& process);
    };

    explicit ApplicationMatcher(const BlockedApplication& application);

    bool matches(const Record& record) const;
    bool matches(const NetworkActivityEvent& event) const { return matches(Record::of(event)); }
    bool matches(const DiscoveredNetworkProcess& process) const {
        return matches(Record::of(process));
    }

    // The path with "." and ".." segments resolved, repeated separators collapsed and no
    // trailing separator, purely lexically (the path may name nothing on this machine).
    static std::string standardizedPath(std::string_view path);

private:
    bool containsIdentity(const CodeIdentity& identity, std::size_t hash) const;

    std::vector<CodeIdentity> identities_;
    std::vector<std::size_t> hashes_;
    // Empty when the application's path cannot contain anything: an empty path or the root
    // directory would otherwise claim every executable on the machine.
    std::string bundlePath_;
};

} // namespace zorvane
