#pragma once

#include "platform/linux/FileLock.h"

#include <cstdint>
#include <filesystem>
#include <optional>

namespace zorvane {

// One process of a kind per user: whoever holds the lock file is that process, and the file
// says which process it is and which program it runs. The kernel drops the lock when the holder
// ends, however it ends, so a crashed holder never keeps the place taken.
class InstanceLock {
public:
    struct Holder {
        std::int32_t processIdentifier = 0; // 0: the holder has not described itself yet
        std::filesystem::path executable;
        // The executable's modification time when the holder took the lock, in nanoseconds
        // since 1970: a newer file at the same path is a newer build.
        std::int64_t executableModified = 0;

        friend bool operator==(const Holder&, const Holder&) = default;
    };

    // Takes the lock without waiting (making the folder when missing) and writes this process
    // into the file. The result holds the lock for its lifetime, unless another process holds
    // it (isHeldElsewhere). A file that cannot be made or locked at all counts as claimed: a
    // place that cannot be locked stops no one.
    static InstanceLock claim(const std::filesystem::path& file);
    // Claims nothing: for a process without a place for the lock.
    static InstanceLock unclaimed() { return InstanceLock({}, false); }

    bool isHeldElsewhere() const { return heldElsewhere_; }

    // Who holds the lock now; empty when nobody does.
    static std::optional<Holder> holder(const std::filesystem::path& file);

    // This process as a holder: its pid and the executable it runs, as /proc shows them.
    static Holder self();
    // The modification time of a file in nanoseconds since 1970; 0 when it cannot be read.
    static std::int64_t modificationTime(const std::filesystem::path& file);

    // The window process's lock and the status agent's, in the application group's container
    // that both modes share; empty without a home directory.
    static std::optional<std::filesystem::path> windowProcessFile();
    static std::optional<std::filesystem::path> statusAgentFile();

private:
    InstanceLock(std::optional<FileLock> lock, bool heldElsewhere)
        : lock_(std::move(lock)), heldElsewhere_(heldElsewhere) {}

    std::optional<FileLock> lock_;
    bool heldElsewhere_ = false;
};

} // namespace zorvane
