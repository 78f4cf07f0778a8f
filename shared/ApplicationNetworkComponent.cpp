#include "ApplicationNetworkComponent.h"

#include "HashCombine.h"

namespace zorvane {

std::string_view ApplicationNetworkComponent::displayText(Kind kind) {
    switch (kind) {
    case Kind::main:
        return "Main app";
    case Kind::bundled:
        return "Bundled";
    case Kind::observed:
        return "Observed";
    }
    return "Observed";
}

} // namespace zorvane

std::size_t std::hash<zorvane::ApplicationNetworkComponent>::operator()(
    const zorvane::ApplicationNetworkComponent& component) const noexcept {
    using zorvane::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, component.id);
    hashCombine(seed, component.name);
    hashCombine(seed, component.signingIdentifier);
    hashCombine(seed, component.teamIdentifier);
    hashCombine(seed, component.executablePath);
    hashCombine(seed, zorvane::ApplicationNetworkComponent::displayText(component.kind));
    hashCombine(seed, component.lastSeenAt
                          ? std::optional<double>(component.lastSeenAt->secondsSinceReferenceDate)
                          : std::nullopt);
    return seed;
}
