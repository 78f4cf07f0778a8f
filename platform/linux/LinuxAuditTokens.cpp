#include "platform/linux/LinuxAuditTokens.h"

#include "platform/linux/LinuxProcFiles.h"

namespace zorvane {

std::optional<AuditToken> LinuxAuditTokens::tokenForPid(std::int32_t pid,
                                                        const std::filesystem::path& procRoot) {
    const auto startTime = LinuxProcFiles::startTime(procRoot, pid);
    const auto ids = LinuxProcFiles::ids(procRoot, pid);
    if (!startTime || !ids) {
        return std::nullopt;
    }
    AuditToken token;
    // Like macOS's AU_DEFAUDITID when the kernel keeps no login user.
    token.words[0] = LinuxProcFiles::numberFile(procRoot, pid, "loginuid").value_or(0xFFFFFFFFu);
    token.words[1] = ids->effectiveUid;
    token.words[2] = ids->effectiveGid;
    token.words[3] = ids->realUid;
    token.words[4] = ids->realGid;
    token.words[AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
    token.words[6] = LinuxProcFiles::numberFile(procRoot, pid, "sessionid").value_or(0);
    token.words[AuditToken::generationWord] = static_cast<std::uint32_t>(*startTime);
    return token;
}

} // namespace zorvane
