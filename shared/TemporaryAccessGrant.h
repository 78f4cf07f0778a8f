#pragma once

#include "Date.h"
#include "Uuid.h"

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// A temporary allowance for one blocked application.
struct TemporaryAccessGrant {
    enum class Mode { timed, untilQuit };

    Uuid applicationID;
    std::string applicationName;
    std::string applicationBundleIdentifier;
    std::vector<std::string> codeIdentityKeys;
    std::string applicationPath;
    Date expiresAt;
    Mode mode = Mode::timed;

    // The mode's stored text: its case name.
    static std::string_view modeText(Mode mode);
    static std::optional<Mode> modeFromText(std::string_view text);

    friend bool operator==(const TemporaryAccessGrant&, const TemporaryAccessGrant&) = default;
};

} // namespace zorvane

template <> struct std::hash<zorvane::TemporaryAccessGrant> {
    std::size_t operator()(const zorvane::TemporaryAccessGrant& grant) const noexcept;
};
