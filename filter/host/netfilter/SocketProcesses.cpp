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
    const auto link =
        procRoot_ / std::to_string(holder.pid) / "fd" / std::to_string(holder.descriptor);
    char buffer[64];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    return length > 0 &&
           socketInode(std::string_view(buffer, static_cast<std::size_t>(length))) == inode;
}

bool SocketProcesses::index(std::int32_t pid, std::uint32_t inode) {
    const auto directory = procRoot_ / std::to_string(pid) / "fd";
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) {
        return false;
    }
    bool found = false;
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
            holders_[*socket] = Holder{pid, *descriptor};
            found = found || *socket == inode;
        }
    }
    ::closedir(listing);
    return found;
}

void SocketProcesses::rememberRecent(std::int32_t pid) {
    const auto it = std::find(recent_.begin(), recent_.end(), pid);
    if (it != recent_.end()) {
        recent_.erase(it);
    }
    recent_.insert(recent_.begin(), pid);
    if (recent_.size() > maximumRecent) {
        recent_.pop_back();
    }
}

std::optional<std::int32_t> SocketProcesses::processOf(std::uint32_t inode, std::uint32_t uid) {
    std::lock_guard guard(lock_);
    if (const auto it = holders_.find(inode); it != holders_.end()) {
        if (holds(it->second, inode)) {
            rememberRecent(it->second.pid);
            return it->second.pid;
        }
        holders_.erase(it);
    }
    if (holders_.size() > maximumRemembered) {
        holders_.clear();
    }
    const auto recent = recent_;
    for (const std::int32_t pid : recent) {
        if (index(pid, inode)) {
            rememberRecent(pid);
            return pid;
        }
    }

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
    for (auto* group : {&owned, &others}) {
        std::sort(group->rbegin(), group->rend());
        for (const std::int32_t pid : *group) {
            if (std::find(recent.begin(), recent.end(), pid) == recent.end() && index(pid, inode)) {
                rememberRecent(pid);
                return pid;
            }
        }
    }
    return std::nullopt;
}

} // namespace zorvane
