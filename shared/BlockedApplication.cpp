#include "BlockedApplication.h"

#include "HashCombine.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <unordered_set>

namespace zorvane {
namespace {

void appendUnique(std::vector<CodeIdentity>& out, std::unordered_set<CodeIdentity>& seen,
                  const CodeIdentity& identity) {
    if (seen.insert(identity).second) {
        out.push_back(identity);
    }
}

} // namespace

bool BlockedApplication::isGenericInterpreter(std::string_view signingIdentifier) {
    static constexpr std::array<std::string_view, 13> interpreters{
        "bash",    "dash",    "java", "node", "perl",  "php", "python",
        "python2", "python3", "ruby", "sh",   "swift", "zsh"};
    if (signingIdentifier.size() > 7) {
        return false;
    }
    std::string lowered(signingIdentifier);
    // Only ASCII letters can fold onto these names.
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return std::find(interpreters.begin(), interpreters.end(), lowered) != interpreters.end();
}

bool BlockedApplication::isInterpreterProgram(std::string_view path) {
    static constexpr std::array<std::string_view, 27> interpreters{
        "bash", "busybox", "csh",     "dash", "env",  "fish",   "gjs",  "guile", "java",
        "ksh",  "lua",     "luajit",  "mksh", "node", "nodejs", "perl", "php",   "pwsh",
        "pypy", "python",  "rscript", "ruby", "sh",   "tclsh",  "tcsh", "wish",  "zsh"};
    const auto slash = path.rfind('/');
    std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    // python3.11, perl5.36.0, lua5.4, ruby3.1, php8.2: the version is no part of the name.
    while (!name.empty() && ((name.back() >= '0' && name.back() <= '9') || name.back() == '.' ||
                             name.back() == '-')) {
        name.remove_suffix(1);
    }
    if (name.empty() || name.size() > 8) {
        return false;
    }
    std::string lowered(name);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; });
    return std::find(interpreters.begin(), interpreters.end(), lowered) != interpreters.end();
}

bool BlockedApplication::isBlockableAuxiliary(const CodeIdentity& identity) {
    if (identity.teamIdentifier) {
        return !isGenericInterpreter(identity.signingIdentifier);
    }
    return identity.signingIdentifier.starts_with('/') &&
           !isInterpreterProgram(identity.signingIdentifier);
}

CodeIdentity BlockedApplication::primaryCodeIdentity() const {
    return CodeIdentity::make(signingIdentifier, teamIdentifier);
}

std::vector<CodeIdentity> BlockedApplication::allCodeIdentities() const {
    std::vector<CodeIdentity> out;
    std::unordered_set<CodeIdentity> seen;
    appendUnique(out, seen, primaryCodeIdentity());
    if (auxiliaryCodeIdentities) {
        for (const auto& identity : *auxiliaryCodeIdentities) {
            appendUnique(out, seen, identity);
        }
    }
    return out;
}

std::vector<std::string> BlockedApplication::allSigningIdentifiers() const {
    std::vector<std::string> out;
    for (auto& identity : allCodeIdentities()) {
        out.push_back(std::move(identity.signingIdentifier));
    }
    return out;
}

std::vector<CodeIdentity> BlockedApplication::blockingCodeIdentities() const {
    std::vector<CodeIdentity> out{primaryCodeIdentity()};
    if (auxiliaryCodeIdentities) {
        for (const auto& identity : *auxiliaryCodeIdentities) {
            if (isBlockableAuxiliary(identity)) {
                out.push_back(identity);
            }
        }
    }
    return out;
}

BlockedApplication
BlockedApplication::addingAuxiliaryIdentities(const std::vector<CodeIdentity>& identities) const {
    const CodeIdentity primary = primaryCodeIdentity();
    std::vector<CodeIdentity> merged;
    std::unordered_set<CodeIdentity> seen{primary};
    if (auxiliaryCodeIdentities) {
        for (const auto& identity : *auxiliaryCodeIdentities) {
            appendUnique(merged, seen, identity);
        }
    }
    for (const auto& identity : identities) {
        appendUnique(merged, seen, identity);
    }
    // Stable, so that identities which only differ by an absent versus an empty team keep
    // their order of arrival.
    std::stable_sort(merged.begin(), merged.end());

    BlockedApplication copy = *this;
    copy.auxiliaryCodeIdentities = std::move(merged);
    copy.auxiliarySigningIdentifiers = std::nullopt;
    copy.inspectionVersion = currentInspectionVersion;
    return copy;
}

} // namespace zorvane

std::size_t std::hash<zorvane::BlockedApplication>::operator()(
    const zorvane::BlockedApplication& application) const noexcept {
    using zorvane::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, application.id);
    hashCombine(seed, application.name);
    hashCombine(seed, application.bundleIdentifier);
    hashCombine(seed, application.signingIdentifier);
    hashCombine(seed, application.teamIdentifier);
    hashCombine(seed, application.auxiliaryCodeIdentities);
    hashCombine(seed, application.auxiliarySigningIdentifiers);
    hashCombine(seed, application.inspectionVersion);
    hashCombine(seed, application.path);
    hashCombine(seed, application.iconData);
    return seed;
}
