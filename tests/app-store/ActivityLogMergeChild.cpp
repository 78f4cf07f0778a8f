// Merges into the activity log of the container given as the first argument, forever, and
// writes one byte to standard output after each merge, so that a test can kill it at a moment
// of its choosing in the middle of the next one.
#include "app/store/ActivityLog.h"

#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace zorvane;
    if (argc != 2) {
        return 2;
    }
    auto clock = std::make_shared<ManualClock>(Date::fromUnixSeconds(1'800'000'000.0));
    const ActivityLog log(std::filesystem::path(argv[1]), clock);
    for (std::int64_t round = 0;; ++round) {
        std::vector<NetworkActivityEvent> events;
        for (int index = 0; index < 50; ++index) {
            NetworkActivityEvent event;
            event.processSigningIdentifier = "com.example.child";
            event.processTeamIdentifier = "TEAM123456";
            // Fresh hosts on every run, so that the file grows to its cap and each write
            // takes long enough to be interrupted.
            event.destinationHost = "host-" + std::to_string(::getpid()) + "-" +
                                    std::to_string(round * 50 + index) + ".example.com";
            event.destinationPort = "443";
            event.firstSeenAt = clock->now();
            event.lastSeenAt = clock->now();
            event.blockedConnectionCount = 1;
            events.push_back(std::move(event));
        }
        log.mergeEvents(events);
        clock->advance(1.0);
        const char tick = '.';
        if (::write(STDOUT_FILENO, &tick, 1) != 1) {
            return 0; // the test went away
        }
    }
}
