#pragma once

#include "filter/FilterActivityRecorder.h"
#include "filter/FilterActivitySink.h"
#include "filter/FilterFlow.h"
#include "filter/FilterRuleSet.h"
#include "filter/FlowFacts.h"
#include "filter/ProcessIdentity.h"
#include "platform/TaskInspector.h"
#include "shared/Clock.h"
#include "shared/OwnIdentifier.h"
#include "shared/PlistValue.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zorvane {

// The filter's provider: the host (the system on macOS, filter/host on Linux) creates one, starts
// it, hands it the configuration's vendor dictionary whenever that changes, asks it for a verdict
// on every new flow, and stops it. Every public member may be called from any thread.
class FilterDataProvider {
public:
    // The host's way of applying filter settings; the callback receives the error text, if any.
    // The settings are always the same: no rules, every new flow goes to handleNewFlow.
    using ApplySettings = std::function<void(std::function<void(std::optional<std::string>)>)>;

    struct Dependencies {
        std::shared_ptr<TaskInspector> taskInspector;
        std::shared_ptr<const Clock> clock = Clock::system();
        // Intervals of the provider's own recorder.
        std::shared_ptr<const MonotonicClock> monotonicClock = MonotonicClock::steady();
        ApplySettings applySettings;
        // The running program's main-bundle identifier (the filter's own).
        std::optional<std::string> mainBundleIdentifier;
        // Receives observations and blocked attempts. Null (the default): the provider makes
        // its own FilterActivityRecorder, which delivers to the event channel of the current
        // configuration (configuredEventChannelPort and configuredEventChannelToken) with the
        // clock above and the timing below.
        std::shared_ptr<FilterActivitySink> activitySink;
        // Only for the provider's own recorder; the real intervals unless a test shortens them.
        FilterActivityRecorder::Timing activityTiming;
        // Only for the provider's own recorder: whose receiver may have the token.
        EventReceiverCheck receiverCheck;
    };

    // Keys of the vendor dictionary.
    static constexpr std::string_view codeIdentitiesKey = FilterRuleSet::codeIdentitiesKey;
    static constexpr std::string_view applicationPathsKey = FilterRuleSet::applicationPathsKey;
    static constexpr std::string_view temporaryAllowedCodeIdentitiesKey =
        FilterRuleSet::temporaryAllowedCodeIdentitiesKey;
    static constexpr std::string_view temporaryAllowedApplicationPathsKey =
        FilterRuleSet::temporaryAllowedApplicationPathsKey;
    static constexpr std::string_view eventChannelPortKey = FilterRuleSet::eventChannelPortKey;
    static constexpr std::string_view eventChannelTokenKey = FilterRuleSet::eventChannelTokenKey;

    // Timing of the activity component behind FilterActivitySink, in seconds.
    static constexpr double observationPersistenceInterval =
        FilterActivityRecorder::Timing{}.observationPersistenceInterval.count();
    static constexpr double activityFlushInterval =
        FilterActivityRecorder::Timing{}.activityFlushInterval.count();
    static constexpr double retryDelay = FilterActivityRecorder::Timing{}.retryDelay.count();

    // The identity cache holds at most this many processes; going over evicts the oldest quarter
    // at once, so eviction runs once per 64 new processes rather than on every insertion.
    static constexpr std::size_t maximumIdentityCacheCount = 256;
    static constexpr std::size_t identityCacheEvictionCount = 64;

    explicit FilterDataProvider(Dependencies dependencies);
    ~FilterDataProvider();

    FilterDataProvider(const FilterDataProvider&) = delete;
    FilterDataProvider& operator=(const FilterDataProvider&) = delete;

    // Replaces the vendor dictionary; null means the configuration has none. Safe to call while
    // flows are being decided: the next decision uses the new one.
    void setVendorConfiguration(std::shared_ptr<const PlistDictionary> vendorConfiguration);
    std::shared_ptr<const PlistDictionary> vendorConfiguration() const;
    // The rules read from the current dictionary; never null.
    std::shared_ptr<const FilterRuleSet> ruleSet() const;

    // Applies the settings through the host; the completion gets the host's error, if any.
    void startFilter(std::function<void(std::optional<std::string> error)> completion);
    // Hands pending activity to one last send and completes at once, without waiting for it.
    void stopFilter(std::function<void()> completion);

