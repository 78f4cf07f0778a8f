#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvane {

// zorvane-system status: what the system directory says about the filter: the extension's
// activation state, the saved configuration, summarised as the filter reads it, and whether a
// filter host runs.
class StatusCommand {
public:
    static const char* const usage;

    // Exit status: 0, or 2 for wrong arguments.
    static int run(const std::vector<std::string>& arguments,
                   const std::filesystem::path& systemDirectory, std::FILE* out, std::FILE* err);
};

} // namespace zorvane
