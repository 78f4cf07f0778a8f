#include "app/store/ApplicationMatcher.h"

#include <filesystem>
#include <functional>

namespace zorvane {
namespace {

std::size_t hashOf(const CodeIdentity& identity) {
    return std::hash<CodeIdentity>{}(identity);
}

std::optional<CodeIdentity> sourceIdentity(const std::optional<std::string>& signingIdentifier,
                                           const std::optional<std::string>& teamIdentifier) {
    if (!signingIdentifier) {
        return std::nullopt;
    }
    return CodeIdentity::make(*signingIdentifier, teamIdentifier);
}

ApplicationMatcher::Record makeRecord(CodeIdentity identity, std::optional<CodeIdentity> source,
                                      const std::optional<std::string>& path) {
    ApplicationMatcher::Record record;
    record.identityHash = hashOf(identity);
    record.identity = std::move(identity);
    if (source) {
        record.sourceHash = hashOf(*source);
        record.source = std::move(source);
    }
    if (path) {
        record.path = ApplicationMatcher::standardizedPath(*path);
    }
    return record;
}

} // namespace

ApplicationMatcher::Record ApplicationMatcher::Record::of(const NetworkActivityEvent& event) {
    return makeRecord(
        CodeIdentity::make(event.processSigningIdentifier, event.processTeamIdentifier),
        sourceIdentity(event.sourceApplicationIdentifier, event.sourceApplicationTeamIdentifier),
        event.processExecutablePath);
}

ApplicationMatcher::Record ApplicationMatcher::Record::of(const DiscoveredNetworkProcess& process) {
    return makeRecord(CodeIdentity::make(process.signingIdentifier, process.teamIdentifier),
                      sourceIdentity(process.sourceApplicationIdentifier,
                                     process.sourceApplicationTeamIdentifier),
                      process.executablePath);
}

ApplicationMatcher::ApplicationMatcher(const BlockedApplication& application)
    : identities_(application.allCodeIdentities()) {
    hashes_.reserve(identities_.size());
    for (const auto& identity : identities_) {
        hashes_.push_back(hashOf(identity));
    }
    std::string path = standardizedPath(application.path);
    if (path != "/") {
        bundlePath_ = std::move(path);
    }
}

bool ApplicationMatcher::containsIdentity(const CodeIdentity& identity, std::size_t hash) const {
    for (std::size_t index = 0; index < identities_.size(); ++index) {
        if (hashes_[index] == hash && identities_[index] == identity) {
            return true;
        }
    }
    return false;
}

bool ApplicationMatcher::matches(const Record& record) const {
    if (containsIdentity(record.identity, record.identityHash)) {
        return true;
    }
    if (record.source && containsIdentity(*record.source, record.sourceHash)) {
        return true;
    }
    if (!record.path || bundlePath_.empty()) {
        return false;
    }
    const std::string& path = *record.path;
    if (!path.starts_with(bundlePath_)) {
        return false;
    }
    // Inside the bundle, not in a sibling whose name merely begins the same way.
    return path.size() == bundlePath_.size() || path[bundlePath_.size()] == '/';
}

std::string ApplicationMatcher::standardizedPath(std::string_view path) {
    std::string normal = std::filesystem::path(path).lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') {
        normal.pop_back();
    }
    return normal;
}

} // namespace zorvane
