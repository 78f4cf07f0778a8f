#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zorvane {

// An advisory lock (flock) on a lock file, held for the object's lifetime. Locks belong to the
// open file, so two FileLock objects conflict even inside one process, and the kernel releases
// the lock when the holder dies, so a crashed holder never leaves a stale lock behind.
class FileLock {
public:
    enum class Wait { block, failIfHeld };

    // Opens (creating when missing) the lock file and takes the exclusive lock. Empty when the
    // file cannot be opened, or when it is held elsewhere and wait is failIfHeld.
    static std::optional<FileLock> acquire(const std::filesystem::path& path, Wait wait);

    // Whether some open file holds the lock right now. Never creates the file.
    static bool isHeld(const std::filesystem::path& path);

    // Replaces what the lock file holds, so that others can read who holds the lock. False
    // when it could not be written completely.
    bool replaceContents(std::string_view text);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

private:
    explicit FileLock(int descriptor) : descriptor_(descriptor) {}
    void release();

    int descriptor_ = -1;
};

} // namespace zorvane
