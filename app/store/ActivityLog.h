#pragma once

#include "shared/Clock.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace zorvane {

// The two files in the application group's container that keep what the filter reported: the
// blocked-activity aggregates and the discovered processes. Every read, merge and write of a
// file holds that file's lock for the whole operation, across threads and processes alike, and
// a file is only ever replaced whole, so that nobody sees half a merge. Records older than the
// retention window and beyond the caps are dropped at the next merge or load. Unreadable or
// undecodable files count as empty and are replaced by the next merge; write failures are
// dropped, as nothing upstream could redo them.
//
// Blocking file work: the store calls the merges on its persistence queue and the loads on
// background tasks. Safe to use from several threads at once.
class ActivityLog {
public:
    static constexpr std::string_view activityFileName = "blocked-network-activity-v1.json";
    static constexpr std::string_view discoveriesFileName = "discovered-network-processes-v2.json";
    static constexpr double retentionSeconds = 2'592'000.0; // 30 days
    static constexpr std::size_t eventLimit = 1000;
    static constexpr std::size_t observationLimit = 256;

    // The files live in <container>/Library/Application Support/Zorvane. Without a container
    // nothing is read or written.
    ActivityLog(std::optional<std::filesystem::path> containerDirectory,
                std::shared_ptr<const Clock> clock);

    // The files of this platform's application-group container, on the system clock.
    static ActivityLog standard();

    // The file's location, its directory chain created first; empty when that fails.
    std::optional<std::filesystem::path> fileLocation(std::string_view fileName) const;

    // Folds aggregates into the activity file: stored ones outside the window are dropped,
    // incoming ones are kept whatever their age, then the latest 1,000 stay.
    void mergeEvents(const std::vector<NetworkActivityEvent>& events) const;
    // Folds one observation into the discoveries file, likewise, keeping the latest 256.
    void mergeObservation(const DiscoveredNetworkProcess& observation) const;
    // What one envelope brings: its events in one merge, then each observation in its own.
    void persistEnvelopeContents(const std::vector<NetworkActivityEvent>& events,
                                 const std::vector<DiscoveredNetworkProcess>& observations) const;

    // The records inside the window, latest first, at most the cap.
    std::vector<NetworkActivityEvent> loadEvents() const;
    std::vector<DiscoveredNetworkProcess> loadObservations() const;

private:
    std::optional<std::filesystem::path> containerDirectory_;
    std::shared_ptr<const Clock> clock_;
};

} // namespace zorvane
