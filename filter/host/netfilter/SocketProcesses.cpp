#include "filter/host/netfilter/SocketProcesses.h"

#include <algorithm>
#include <charconv>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace {

// Sockets of processes that have closed them stay behind until then.
constexpr std::size_t maximumRemembered = 1 << 16;
constexpr std::size_t maximumRecent = 8;
// Enough for a burst of starts between a process's birth and its first connection.
constexpr std::size_t maximumStarted = 64;

std::optional<std::uint32_t> socketInode(std::string_view link) {
    constexpr std::string_view prefix = "socket:[";
    if (!link.starts_with(prefix) || !link.ends_with(']')) {
        return std::nullopt;
    }
    std::uint32_t inode = 0;
    const char* begin = link.data() + prefix.size();
    const char* end = link.data() + link.size() - 1;
    const auto [next, error] = std::from_chars(begin, end, inode);
    if (error != std::errc() || next != end) {
        return std::nullopt;
    }
    return inode;
}

template <typename Number> std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || next != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

SocketProcesses::SocketProcesses(std::filesystem::path procRoot) : procRoot_(std::move(procRoot)) {}

bool SocketProcesses::holds(const Holder& holder, std::uint32_t inode) const {
    if (holder.descriptor < 0) {
        return false;
    }
    const auto link =
        procRoot_ / std::to_string(holder.pid) / "fd" / std::to_string(holder.descriptor);
    char buffer[64];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    return length > 0 &&
           socketInode(std::string_view(buffer, static_cast<std::size_t>(length))) == inode;
}

SocketProcesses::Sockets SocketProcesses::socketsOf(std::int32_t pid) const {
    Sockets sockets;
    const auto directory = procRoot_ / std::to_string(pid) / "fd";
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) {
        return sockets;
    }
    const int base = ::dirfd(listing);
    while (const dirent* entry = ::readdir(listing)) {
        const auto descriptor = number<int>(entry->d_name);
        if (!descriptor) {
            continue;
        }
        char buffer[64];
        const ssize_t length = ::readlinkat(base, entry->d_name, buffer, sizeof buffer);
        if (length <= 0) {
            continue;
        }
        if (const auto socket =
                socketInode(std::string_view(buffer, static_cast<std::size_t>(length)))) {
            sockets.emplace_back(*socket, *descriptor);
        }
    }
    ::closedir(listing);
    return sockets;
}

void SocketProcesses::remember(std::int32_t pid, int descriptor) {
    const auto it = std::find_if(recent_.begin(), recent_.end(),
                                 [pid](const Recent& recent) { return recent.pid == pid; });
    if (it != recent_.end()) {
        recent_.erase(it);
    }
    recent_.insert(recent_.begin(), Recent{pid, descriptor});
    if (recent_.size() > maximumRecent) {
        recent_.pop_back();
    }
}

std::optional<SocketProcesses::Holder>
SocketProcesses::learn(std::int32_t pid, const Sockets& sockets, std::uint32_t inode) {
    std::lock_guard guard(lock_);
    if (holders_.size() > maximumRemembered) {
        holders_.clear();
        socketsByPid_.clear();
    }
    std::optional<Holder> found;
    auto& ofPid = socketsByPid_[pid];
    for (const auto& [socket, descriptor] : sockets) {
        auto& holder = holders_[socket];
        if (holder.pid != pid) {
            ofPid.push_back(socket);
        }
        holder = Holder{pid, descriptor};
        if (socket == inode) {
            found = holder;
        }
    }
    if (ofPid.empty()) {
        socketsByPid_.erase(pid);
    }
    if (found) {
        remember(pid, found->descriptor);
    }
    return found;
}

std::vector<std::int32_t> SocketProcesses::processesByUid(std::uint32_t uid) const {
    std::vector<std::int32_t> owned;
    std::vector<std::int32_t> others;
    if (DIR* listing = ::opendir(procRoot_.c_str())) {
        const int base = ::dirfd(listing);
        while (const dirent* entry = ::readdir(listing)) {
            const auto pid = number<std::int32_t>(entry->d_name);
            if (!pid || *pid < 1) {
                continue;
            }
            struct stat status {};
            // The directory belongs to the process's effective uid.
            const bool sameUid =
                ::fstatat(base, entry->d_name, &status, 0) == 0 && status.st_uid == uid;
            (sameUid ? owned : others).push_back(*pid);
        }
        ::closedir(listing);
    }
    // The process that opened a socket we have not seen is most likely a new one.
    std::sort(owned.rbegin(), owned.rend());
    std::sort(others.rbegin(), others.rend());
    owned.insert(owned.end(), others.begin(), others.end());
    return owned;
}

std::optional<std::int32_t> SocketProcesses::processOf(std::uint32_t inode, std::uint32_t uid) {
    std::optional<Holder> known;
    std::vector<Recent> recent;
    std::vector<std::int32_t> started;
    {
        std::lock_guard guard(lock_);
        if (const auto it = holders_.find(inode); it != holders_.end()) {
            known = it->second;
        }
        recent = recent_;
        started = started_;
    }
    if (known) {
        const bool held = holds(*known, inode);
        std::lock_guard guard(lock_);
        if (held) {
            remember(known->pid, known->descriptor);
            return known->pid;
        }
        if (const auto it = holders_.find(inode);
            it != holders_.end() && it->second.pid == known->pid) {
            holders_.erase(it);
        }
    }
    // A known process's new socket usually sits where its last one did: one readlink.
    for (const Recent& candidate : recent) {
        if (holds(Holder{candidate.pid, candidate.lastDescriptor}, inode)) {
            if (const auto found =
                    learn(candidate.pid, {{inode, candidate.lastDescriptor}}, inode)) {
                return found->pid;
            }
        }
    }
    std::vector<std::int32_t> searched;
    const auto search = [&](std::int32_t pid) -> std::optional<Holder> {
        if (std::find(searched.begin(), searched.end(), pid) != searched.end()) {
            return std::nullopt;
        }
        searched.push_back(pid);
        return learn(pid, socketsOf(pid), inode);
    };
    for (const Recent& candidate : recent) {
        if (const auto found = search(candidate.pid)) {
            return found->pid;
        }
    }
    for (const std::int32_t pid : started) {
        if (const auto found = search(pid)) {
            return found->pid;
        }
    }
    for (const std::int32_t pid : processesByUid(uid)) {
        if (const auto found = search(pid)) {
            return found->pid;
        }
    }
    return std::nullopt;
}

void SocketProcesses::started(std::int32_t pid) {
    std::lock_guard guard(lock_);
    started_.insert(started_.begin(), pid);
    if (started_.size() > maximumStarted) {
        started_.pop_back();
    }
}

void SocketProcesses::forget(std::int32_t pid) {
    std::lock_guard guard(lock_);
    if (const auto it = socketsByPid_.find(pid); it != socketsByPid_.end()) {
        for (const std::uint32_t socket : it->second) {
            if (const auto holder = holders_.find(socket);
                holder != holders_.end() && holder->second.pid == pid) {
                holders_.erase(holder);
            }
        }
        socketsByPid_.erase(it);
    }
    std::erase_if(recent_, [pid](const Recent& recent) { return recent.pid == pid; });
    std::erase(started_, pid);
}

void SocketProcesses::forgetAll() {
    std::lock_guard guard(lock_);
    holders_.clear();
    socketsByPid_.clear();
    recent_.clear();
    started_.clear();
}

} // namespace zorvane
