#include "filter/FilterActivityRecorder.h"

#include "filter/EventChannelClient.h"
#include "filter/FlowFacts.h"
#include "filter/ObservationQueue.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"
#include "shared/RecordMerging.h"

#include <array>
#include <atomic>
#include <cstring>
#include <iterator>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace zorvane {
namespace {

using namespace record_merging;

// Deliberately not noexcept: libstdc++ then keeps each key's hash in its node, so that growing
// the map and walking a bucket do not hash the long id texts again.
struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};

template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

// What the events of one envelope may take: the size limit less room for the rest of the
// envelope, the token included (a token longer than that room fails every send anyway).
constexpr std::size_t activityBatchBudget = FrameCodec::maximumEnvelopeSize - 64 * 1024;

std::chrono::steady_clock::duration steadyDuration(std::chrono::duration<double> seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(seconds);
}

std::optional<std::string> optionalCopy(const std::optional<std::string_view>& text) {
    return text ? std::optional<std::string>(std::in_place, *text) : std::nullopt;
}

// Where an id is written: on the stack when it fits, which is nearly always.
class IdBuffer {
public:
    char* reserve(std::size_t size) {
        if (size <= local_.size()) {
            return local_.data();
        }
        heap_.resize(size);
        return heap_.data();
    }

private:
    std::array<char, 512> local_;
    std::string heap_;
};

// NetworkActivityEvent::id() of the event makeActivityEvent would build, written in one pass
// without building the event: the recording of an attempt whose id is already pending then
// allocates nothing.
std::string_view writeActivityId(IdBuffer& buffer, const ProcessIdentity& process,
                                 const ProcessIdentity* application,
                                 const FlowDestinationView& destination) {
    const auto text = [](const std::optional<std::string>& value) {
        return value ? std::string_view(*value) : std::string_view{};
    };
    const std::string_view parts[] = {
        application ? text(application->teamIdentifier) : std::string_view{},
        application ? std::string_view(application->signingIdentifier) : std::string_view{},
        text(process.teamIdentifier),
        process.signingIdentifier,
        text(process.executablePath),
        destination.host,
        destination.port.value_or(std::string_view{}),
    };
    std::size_t size = std::size(parts) - 1; // the separators
    for (const auto part : parts) {
        size += part.size();
    }
    char* const start = buffer.reserve(size);
    char* cursor = start;
    for (std::size_t i = 0; i < std::size(parts); ++i) {
        if (i > 0) {
            *cursor++ = '|';
        }
        // An empty view may have no data pointer, which memcpy must not get.
        if (!parts[i].empty()) {
            std::memcpy(cursor, parts[i].data(), parts[i].size());
            cursor += parts[i].size();
        }
    }
    return {start, size};
}

// Whether merging a new attempt into an existing event would fill one of its absent texts; only
// then does the new event have to be built.
bool fillsAbsentText(const NetworkActivityEvent& existing, const ProcessIdentity& process,
                     const ProcessIdentity* application, const FlowDestinationView& destination) {
    return (!existing.sourceApplicationIdentifier && application) ||
           (!existing.sourceApplicationTeamIdentifier && application &&
            application->teamIdentifier) ||
           (!existing.processTeamIdentifier && process.teamIdentifier) ||
           (!existing.processExecutablePath && process.executablePath) ||
           (!existing.destinationPort && destination.port);
}

} // namespace

class FilterActivityRecorder::State : public std::enable_shared_from_this<State> {
public:
    State(ObservationQueue& queue, Dependencies dependencies, Timing intervals)
        : observationQueue(queue),
          clock(dependencies.clock ? std::move(dependencies.clock) : Clock::system()),
          monotonicClock(dependencies.monotonicClock ? std::move(dependencies.monotonicClock)
                                                     : MonotonicClock::steady()),
          timing(intervals),
          observationPersistenceInterval(intervals.observationPersistenceInterval.count()),
          eventChannel(queue, {.port = std::move(dependencies.eventChannelPort),
                               .token = std::move(dependencies.eventChannelToken),
                               .sendTimeout = steadyDuration(intervals.sendTimeout),
                               .receiverCheck = std::move(dependencies.receiverCheck)}) {}

    void recordObservation(const ProcessIdentity& process,
                           const ProcessIdentity* sourceApplication) {
        const Date now = clock->now();
        const double elapsed = monotonicClock->elapsedSeconds();
        DiscoveredNetworkProcess observation = makeObservation(process, sourceApplication, now);
        std::string id = observation.id();
        {
            std::lock_guard lock(observationLock);
            const auto found = lastPersistedObservation.find(id);
            if (found != lastPersistedObservation.end()) {
                // On the wall clock, one set back by hours would silence every process seen
                // before until it caught up again.
                if (elapsed - found->second < observationPersistenceInterval) {
                    return;
                }
                found->second = elapsed;
            } else {
                lastPersistedObservation.emplace(std::move(id), elapsed);
            }
        }
        observationQueue.post([weak = weak_from_this(), observation = std::move(observation)] {
            const auto self = weak.lock();
            if (!self || self->closed.load(std::memory_order_acquire)) {
                return;
            }
            // Observations are not retried: the next matching flow after the quiet time
            // brings the process up again.
            self->eventChannel.sendEnvelope({}, {observation}, [](bool) {});
        });
    }

