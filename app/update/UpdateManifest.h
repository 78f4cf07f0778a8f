#pragma once

#include "AppUpdate.h"

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zorvane {

// Decoding of the update manifest and the newer-than-running test. Kept free of Qt so that the
// parser of these untrusted bytes can be fuzzed on its own.
class UpdateManifest {
public:
    // Largest manifest body accepted from the network or the cache.
    static constexpr std::size_t maximumSize = 65536;

    // One JSON object with "version" (string), "build" (integer, absent or null), "downloadURL"
    // (string) and "releaseNotes" (string, absent or null); other keys are ignored. Empty for
    // anything else. The download address is not judged here.
    static std::optional<AppUpdate> decode(std::string_view bytes);
    static std::optional<AppUpdate> decode(std::span<const std::uint8_t> bytes);

    // Compares two version texts with runs of digits taken as numbers, so 1.10 follows 1.9.
    static std::strong_ordering compareVersions(std::string_view lhs, std::string_view rhs);

    // A bundle version read as a decimal integer with an optional sign; 0 when absent or not an
    // integer.
    static std::int64_t buildNumber(const std::optional<std::string>& text);

    static bool isNewer(const AppUpdate& update, const RunningVersion& running);

    // "<version>-<build>", the build being 0 when the update has none: what the update
    // notification remembers as already shown.
    static std::string versionKey(const AppUpdate& update);
};

} // namespace zorvane
