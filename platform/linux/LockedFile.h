#pragma once

#include "platform/linux/FileLock.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// A file that several threads and processes read, merge into and replace. Each access holds an
// exclusive lock on "<file>.lock" beside it for as long as the object lives, so a whole
// read-merge-write is one step for everyone else; replacing writes a temporary file in the same
// directory, flushes it to disk and renames it over the old one, so that a reader, or a crash at
// any moment, sees either the old content or the new one and never a mixture.
class LockedFile {
public:
    // A file larger than this is not ours to parse; it reads as unreadable.
    static constexpr std::size_t maximumBytes = 64 * 1024 * 1024;

    // Waits for the lock. Empty when the lock file cannot be opened (the directory is missing or
    // not writable).
    static std::optional<LockedFile> open(std::filesystem::path file);

    // The whole content; empty when the file is missing, unreadable or too large.
    std::optional<std::string> read() const;

    // Replaces the content atomically and durably. False (and the old content kept) on failure.
    bool replace(std::string_view bytes) const;

    const std::filesystem::path& path() const { return file_; }

private:
    LockedFile(FileLock lock, std::filesystem::path file)
        : lock_(std::move(lock)), file_(std::move(file)) {}

    // Temporary files left by a writer that died before its rename; only a lock holder may
    // remove them, since only a lock holder writes them.
    void removeAbandonedTemporaries() const;

    FileLock lock_;
    std::filesystem::path file_;
};

} // namespace zorvane