    void recordBlockedActivity(const FilterFlow& flow, const ProcessIdentity& process,
                               const ProcessIdentity* sourceApplication) {
        const Date now = clock->now();
        const FlowDestinationView destination = FlowFacts::flowDestinationView(flow);
        IdBuffer buffer;
        const std::string_view id =
            writeActivityId(buffer, process, sourceApplication, destination);

        bool schedule = false;
        {
            std::lock_guard lock(activityLock);
            const auto found = pendingActivity.find(id);
            if (found != pendingActivity.end()) {
                NetworkActivityEvent& existing = found->second;
                if (fillsAbsentText(existing, process, sourceApplication, destination)) {
                    existing.merge(makeActivityEvent(flow, process, sourceApplication, now));
                } else {
                    // What merge does with an event of the same id whose texts add nothing.
                    existing.firstSeenAt = earlier(existing.firstSeenAt, now);
                    existing.lastSeenAt = later(existing.lastSeenAt, now);
                    existing.blockedConnectionCount =
                        saturatingAdd(existing.blockedConnectionCount, 1);
                }
            } else {
                pendingActivity.emplace(std::string(id),
                                        makeActivityEvent(flow, process, sourceApplication, now));
            }
            if (!isActivityFlushScheduled) {
                isActivityFlushScheduled = true;
                schedule = true;
            }
        }
        if (schedule) {
            scheduleFlush(timing.activityFlushInterval);
        }
    }

    void flushPendingActivity() {
        std::vector<NetworkActivityEvent> events;
        {
            std::lock_guard lock(activityLock);
            events.reserve(pendingActivity.size());
            for (auto& entry : pendingActivity) {
                events.push_back(std::move(entry.second));
            }
            // clear() keeps the bucket array for the next cycle.
            pendingActivity.clear();
            isActivityFlushScheduled = false;
        }
        for (auto& batch : batchesForSending(std::move(events), activityBatchBudget)) {
            send(std::move(batch));
        }
    }

    void send(std::vector<NetworkActivityEvent> events) {
        activitySends.fetch_add(1, std::memory_order_relaxed);
        auto returned = std::make_shared<std::vector<NetworkActivityEvent>>(events);
        eventChannel.sendEnvelope(
            std::move(events), {}, [weak = weak_from_this(), returned](bool success) {
                if (success) {
                    return;
                }
                if (const auto self = weak.lock()) {
                    self->failedActivitySends.fetch_add(1, std::memory_order_relaxed);
                    self->requeueActivity(std::move(*returned));
                }
            });
    }

    void requeueActivity(std::vector<NetworkActivityEvent> events) {
        bool schedule = false;
        {
            std::lock_guard lock(activityLock);
            for (auto& returned : events) {
                std::string id = returned.id();
                const auto found = pendingActivity.find(std::string_view(id));
                if (found != pendingActivity.end()) {
                    // The returned event is the older one; its texts win.
                    returned.merge(found->second);
                    found->second = std::move(returned);
                } else {
                    pendingActivity.emplace(std::move(id), std::move(returned));
                }
            }
            if (!isActivityFlushScheduled) {
                isActivityFlushScheduled = true;
                schedule = true;
            }
        }
        if (schedule) {
            scheduleFlush(timing.retryDelay);
        }
    }

    void scheduleFlush(std::chrono::duration<double> delay) {
        observationQueue.postAfter(steadyDuration(delay), [weak = weak_from_this()] {
            const auto self = weak.lock();
            if (self && !self->closed.load(std::memory_order_acquire)) {
                self->flushPendingActivity();
            }
        });
    }

    std::vector<NetworkActivityEvent> pendingSnapshot() const {
        std::lock_guard lock(activityLock);
        std::vector<NetworkActivityEvent> events;
        for (const auto& entry : pendingActivity) {
            events.push_back(entry.second);
        }
        return events;
    }

    bool flushScheduled() const {
        std::lock_guard lock(activityLock);
        return isActivityFlushScheduled;
    }

    // Nothing delayed starts another send from now on.
    void close() { closed.store(true, std::memory_order_release); }

    ObservationQueue& observationQueue;
    const std::shared_ptr<const Clock> clock;
    const std::shared_ptr<const MonotonicClock> monotonicClock;
    const Timing timing;
    const double observationPersistenceInterval;

    // observationLock and activityLock are never held together.
    std::mutex observationLock;
    // Monotonic seconds of the last hand-on per observation id.
    TextMap<double> lastPersistedObservation;

    mutable std::mutex activityLock;
    TextMap<NetworkActivityEvent> pendingActivity;
    bool isActivityFlushScheduled = false;

