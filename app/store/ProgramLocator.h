#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zorvane {

// Finds the file that a command runs, the way the kernel would reach it, and names it by its
// canonical path: the name under which the filter sees the running program. The links on the
// way are followed one at a time rather than by realpath, so that a loop ends after a bounded
// number of steps and a path that passes through /proc (where /proc/self/exe would be our own
// executable) is refused instead of followed.
class ProgramLocator {
public:
    static constexpr int maximumLinks = 40; // as the kernel's own limit

    enum class Failure { notFound, notExecutable, linkLoop, intoProc };

    struct Located {
        std::optional<std::filesystem::path> program; // canonical, a regular executable file
        std::optional<Failure> failure;               // set exactly when program is not
    };

    // A command with a slash must be an absolute path; one without is looked up in the
    // directories of `searchPath` (colon separated), in order.
    static Located find(std::string_view command, std::string_view searchPath);

    // The canonical form of an absolute path, checked to be a regular file that may be run.
    static Located canonicalProgram(const std::filesystem::path& absolute);
};

} // namespace zorvane
