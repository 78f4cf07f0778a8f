#include "filter/host/SimulatedProcessTable.h"

#include <algorithm>
#include <chrono>
#include <unistd.h>

namespace zorvane {

SimulatedProcessTable::SimulatedProcessTable(std::size_t capacity)
    // Simulated pids must stay positive 32-bit numbers.
    : capacity_(std::min<std::size_t>(capacity, 0x7fffffff - firstPid)),
      // Differs between host runs, so a token kept by a client across a restart of the host
      // does not silently name another executable.
      generation_(
          static_cast<std::uint32_t>(std::chrono::system_clock::now().time_since_epoch().count()) |
          1u) {}

AuditToken SimulatedProcessTable::makeToken(std::int32_t pid) const {
    AuditToken token;
    const auto uid = static_cast<std::uint32_t>(::getuid());
    const auto gid = static_cast<std::uint32_t>(::getgid());
    token.words[0] = uid; // audit user
    token.words[1] = uid; // effective user
    token.words[2] = gid; // effective group
    token.words[3] = uid; // real user
    token.words[4] = gid; // real group
    token.words[AuditToken::pidWord] = static_cast<std::uint32_t>(pid);
    token.words[6] = 0; // audit session
    token.words[AuditToken::generationWord] = generation_;
    return token;
}

std::optional<AuditToken> SimulatedProcessTable::tokenFor(const std::string& executablePath) {
    std::lock_guard lock(mutex_);
    if (auto found = pidsByPath_.find(executablePath); found != pidsByPath_.end()) {
        return makeToken(found->second);
    }
    if (pidsByPath_.size() >= capacity_) {
        return std::nullopt;
    }
    const auto pid = static_cast<std::int32_t>(firstPid + pidsByPath_.size());
    pidsByPath_.emplace(executablePath, pid);
    pathsByPid_.emplace(pid, executablePath);
    return makeToken(pid);
}

std::optional<std::string> SimulatedProcessTable::executableFor(const AuditToken& token) const {
    if (!isSimulatedPid(token.pid()) || token != makeToken(token.pid())) {
        return std::nullopt;
    }
    return executableForPid(token.pid());
}

std::optional<std::string> SimulatedProcessTable::executableForPid(std::int32_t pid) const {
    if (!isSimulatedPid(pid)) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    auto found = pathsByPid_.find(pid);
    if (found == pathsByPid_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::size_t SimulatedProcessTable::size() const {
    std::lock_guard lock(mutex_);
    return pidsByPath_.size();
}

} // namespace zorvane