    EventChannelClient eventChannel;
    std::atomic<bool> closed{false};
    std::atomic<std::uint64_t> activitySends{0};
    std::atomic<std::uint64_t> failedActivitySends{0};
};

FilterActivityRecorder::FilterActivityRecorder(Dependencies dependencies)
    : FilterActivityRecorder(std::move(dependencies), Timing{}) {}

FilterActivityRecorder::FilterActivityRecorder(Dependencies dependencies, Timing timing)
    : observationQueue(std::make_unique<ObservationQueue>()),
      state_(std::make_shared<State>(*observationQueue, std::move(dependencies), timing)) {}

FilterActivityRecorder::~FilterActivityRecorder() {
    state_->close();
    // A stopping filter's last flush is under way here; let it reach the application.
    state_->eventChannel.waitForSendsInFlight();
    observationQueue->stop();
}

void FilterActivityRecorder::recordObservation(const ProcessIdentity& process,
                                               const ProcessIdentity* sourceApplication) {
    state_->recordObservation(process, sourceApplication);
}

void FilterActivityRecorder::recordBlockedActivity(const FilterFlow& flow,
                                                   const ProcessIdentity& process,
                                                   const ProcessIdentity* sourceApplication) {
    state_->recordBlockedActivity(flow, process, sourceApplication);
}

void FilterActivityRecorder::flushPendingActivity() {
    state_->flushPendingActivity();
}

void FilterActivityRecorder::requeueActivity(std::vector<NetworkActivityEvent> events) {
    state_->requeueActivity(std::move(events));
}

std::vector<NetworkActivityEvent> FilterActivityRecorder::pendingActivity() const {
    return state_->pendingSnapshot();
}

bool FilterActivityRecorder::isActivityFlushScheduled() const {
    return state_->flushScheduled();
}

std::uint64_t FilterActivityRecorder::activitySendCount() const {
    return state_->activitySends.load(std::memory_order_relaxed);
}

std::uint64_t FilterActivityRecorder::failedActivitySendCount() const {
    return state_->failedActivitySends.load(std::memory_order_relaxed);
}

FilterActivityRecorder::Backlog FilterActivityRecorder::backlog() const {
    Backlog backlog;
    for (const auto& event : pendingActivity()) {
        backlog.blockedAttempts += event.blockedConnectionCount;
        ++backlog.aggregates;
    }
    backlog.sends = activitySendCount();
    backlog.failedSends = failedActivitySendCount();
    return backlog;
}

std::vector<std::vector<NetworkActivityEvent>>
FilterActivityRecorder::batchesForSending(std::vector<NetworkActivityEvent> events,
                                          std::size_t budget) {
    std::vector<std::vector<NetworkActivityEvent>> batches;
    std::size_t batchSize = 0;
    for (auto& event : events) {
        // The event's own JSON and the comma before it. An event that cannot be encoded goes
        // into a batch of its own, where its failure holds back no other event.
        const auto json = RecordJson::encodeActivityEvents({event});
        const std::size_t size = json ? json->size() - 1 : budget;
        if (batches.empty() || batchSize + size > budget) {
            batches.emplace_back();
            batchSize = 0;
        }
        batches.back().push_back(std::move(event));
        batchSize += size;
    }
    return batches;
}

DiscoveredNetworkProcess
FilterActivityRecorder::makeObservation(const ProcessIdentity& process,
                                        const ProcessIdentity* sourceApplication, Date now) {
    DiscoveredNetworkProcess observation;
    observation.signingIdentifier = process.signingIdentifier;
    observation.teamIdentifier = process.teamIdentifier;
    if (sourceApplication) {
        observation.sourceApplicationIdentifier = sourceApplication->signingIdentifier;
        observation.sourceApplicationTeamIdentifier = sourceApplication->teamIdentifier;
    }
    observation.executablePath = process.executablePath;
    observation.firstSeenAt = now;
    observation.lastSeenAt = now;
    observation.connectionCount = 1;
    return observation;
}

NetworkActivityEvent
FilterActivityRecorder::makeActivityEvent(const FilterFlow& flow, const ProcessIdentity& process,
                                          const ProcessIdentity* sourceApplication, Date now) {
    const FlowDestinationView destination = FlowFacts::flowDestinationView(flow);
    NetworkActivityEvent event;
    if (sourceApplication) {
        event.sourceApplicationIdentifier = sourceApplication->signingIdentifier;
        event.sourceApplicationTeamIdentifier = sourceApplication->teamIdentifier;
    }
    event.processSigningIdentifier = process.signingIdentifier;
    event.processTeamIdentifier = process.teamIdentifier;
    event.processExecutablePath = process.executablePath;
    event.destinationHost = std::string(destination.host);
    event.destinationPort = optionalCopy(destination.port);
    event.firstSeenAt = now;
    event.lastSeenAt = now;
    event.blockedConnectionCount = 1;
    return event;
}

} // namespace zorvane