    FilterVerdict handleNewFlow(const FilterFlow& flow);

    // Rule-set readers over the current dictionary.
    StringSet blockedIdentityKeys() const;
    std::vector<std::string> blockedBundlePaths() const;
    StringMap<double> temporaryIdentityExpiries() const;
    StringMap<double> temporaryBundlePathExpiries() const;
    const std::vector<std::string>& ownIdentifierRoots() const { return ownIdentifier_.roots(); }
    bool isOwnIdentifier(std::string_view signingIdentifier) const {
        return ownIdentifier_.isOwnIdentifier(signingIdentifier);
    }
    // Event-channel readers: a port in 1...65535, a token of at least 64 bytes.
    std::optional<std::uint16_t> configuredEventChannelPort() const;
    std::optional<std::string> configuredEventChannelToken() const;

    // Relative paths are taken relative to the process's current directory.
    static std::string standardizedBundlePath(std::string_view path);

    // Verdict helpers.
    static std::string identityKey(const ProcessIdentity& identity);
    static bool isUnderBundlePath(std::string_view executablePath, std::string_view bundlePath);
    bool isTemporarilyAllowed(const std::vector<ProcessIdentity>& sourceIdentities) const;
    static bool isLocalDestination(const FilterFlow& flow) {
        return FlowFacts::isLocalDestination(flow);
    }
    static bool isLoopbackHost(std::string_view host) { return FlowFacts::isLoopbackHost(host); }
    static bool isDNSFlow(const FilterFlow& flow) { return FlowFacts::isDNSFlow(flow); }
    static FlowDestination flowDestination(const FilterFlow& flow) {
        return FlowFacts::flowDestination(flow);
    }

    // The signed identity behind an audit token (32 bytes); empty when it cannot be resolved.
    // Successful resolutions are cached by the token's bytes.
    std::optional<ProcessIdentity>
    resolveProcessIdentity(const std::optional<std::vector<std::uint8_t>>& auditToken);
    static std::optional<std::string> teamIdentifierOfTask(const TaskInspector::Task& task);
    // Drops what was resolved for the token: its process ended, or now runs another program
    // under the same token (Linux keeps the pid and the start time across exec).
    void forgetProcess(const std::vector<std::uint8_t>& auditToken);

    // Forwarded to the activity sink.
    void recordObservation(const ProcessIdentity& process,
                           const ProcessIdentity* sourceApplication);
    void recordBlockedActivity(const FilterFlow& flow, const ProcessIdentity& process,
                               const ProcessIdentity* sourceApplication);

    // The backlog of the provider's own recorder; empty when the host gave a sink of its own.
    std::optional<FilterActivityRecorder::Backlog> activityBacklog() const;

    // The cached tokens, oldest insertion first (diagnostics and tests).
    std::vector<std::array<std::uint8_t, AuditToken::size>> identityCacheTokens() const;

private:
    using TokenBytes = std::array<std::uint8_t, AuditToken::size>;
    struct TokenBytesHash {
        std::size_t operator()(const TokenBytes& bytes) const noexcept;
    };

    // A resolved identity with what every decision derives from it, computed once.
    struct ResolvedIdentity {
        ProcessIdentity identity;
        std::string identityKey;
        bool isOwn = false;
    };
    using ResolvedIdentityPointer = std::shared_ptr<const ResolvedIdentity>;

    ResolvedIdentityPointer resolve(const std::optional<std::vector<std::uint8_t>>& auditToken);
    void storeIdentity(const ResolvedIdentityPointer& identity, const TokenBytes& token);
    bool isTemporarilyAllowed(const FilterRuleSet& rules, const ResolvedIdentity* const* identities,
                              std::size_t count) const;

    Dependencies dependencies_;
    const OwnIdentifier ownIdentifier_;
    // Guards only the swap and the copy of the pointer. (libstdc++'s atomic<shared_ptr> hides
    // its lock from ThreadSanitizer, which then reports every configuration change as a race.)
    mutable std::mutex ruleSetLock_;
    std::shared_ptr<const FilterRuleSet> ruleSet_;

    mutable std::mutex identityCacheLock;
    std::unordered_map<TokenBytes, ResolvedIdentityPointer, TokenBytesHash> identityCache;
    std::deque<TokenBytes> identityCacheOrder;
};

} // namespace zorvane
