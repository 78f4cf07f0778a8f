#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zorvane {

// One published release, as the update manifest describes it.
struct AppUpdate {
    std::string version;               // marketing version, compared numerically
    std::optional<std::int64_t> build; // compared when the versions are equal
    std::string downloadURL;           // absolute URL, validated before use
    std::optional<std::string> releaseNotes;

    friend bool operator==(const AppUpdate&, const AppUpdate&) = default;
};

// The versions of the running program, as its bundle's information dictionary holds them
// ("CFBundleShortVersionString", "CFBundleVersion"); either may be missing.
struct RunningVersion {
    std::optional<std::string> shortVersion;
    std::optional<std::string> build;
};

} // namespace zorvane
