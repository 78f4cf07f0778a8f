#include "app/store/ActivityLog.h"

#include "platform/linux/ContainerDirectory.h"
#include "platform/linux/LockedFile.h"
#include "shared/RecordJson.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <unordered_map>

namespace zorvane {
namespace {

struct ActivityFile {
    using Record = NetworkActivityEvent;
    static constexpr std::string_view name = ActivityLog::activityFileName;
    static constexpr std::size_t limit = ActivityLog::eventLimit;
    static auto decode(std::string_view text) { return RecordJson::decodeActivityEvents(text); }
    static auto encode(const std::vector<Record>& records) {
        return RecordJson::encodeActivityEvents(records);
    }
};

struct DiscoveriesFile {
    using Record = DiscoveredNetworkProcess;
    static constexpr std::string_view name = ActivityLog::discoveriesFileName;
    static constexpr std::size_t limit = ActivityLog::observationLimit;
    static auto decode(std::string_view text) {
        return RecordJson::decodeDiscoveredProcesses(text);
    }
    static auto encode(const std::vector<Record>& records) {
        return RecordJson::encodeDiscoveredProcesses(records);
    }
};

template <typename File> std::vector<typename File::Record> readRecords(const LockedFile& file) {
    const auto text = file.read();
    if (!text) {
        return {};
    }
    auto records = File::decode(*text);
    return records ? std::move(*records) : std::vector<typename File::Record>{};
}

// Latest first; equal instants keep their order so that the same input always gives the same
// file.
template <typename Record> void keepLatest(std::vector<Record>& records, std::size_t limit) {
    std::stable_sort(records.begin(), records.end(), [](const Record& lhs, const Record& rhs) {
        return lhs.lastSeenAt > rhs.lastSeenAt;
    });
    if (records.size() > limit) {
        records.resize(limit);
    }
}

// Records keyed by id in first-seen order; a later record of a present id merges into it.
template <typename Record> class Aggregation {
public:
    void add(const Record& record) {
        auto id = record.id();
        const auto found = positions_.find(id);
        if (found == positions_.end()) {
            positions_.emplace(std::move(id), records_.size());
            records_.push_back(record);
        } else {
            records_[found->second].merge(record);
        }
    }
    std::vector<Record> take() { return std::move(records_); }

private:
    std::unordered_map<std::string, std::size_t> positions_;
    std::vector<Record> records_;
};

template <typename File>
void merge(const std::optional<std::filesystem::path>& location, Date windowStart,
           const std::vector<typename File::Record>& incoming) {
    if (!location) {
        return;
    }
    const auto file = LockedFile::open(*location);
    if (!file) {
        return;
    }
    Aggregation<typename File::Record> aggregation;
    for (const auto& stored : readRecords<File>(*file)) {
        if (stored.lastSeenAt >= windowStart) {
            aggregation.add(stored);
        }
    }
    // Incoming records are what the filter just reported: kept whatever their age.
    for (const auto& record : incoming) {
        aggregation.add(record);
    }
    auto records = aggregation.take();
    keepLatest(records, File::limit);
    if (const auto text = File::encode(records)) {
        file->replace(*text);
    }
}

template <typename File>
std::vector<typename File::Record> load(const std::optional<std::filesystem::path>& location,
                                        Date windowStart) {
    if (!location) {
        return {};
    }
    const auto file = LockedFile::open(*location);
    if (!file) {
        return {};
    }
    auto records = readRecords<File>(*file);
    std::erase_if(records, [&](const auto& record) { return !(record.lastSeenAt >= windowStart); });
    keepLatest(records, File::limit);
    return records;
}

} // namespace

ActivityLog::ActivityLog(std::optional<std::filesystem::path> containerDirectory,
                         std::shared_ptr<const Clock> clock)
    : containerDirectory_(std::move(containerDirectory)),
      clock_(clock ? std::move(clock) : Clock::system()) {}

ActivityLog ActivityLog::standard() {
    return ActivityLog(ContainerDirectory::path(), Clock::system());
}

std::optional<std::filesystem::path> ActivityLog::fileLocation(std::string_view fileName) const {
    if (!containerDirectory_) {
        return std::nullopt;
    }
    const auto directory = *containerDirectory_ / "Library" / "Application Support" / "Zorvane";
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (!std::filesystem::is_directory(directory, error)) {
        return std::nullopt;
    }
    return directory / fileName;
}

void ActivityLog::mergeEvents(const std::vector<NetworkActivityEvent>& events) const {
    merge<ActivityFile>(fileLocation(activityFileName),
                        clock_->now().addingSeconds(-retentionSeconds), events);
}

void ActivityLog::mergeObservation(const DiscoveredNetworkProcess& observation) const {
    merge<DiscoveriesFile>(fileLocation(discoveriesFileName),
                           clock_->now().addingSeconds(-retentionSeconds), {observation});
}

void ActivityLog::persistEnvelopeContents(
    const std::vector<NetworkActivityEvent>& events,
    const std::vector<DiscoveredNetworkProcess>& observations) const {
    if (!events.empty()) {
        mergeEvents(events);
    }
    for (const auto& observation : observations) {
        mergeObservation(observation);
    }
}

std::vector<NetworkActivityEvent> ActivityLog::loadEvents() const {
    return load<ActivityFile>(fileLocation(activityFileName),
                              clock_->now().addingSeconds(-retentionSeconds));
}

std::vector<DiscoveredNetworkProcess> ActivityLog::loadObservations() const {
    return load<DiscoveriesFile>(fileLocation(discoveriesFileName),
                                 clock_->now().addingSeconds(-retentionSeconds));
}

} // namespace zorvane
