#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// The identity of one piece of signed code: its signing identifier and, when it has one, its team.
struct CodeIdentity {
    std::string signingIdentifier;
    std::optional<std::string> teamIdentifier;

    // The one way to build an identity from raw values: the team is trimmed of white space and
    // line breaks and an empty team becomes absent; the signing identifier is kept as it is.
    static CodeIdentity make(std::string signingIdentifier,
                             std::optional<std::string> teamIdentifier);

    // The rule-set text form: Base64(team, or "" when absent) + "." + Base64(signing identifier),
    // of the UTF-8 bytes (ill-formed bytes are replaced by U+FFFD first, as the JSON forms do, so
    // that every side derives the same key from the same identity). The team is normalised first.
    std::string key() const;

    // Strict reading of a key: split at the first "."; each part is strict standard Base64 and
    // decodes to well-formed UTF-8. The team is normalised as in make(). An empty signing
    // identifier is returned as it is; whether that is acceptable is the caller's decision.
    static std::optional<CodeIdentity> fromKey(std::string_view key);

    friend bool operator==(const CodeIdentity&, const CodeIdentity&) = default;

    // Ascending by signing identifier, then by team with an absent team taken as "". Both compare
    // byte-wise as unsigned bytes, which for well-formed UTF-8 is the order of Unicode scalar
    // values (case-sensitive, not localised).
    friend bool operator<(const CodeIdentity& lhs, const CodeIdentity& rhs);
};

} // namespace zorvane

template <> struct std::hash<zorvane::CodeIdentity> {
    std::size_t operator()(const zorvane::CodeIdentity& identity) const noexcept;
};
