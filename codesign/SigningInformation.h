#pragma once

#include "shared/PlistValue.h"

#include <optional>
#include <string>

namespace zorvane {

// What a code signature says about the code it signs: the facts the block list and the filter
// key their decisions on. Nothing here is validated against the code's hashes; an ad-hoc
// signature counts like any other.
struct SigningInformation {
    // The CodeDirectory's identifier (for applications usually the bundle identifier).
    std::string identifier;
    // The CodeDirectory's team identifier, raw (not trimmed). Present only when the
    // CodeDirectory is new enough to carry one (version 0x20200 or later) and names one.
    std::optional<std::string> teamIdentifier;
    // The XML entitlements blob, when the signature has one and it holds a dictionary.
    std::optional<PlistDictionary> entitlements;

    friend bool operator==(const SigningInformation&, const SigningInformation&) = default;
};

} // namespace zorvane
