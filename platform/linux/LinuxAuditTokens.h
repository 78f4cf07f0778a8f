#pragma once

#include "platform/AuditToken.h"

#include <filesystem>
#include <optional>

namespace zorvane {

// Audit tokens of real Linux processes, in the macOS layout: word 0 the audit (login) user,
// words 1-4 effective uid, effective gid, real uid, real gid, word 5 the pid, word 6 the audit
// session, word 7 the low 32 bits of the start time in clock ticks (the generation).
class LinuxAuditTokens {
public:
    // Empty when the process does not exist or its procfs entries cannot be read.
    static std::optional<AuditToken> tokenForPid(std::int32_t pid,
                                                 const std::filesystem::path& procRoot = "/proc");
};

} // namespace zorvane
