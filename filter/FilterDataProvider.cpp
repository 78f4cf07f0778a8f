#include "filter/FilterDataProvider.h"

#include "shared/BundlePath.h"
#include "shared/CodeIdentity.h"
#include "shared/Utf8.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace zorvane {
namespace {

constexpr std::string_view teamIdentifierEntitlement = "com.apple.developer.team-identifier";
constexpr std::string_view applicationIdentifierEntitlement = "com.apple.application-identifier";
constexpr std::size_t maximumPathBytes = 4096;

std::string currentDirectory() {
    std::error_code error;
    auto directory = std::filesystem::current_path(error);
    return error ? std::string("/") : directory.string();
}

// Values of other types count as absent.
std::optional<std::string> nonEmptyText(const std::optional<PlistValue>& value) {
    const std::string* text = value ? value->string() : nullptr;
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return *text;
}

} // namespace

std::size_t FilterDataProvider::TokenBytesHash::operator()(const TokenBytes& bytes) const noexcept {
    return std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

FilterDataProvider::FilterDataProvider(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), ownIdentifier_(dependencies_.mainBundleIdentifier),
      ruleSet_(FilterRuleSet::derive(nullptr, ownIdentifier_, currentDirectory())) {
    if (!dependencies_.clock) {
        dependencies_.clock = Clock::system();
    }
    if (!dependencies_.activitySink) {
        // The recorder reads the channel through this provider; the destructor ends the
        // recorder before anything it reads goes away.
        dependencies_.activitySink = std::make_shared<FilterActivityRecorder>(
            FilterActivityRecorder::Dependencies{
                .eventChannelPort = [this] { return configuredEventChannelPort(); },
                .eventChannelToken = [this] { return configuredEventChannelToken(); },
                .clock = dependencies_.clock,
                .monotonicClock = dependencies_.monotonicClock,
                .receiverCheck = dependencies_.receiverCheck},
            dependencies_.activityTiming);
    }
}

FilterDataProvider::~FilterDataProvider() {
    // The sink is the first member and would otherwise outlive the rule set that the provider's
    // own recorder reads on its queue.
    dependencies_.activitySink.reset();
}

std::optional<FilterActivityRecorder::Backlog> FilterDataProvider::activityBacklog() const {
    const auto* recorder =
        dynamic_cast<const FilterActivityRecorder*>(dependencies_.activitySink.get());
    if (!recorder) {
        return std::nullopt;
    }
    return recorder->backlog();
}

void FilterDataProvider::setVendorConfiguration(
    std::shared_ptr<const PlistDictionary> vendorConfiguration) {
    // Derived before publishing, so that no decision ever waits for the derivation; the old rule
    // set is released outside the lock.
    std::shared_ptr<const FilterRuleSet> rules =
        FilterRuleSet::derive(std::move(vendorConfiguration), ownIdentifier_, currentDirectory());
    {
        std::lock_guard lock(ruleSetLock_);
        ruleSet_.swap(rules);
    }
}

std::shared_ptr<const PlistDictionary> FilterDataProvider::vendorConfiguration() const {
    return ruleSet()->vendorConfiguration();
}

std::shared_ptr<const FilterRuleSet> FilterDataProvider::ruleSet() const {
    std::lock_guard lock(ruleSetLock_);
    return ruleSet_;
}

void FilterDataProvider::startFilter(
    std::function<void(std::optional<std::string> error)> completion) {
    if (!dependencies_.applySettings) {
        // A host without settings to apply already sends every flow to the provider.
        if (completion) {
            completion(std::nullopt);
        }
        return;
    }
    dependencies_.applySettings(
        [completion = std::move(completion)](std::optional<std::string> error) {
            if (completion) {
                completion(std::move(error));
            }
        });
}

void FilterDataProvider::stopFilter(std::function<void()> completion) {
    if (dependencies_.activitySink) {
        dependencies_.activitySink->flushPendingActivity();
    }
    if (completion) {
        completion();
    }
}

FilterVerdict FilterDataProvider::handleNewFlow(const FilterFlow& flow) {
    if (flow.direction != FilterFlow::Direction::outbound) {
        return FilterVerdict::allow;
    }

    const ResolvedIdentityPointer application = resolve(flow.sourceAppAuditToken);
    const ResolvedIdentityPointer process = resolve(flow.sourceProcessAuditToken);
    const ResolvedIdentity* identities[2];
    std::size_t count = 0;
    if (application) {
        identities[count++] = application.get();
    }
    if (process) {
        identities[count++] = process.get();
    }
    if (count == 0) {
        return FilterVerdict::allow;
    }

    for (std::size_t i = 0; i < count; ++i) {
        if (identities[i]->isOwn) {
            return FilterVerdict::allow;
        }
    }

    // One snapshot for the whole decision, so that a configuration change in the middle cannot
    // mix two rule sets.
    const std::shared_ptr<const FilterRuleSet> rules = ruleSet();
    bool matches = false;
    for (std::size_t i = 0; i < count && !matches; ++i) {
        matches = rules->blocksIdentityKey(identities[i]->identityKey);
    }
    for (std::size_t i = 0; i < count && !matches; ++i) {
        const auto& path = identities[i]->identity.executablePath;
        matches = path && rules->blocksExecutablePath(*path);
    }
    if (!matches) {
        return FilterVerdict::allow;
    }

    const ProcessIdentity& recorded = process ? process->identity : application->identity;
    const ProcessIdentity* sourceApplication = application ? &application->identity : nullptr;
    recordObservation(recorded, sourceApplication);

    if (isLocalDestination(flow) || isDNSFlow(flow) ||
        isTemporarilyAllowed(*rules, identities, count)) {
        return FilterVerdict::allow;
    }

    recordBlockedActivity(flow, recorded, sourceApplication);
    return FilterVerdict::drop;
}

StringSet FilterDataProvider::blockedIdentityKeys() const {
    return ruleSet()->blockedIdentityKeys();
}

std::vector<std::string> FilterDataProvider::blockedBundlePaths() const {
    return ruleSet()->blockedBundlePaths();
}

StringMap<double> FilterDataProvider::temporaryIdentityExpiries() const {
    return ruleSet()->temporaryIdentityExpiries();
}

StringMap<double> FilterDataProvider::temporaryBundlePathExpiries() const {
    return ruleSet()->temporaryBundlePathExpiries();
}

std::optional<std::uint16_t> FilterDataProvider::configuredEventChannelPort() const {
    return ruleSet()->eventChannelPort();
}

std::optional<std::string> FilterDataProvider::configuredEventChannelToken() const {
    return ruleSet()->eventChannelToken();
}

std::string FilterDataProvider::standardizedBundlePath(std::string_view path) {
    return BundlePath::standardized(path, currentDirectory());
}

std::string FilterDataProvider::identityKey(const ProcessIdentity& identity) {
    return CodeIdentity::make(identity.signingIdentifier, identity.teamIdentifier).key();
}

bool FilterDataProvider::isUnderBundlePath(std::string_view executablePath,
                                           std::string_view bundlePath) {
    return BundlePath::isUnder(executablePath, bundlePath);
}

bool FilterDataProvider::isTemporarilyAllowed(
    const std::vector<ProcessIdentity>& sourceIdentities) const {
    std::vector<ResolvedIdentity> resolved;
    resolved.reserve(sourceIdentities.size());
    std::vector<const ResolvedIdentity*> pointers;
    for (const auto& identity : sourceIdentities) {
        resolved.push_back({identity, identityKey(identity), false});
    }
    for (const auto& entry : resolved) {
        pointers.push_back(&entry);
    }
    return isTemporarilyAllowed(*ruleSet(), pointers.data(), pointers.size());
}

bool FilterDataProvider::isTemporarilyAllowed(const FilterRuleSet& rules,
                                              const ResolvedIdentity* const* identities,
                                              std::size_t count) const {
    if (rules.temporaryIdentityExpiries().empty() && rules.temporaryBundlePathExpiries().empty()) {
        return false;
    }
    const double now = dependencies_.clock->now().unixSeconds();
    for (std::size_t i = 0; i < count; ++i) {
        if (rules.allowsIdentityKeyAt(identities[i]->identityKey, now)) {
            return true;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto& path = identities[i]->identity.executablePath;
        if (path && rules.allowsExecutablePathAt(*path, now)) {
            return true;
        }
    }
    return false;
}

std::optional<ProcessIdentity> FilterDataProvider::resolveProcessIdentity(
    const std::optional<std::vector<std::uint8_t>>& auditToken) {
    const auto resolved = resolve(auditToken);
    if (!resolved) {
        return std::nullopt;
    }
    return resolved->identity;
}

FilterDataProvider::ResolvedIdentityPointer
FilterDataProvider::resolve(const std::optional<std::vector<std::uint8_t>>& auditToken) {
    if (!auditToken || auditToken->size() != AuditToken::size) {
        return nullptr;
    }
    TokenBytes key;
    std::memcpy(key.data(), auditToken->data(), key.size());
    {
        std::lock_guard lock(identityCacheLock);
        if (const auto it = identityCache.find(key); it != identityCache.end()) {
            return it->second;
        }
    }

    // The platform calls run without the lock: they may be slow, and other flows must not wait.
    TaskInspector* inspector = dependencies_.taskInspector.get();
    const auto token = AuditToken::fromBytes(key);
    if (!inspector || !token) {
        return nullptr;
    }
    const auto task = inspector->createTask(*token);
    if (!task) {
        return nullptr;
    }
    auto signingIdentifier = task->signingIdentifier();
    if (!signingIdentifier || signingIdentifier->empty()) {
        return nullptr;
    }

    auto resolved = std::make_shared<ResolvedIdentity>();
    resolved->identity.signingIdentifier = std::move(*signingIdentifier);
    resolved->identity.teamIdentifier = teamIdentifierOfTask(*task);
    if (const std::int32_t pid = token->pid(); pid >= 1) {
        if (const auto path = inspector->processPath(pid); path && !path->empty()) {
            const std::string_view bytes(path->data(), std::min(path->size(), maximumPathBytes));
            resolved->identity.executablePath = Utf8::sanitized(bytes);
        }
    }
    resolved->identityKey = identityKey(resolved->identity);
    resolved->isOwn = ownIdentifier_.isOwnIdentifier(resolved->identity.signingIdentifier);

    ResolvedIdentityPointer stored = std::move(resolved);
    storeIdentity(stored, key);
    return stored;
}

void FilterDataProvider::storeIdentity(const ResolvedIdentityPointer& identity,
                                       const TokenBytes& token) {
    std::lock_guard lock(identityCacheLock);
    if (!identityCache.emplace(token, identity).second) {
        // Another flow of the same process resolved it meanwhile; the first store stays.
        return;
    }
    identityCacheOrder.push_back(token);
    if (identityCacheOrder.size() > maximumIdentityCacheCount) {
        const auto evicted = identityCacheOrder.begin() + identityCacheEvictionCount;
        for (auto it = identityCacheOrder.begin(); it != evicted; ++it) {
            identityCache.erase(*it);
        }
        identityCacheOrder.erase(identityCacheOrder.begin(), evicted);
    }
}

void FilterDataProvider::forgetProcess(const std::vector<std::uint8_t>& auditToken) {
    if (auditToken.size() != AuditToken::size) {
        return;
    }
    TokenBytes key;
    std::memcpy(key.data(), auditToken.data(), key.size());
    std::lock_guard lock(identityCacheLock);
    if (identityCache.erase(key) != 0) {
        identityCacheOrder.erase(
            std::find(identityCacheOrder.begin(), identityCacheOrder.end(), key));
    }
}

std::optional<std::string>
FilterDataProvider::teamIdentifierOfTask(const TaskInspector::Task& task) {
    if (auto team = nonEmptyText(task.entitlementValue(std::string(teamIdentifierEntitlement)))) {
        return team;
    }
    if (const auto application =
            nonEmptyText(task.entitlementValue(std::string(applicationIdentifierEntitlement)))) {
        auto prefix = application->substr(0, application->find('.'));
        // An identifier that begins with "." names no team.
        if (!prefix.empty()) {
            return prefix;
        }
    }
    return std::nullopt;
}

void FilterDataProvider::recordObservation(const ProcessIdentity& process,
                                           const ProcessIdentity* sourceApplication) {
    if (dependencies_.activitySink) {
        dependencies_.activitySink->recordObservation(process, sourceApplication);
    }
}

void FilterDataProvider::recordBlockedActivity(const FilterFlow& flow,
                                               const ProcessIdentity& process,
                                               const ProcessIdentity* sourceApplication) {
    if (dependencies_.activitySink) {
        dependencies_.activitySink->recordBlockedActivity(flow, process, sourceApplication);
    }
}

std::vector<std::array<std::uint8_t, AuditToken::size>>
FilterDataProvider::identityCacheTokens() const {
    std::lock_guard lock(identityCacheLock);
    return {identityCacheOrder.begin(), identityCacheOrder.end()};
}

} // namespace zorvane
