#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace zorvane {

// zorvane-system approve: the user's "Allow" for a system extension that waits for approval.
// Records the approval in extension.plist; the application that asked notices and finishes its
// request (and starts the filter host). Installed from the package, it is an administrator's
// approval of the filter service instead.
class ApproveCommand {
public:
    static const char* const usage;

    // Exit status: 0, 1 when the named extension is unknown or the state cannot be written,
    // 2 for wrong arguments.
    static int run(const std::vector<std::string>& arguments,
                   const std::filesystem::path& systemDirectory, std::FILE* out, std::FILE* err);

    // The installed program's approval (run() turns into it there): as root, SystemApproval
    // for the desktop user who asked through pkexec or sudo (or --user NAME), then the filter
    // service enabled and started; as anyone else, the same through pkexec.
    static int runAsAdministrator(const std::vector<std::string>& arguments,
                                  const std::filesystem::path& systemDirectory, std::FILE* out,
                                  std::FILE* err);
};

} // namespace zorvane
