#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zorvane {

// Finds the process (thread group) that holds a socket, by its inode, in the descriptor tables
// under /proc. Every socket seen while looking is remembered with its process and descriptor, so
// that a process's next connections are found without a scan; a remembered holder is checked
// before it is believed, so that a reused descriptor or pid cannot misattribute.
// Safe to call from several threads; no lock is held while /proc is read, so a long search for a
// new process never holds up the lookup of a known one.
class SocketProcesses {
public:
    explicit SocketProcesses(std::filesystem::path procRoot = "/proc");

    // The pid holding the socket; none when no process holds it (any more). Searched in order:
    // the processes that connected last (first the descriptor each used last), those that
    // started last, then the processes of the socket's uid, newest first, then the rest.
    std::optional<std::int32_t> processOf(std::uint32_t inode, std::uint32_t uid);

    // A process was started: the likeliest holder of a socket nobody has seen yet.
    void started(std::int32_t pid);
    // The process ran another program or ended: nothing remembered of it holds any more.
    void forget(std::int32_t pid);
    void forgetAll();

private:
    struct Holder {
        std::int32_t pid = 0;
        int descriptor = -1;
    };
    struct Recent {
        std::int32_t pid = 0;
        int lastDescriptor = -1; // where its last new socket was found
    };
    using Sockets = std::vector<std::pair<std::uint32_t, int>>; // inode, descriptor

    bool holds(const Holder& holder, std::uint32_t inode) const;
    // One process's sockets and their descriptors (empty when it is gone).
    Sockets socketsOf(std::int32_t pid) const;
    // Remembers what a search found; the inode's holder when it was among them.
    std::optional<Holder> learn(std::int32_t pid, const Sockets& sockets, std::uint32_t inode);
    void remember(std::int32_t pid, int descriptor);
    std::vector<std::int32_t> processesByUid(std::uint32_t uid) const;

    std::filesystem::path procRoot_;
    std::mutex lock_;
    std::unordered_map<std::uint32_t, Holder> holders_;
    std::unordered_map<std::int32_t, std::vector<std::uint32_t>> socketsByPid_;
    // The processes whose sockets were found last, newest first: a program that connects once
    // usually connects again, with a socket no scan has seen yet, most often on the descriptor
    // its last one had (the lowest free one).
    std::vector<Recent> recent_;
    // Processes started lately, newest first (known only from process events).
    std::vector<std::int32_t> started_;
};

} // namespace zorvane
