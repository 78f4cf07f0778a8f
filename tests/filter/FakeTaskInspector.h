#pragma once

#include "filter/FilterActivitySink.h"
#include "platform/TaskInspector.h"

#include <map>
#include <mutex>
#include <vector>

namespace zorvane::testing {

// A process as the fake system knows it.
struct FakeProcess {
    std::optional<std::string> signingIdentifier;
    PlistDictionary entitlements;
    std::optional<std::string> executablePath;
};

// Processes by pid, each with a generation that its token must carry.
class FakeTaskInspector final : public TaskInspector {
public:
    AuditToken add(std::int32_t pid, FakeProcess process, std::uint32_t generation = 1) {
        std::lock_guard lock(mutex_);
        processes_[pid] = {std::move(process), generation};
        return tokenFor(pid, generation);
    }

    static AuditToken tokenFor(std::int32_t pid, std::uint32_t generation) {
        AuditToken token;
        token.words[1] = 501;
        token.words[AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
        token.words[AuditToken::generationWord] = generation;
        return token;
    }

    std::unique_ptr<Task> createTask(const AuditToken& token) override {
        std::lock_guard lock(mutex_);
        ++createTaskCalls_[token.pid()];
        const auto it = processes_.find(token.pid());
        if (it == processes_.end() || it->second.generation != token.generation()) {
            return nullptr;
        }
        return std::make_unique<FakeTask>(it->second.process);
    }

    std::optional<std::string> processPath(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        ++processPathCalls_;
        const auto it = processes_.find(pid);
        return it == processes_.end() ? std::nullopt : it->second.process.executablePath;
    }

    int createTaskCalls(std::int32_t pid) const {
        std::lock_guard lock(mutex_);
        const auto it = createTaskCalls_.find(pid);
        return it == createTaskCalls_.end() ? 0 : it->second;
    }
    int processPathCalls() const {
        std::lock_guard lock(mutex_);
        return processPathCalls_;
    }

private:
    class FakeTask final : public Task {
    public:
        explicit FakeTask(FakeProcess process) : process_(std::move(process)) {}
        std::optional<std::string> signingIdentifier() const override {
            return process_.signingIdentifier;
        }
        std::optional<PlistValue> entitlementValue(const std::string& entitlement) const override {
            const auto it = process_.entitlements.find(entitlement);
            return it == process_.entitlements.end() ? std::nullopt
                                                     : std::optional<PlistValue>(it->second);
        }

    private:
        FakeProcess process_;
    };

    struct Entry {
        FakeProcess process;
        std::uint32_t generation = 0;
    };

    mutable std::mutex mutex_;
    std::map<std::int32_t, Entry> processes_;
    std::map<std::int32_t, int> createTaskCalls_;
    int processPathCalls_ = 0;
};

inline std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

// Keeps what the provider recorded.
class RecordingActivitySink final : public FilterActivitySink {
public:
    struct Record {
        ProcessIdentity process;
        std::optional<ProcessIdentity> sourceApplication;
        std::optional<FilterFlow> flow; // blocked attempts only
    };

    void recordObservation(const ProcessIdentity& process,
                           const ProcessIdentity* sourceApplication) override {
        std::lock_guard lock(mutex_);
        observations_.push_back({process, optionalOf(sourceApplication), std::nullopt});
    }
    void recordBlockedActivity(const FilterFlow& flow, const ProcessIdentity& process,
                               const ProcessIdentity* sourceApplication) override {
        std::lock_guard lock(mutex_);
        blocked_.push_back({process, optionalOf(sourceApplication), flow});
    }
    void flushPendingActivity() override {
        std::lock_guard lock(mutex_);
        ++flushes_;
    }

    std::vector<Record> observations() const {
        std::lock_guard lock(mutex_);
        return observations_;
    }
    std::vector<Record> blocked() const {
        std::lock_guard lock(mutex_);
        return blocked_;
    }
    int flushes() const {
        std::lock_guard lock(mutex_);
        return flushes_;
    }

private:
    static std::optional<ProcessIdentity> optionalOf(const ProcessIdentity* identity) {
        return identity ? std::optional<ProcessIdentity>(*identity) : std::nullopt;
    }

    mutable std::mutex mutex_;
    std::vector<Record> observations_;
    std::vector<Record> blocked_;
    int flushes_ = 0;
};

} // namespace zorvane::testing
