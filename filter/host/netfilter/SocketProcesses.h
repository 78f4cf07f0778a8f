#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace zorvane {

// Finds the process (thread group) that holds a socket, by its inode, in the descriptor tables
// under /proc. Every socket seen while looking is remembered with its process and descriptor, so
// that a process's next connections are found without a scan; a remembered holder is checked
// before it is believed, so that a reused descriptor or pid cannot misattribute.
// Safe to call from several threads.
class SocketProcesses {
public:
    explicit SocketProcesses(std::filesystem::path procRoot = "/proc");

    // The pid holding the socket; none when no process holds it (any more). Processes of the
    // socket's uid are searched first, newest first.
    std::optional<std::int32_t> processOf(std::uint32_t inode, std::uint32_t uid);

private:
    struct Holder {
        std::int32_t pid = 0;
        int descriptor = -1;
    };

    bool holds(const Holder& holder, std::uint32_t inode) const;
    // Reads one process's descriptors into the cache; true when the inode was among them.
    bool index(std::int32_t pid, std::uint32_t inode);
    void rememberRecent(std::int32_t pid);

    std::filesystem::path procRoot_;
    std::mutex lock_;
    std::unordered_map<std::uint32_t, Holder> holders_;
    // The processes whose sockets were found last, newest first: a program that connects once
    // usually connects again, with a socket no scan has seen yet.
    std::vector<std::int32_t> recent_;
};

} // namespace zorvane
