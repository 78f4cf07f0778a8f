#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvane {

// zorvane-system inspect [--icon] PATH: what inspection makes of a bundle, printed as the
// block-list entry's JSON form (the icon only with --icon), or the inspection error.
class InspectCommand {
public:
    static const char* const usage;

    // Exit status: 0, 1 when inspection fails, 2 for wrong arguments. The system directory is
    // not used: inspection reads only the bundle.
    static int run(const std::vector<std::string>& arguments,
                   const std::filesystem::path& systemDirectory, std::FILE* out, std::FILE* err);
};

} // namespace zorvane
