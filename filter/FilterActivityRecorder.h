#pragma once

#include "filter/EventReceiverCheck.h"
#include "filter/FilterActivitySink.h"
#include "shared/Clock.h"
#include "shared/DiscoveredNetworkProcess.h"
#include "shared/NetworkActivityEvent.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

class ObservationQueue;

// The provider's activity component: turns what the verdict saw into records and delivers them
// to the application over the event channel.
//
// - Observations (a process that opened a matching flow) are throttled per record id: one is
//   handed on, then the same id is dropped for observationPersistenceInterval. Each goes out in
//   an envelope of its own; a failed observation send is not retried.
// - Blocked attempts are aggregated per record id in a pending map. The first one of a cycle
//   schedules a flush after activityFlushInterval; the flush takes the whole map and sends it in
//   one envelope (in several when one would exceed the envelope size limit, so that a large
//   backlog is never stuck). A failed send puts its events back (merged with what arrived
//   meanwhile) and schedules a flush after retryDelay, without limit, until one succeeds.
//
// Recording runs on the system's flow threads and holds a lock only for the map work; sends,
// their completions and the delayed flushes run on the recorder's own observation queue.
// Delayed work holds the recorder's state weakly: once the recorder is gone it does nothing.
//
// Destruction waits for sends already under way (each ends within the send time-out, so that the
// last flush of a stopping filter gets out), discards scheduled flushes unrun, and stops the
// queue's thread. It must not happen on that queue (from inside a completion).
class FilterActivityRecorder final : public FilterActivitySink {
public:
    // Real values by default; tests shorten them.
    struct Timing {
        // Quiet time of an observation id after it was handed on (measured with the
        // monotonic clock, so that setting the wall clock neither extends nor ends it).
        std::chrono::duration<double> observationPersistenceInterval{10.0};
        // Delay of the first flush of a pending cycle.
        std::chrono::duration<double> activityFlushInterval{1.0};
        // Delay of the flush after a failed activity send.
        std::chrono::duration<double> retryDelay{5.0};
        // Limit of one send.
        std::chrono::duration<double> sendTimeout{3.0};
    };

    struct Dependencies {
        // The event channel as currently configured; read once per send.
        std::function<std::optional<std::uint16_t>()> eventChannelPort;
        std::function<std::optional<std::string>()> eventChannelToken;
        // The records' times.
        std::shared_ptr<const Clock> clock = Clock::system();
        // The observations' quiet time.
        std::shared_ptr<const MonotonicClock> monotonicClock = MonotonicClock::steady();
        // Who may receive; nothing checked by default.
        EventReceiverCheck receiverCheck;
    };

    explicit FilterActivityRecorder(Dependencies dependencies);
    FilterActivityRecorder(Dependencies dependencies, Timing timing);
    ~FilterActivityRecorder() override;

    FilterActivityRecorder(const FilterActivityRecorder&) = delete;
    FilterActivityRecorder& operator=(const FilterActivityRecorder&) = delete;

    // FilterActivitySink. None of these waits for the network.
    void recordObservation(const ProcessIdentity& process,
                           const ProcessIdentity* sourceApplication) override;
    void recordBlockedActivity(const FilterFlow& flow, const ProcessIdentity& process,
                               const ProcessIdentity* sourceApplication) override;
    // Takes everything pending and starts one send of it (when there is anything). Called by
    // the delayed flush and by the filter's stop; does not wait for the send.
    void flushPendingActivity() override;

    // Puts the events of a failed send back, merged by id with what is pending (the returned
    // event's values win where both have one), and schedules a flush after retryDelay unless a
    // flush is already waiting.
    void requeueActivity(std::vector<NetworkActivityEvent> events);

    // Snapshots for diagnostics and tests.
    std::vector<NetworkActivityEvent> pendingActivity() const;
    bool isActivityFlushScheduled() const;
    // Activity sends started and their failures, since construction.
    std::uint64_t activitySendCount() const;
    std::uint64_t failedActivitySendCount() const;

    // What waits for a send, and how sending went so far: for a person asking why the
    // application shows nothing yet.
    struct Backlog {
        std::int64_t blockedAttempts = 0; // summed over the pending aggregates
        std::size_t aggregates = 0;
        std::uint64_t sends = 0;
        std::uint64_t failedSends = 0;
    };
    Backlog backlog() const;

    // Splits events, in order, into lists whose JSON (events and separating commas) stays within
    // budget bytes; an event larger than that on its own gets a list of its own.
    static std::vector<std::vector<NetworkActivityEvent>>
    batchesForSending(std::vector<NetworkActivityEvent> events, std::size_t budget);

    // The records the verdict's recording produces at time now.
    static DiscoveredNetworkProcess makeObservation(const ProcessIdentity& process,
                                                    const ProcessIdentity* sourceApplication,
                                                    Date now);
    static NetworkActivityEvent makeActivityEvent(const FilterFlow& flow,
                                                  const ProcessIdentity& process,
                                                  const ProcessIdentity* sourceApplication,
                                                  Date now);

private:
    class State;

    // Declared first so that it goes last: sends still owned by its io_context reference it.
    // (Held by pointer to keep Asio out of the provider's header.)
    std::unique_ptr<ObservationQueue> observationQueue;
    std::shared_ptr<State> state_;
};

} // namespace zorvane
