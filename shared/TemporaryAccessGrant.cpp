#include "TemporaryAccessGrant.h"

#include "HashCombine.h"

namespace zorvane {

std::string_view TemporaryAccessGrant::modeText(Mode mode) {
    switch (mode) {
    case Mode::timed:
        return "timed";
    case Mode::untilQuit:
        return "untilQuit";
    }
    return "timed";
}

std::optional<TemporaryAccessGrant::Mode>
TemporaryAccessGrant::modeFromText(std::string_view text) {
    if (text == "timed") {
        return Mode::timed;
    }
    if (text == "untilQuit") {
        return Mode::untilQuit;
    }
    return std::nullopt;
}

} // namespace zorvane

std::size_t std::hash<zorvane::TemporaryAccessGrant>::operator()(
    const zorvane::TemporaryAccessGrant& grant) const noexcept {
    using zorvane::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, grant.applicationID);
    hashCombine(seed, grant.applicationName);
    hashCombine(seed, grant.applicationBundleIdentifier);
    hashCombine(seed, grant.codeIdentityKeys);
    hashCombine(seed, grant.applicationPath);
    hashCombine(seed, grant.expiresAt.secondsSinceReferenceDate);
    hashCombine(seed, zorvane::TemporaryAccessGrant::modeText(grant.mode));
    return seed;
}
