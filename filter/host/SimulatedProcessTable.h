#pragma once

#include "platform/AuditToken.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace zorvane {

// The processes that flow requests name by executable path only: each path is one simulated
// process, with an audit token that stays the same for the life of the table (the host), so the
// provider's identity cache treats repeated flows of it as one process.
//
// Tokens keep the macOS layout. Their pid words start above the largest pid_max Linux allows
// (2^22), so a simulated process never collides with a real one; the generation word is fixed
// per table, and the id words carry the host's own user and group.
class SimulatedProcessTable {
public:
    static constexpr std::int32_t firstPid = 0x40000000;
    static constexpr std::size_t defaultCapacity = 65536;

    explicit SimulatedProcessTable(std::size_t capacity = defaultCapacity);

    // The token of the process running that executable, created on first use. Empty when the
    // table is full: a client inventing endless paths cannot grow the host without bound.
    std::optional<AuditToken> tokenFor(const std::string& executablePath);

    // The executable of a simulated token (every word must match); empty for any other token.
    std::optional<std::string> executableFor(const AuditToken& token) const;
    // The executable of a simulated pid; empty for any other pid.
    std::optional<std::string> executableForPid(std::int32_t pid) const;

    static bool isSimulatedPid(std::int32_t pid) { return pid >= firstPid; }

    std::size_t size() const;

private:
    AuditToken makeToken(std::int32_t pid) const;

    const std::size_t capacity_;
    const std::uint32_t generation_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::int32_t> pidsByPath_;
    std::map<std::int32_t, std::string> pathsByPid_;
};

} // namespace zorvane
