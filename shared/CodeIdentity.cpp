#include "CodeIdentity.h"

#include "Base64.h"
#include "HashCombine.h"
#include "Utf8.h"

namespace zorvane {
namespace {

std::optional<std::string> normalisedTeam(std::optional<std::string> team) {
    if (!team) {
        return std::nullopt;
    }
    const std::string_view trimmed = Utf8::trimmed(*team);
    if (trimmed.empty()) {
        return std::nullopt;
    }
    if (trimmed.size() != team->size()) {
        return std::string(trimmed);
    }
    return team;
}

std::string base64OfText(std::string_view text) {
    return Utf8::isValid(text) ? Base64::encode(text) : Base64::encode(Utf8::sanitized(text));
}

std::optional<std::string> decodeKeyPart(std::string_view part) {
    auto text = Base64::decodeToString(part);
    if (!text || !Utf8::isValid(*text)) {
        return std::nullopt;
    }
    return text;
}

} // namespace

CodeIdentity CodeIdentity::make(std::string signingIdentifier,
                                std::optional<std::string> teamIdentifier) {
    return CodeIdentity{std::move(signingIdentifier), normalisedTeam(std::move(teamIdentifier))};
}

std::string CodeIdentity::key() const {
    const std::string_view team =
        teamIdentifier ? Utf8::trimmed(*teamIdentifier) : std::string_view{};
    std::string out = base64OfText(team);
    out.push_back('.');
    out += base64OfText(signingIdentifier);
    return out;
}

std::optional<CodeIdentity> CodeIdentity::fromKey(std::string_view key) {
    const std::size_t dot = key.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    auto team = decodeKeyPart(key.substr(0, dot));
    if (!team) {
        return std::nullopt;
    }
    auto signing = decodeKeyPart(key.substr(dot + 1));
    if (!signing) {
        return std::nullopt;
    }
    return make(std::move(*signing), std::move(*team));
}

bool operator<(const CodeIdentity& lhs, const CodeIdentity& rhs) {
    // std::string compares through char_traits<char>, which orders bytes as unsigned char.
    if (const int order = lhs.signingIdentifier.compare(rhs.signingIdentifier); order != 0) {
        return order < 0;
    }
    const std::string_view lhsTeam =
        lhs.teamIdentifier ? std::string_view(*lhs.teamIdentifier) : std::string_view{};
    const std::string_view rhsTeam =
        rhs.teamIdentifier ? std::string_view(*rhs.teamIdentifier) : std::string_view{};
    return lhsTeam < rhsTeam;
}

} // namespace zorvane

std::size_t
std::hash<zorvane::CodeIdentity>::operator()(const zorvane::CodeIdentity& identity) const noexcept {
    std::size_t seed = 0;
    zorvane::hashCombine(seed, identity.signingIdentifier);
    zorvane::hashCombine(seed, identity.teamIdentifier);
    return seed;
}
