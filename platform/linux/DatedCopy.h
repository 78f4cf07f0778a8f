#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zorvane {

// Names for copies kept so that a person can bring something back: "<stem>.<tag>-<UTC time>
// <extension>" in a directory, with a number added when a copy of the same second is there
// already, so that no copy is ever written over by another.
class DatedCopy {
public:
    // A name in the directory that nothing has yet; nothing when a hundred of the same second
    // exist.
    static std::optional<std::filesystem::path> freeName(const std::filesystem::path& directory,
                                                         std::string_view stem,
                                                         std::string_view tag,
                                                         std::string_view extension);
};

} // namespace zorvane
