#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zorvane {

// Replaces a whole file so that readers see either the old or the new content, never a mixture,
// and a failure at any point leaves the old file as it was: the bytes go to a temporary file in
// the same directory, which is synced and then renamed over the target; the directory is synced
// last so that the rename survives a crash. Callers that read-modify-write hold their own lock.
class AtomicFile {
public:
    enum class Error { writeFailed, replaceFailed };

    // Empty on success.
    static std::optional<Error> replace(const std::filesystem::path& file, std::string_view bytes);

    // Whether a path is one of the temporary files replace() makes for this file.
    static bool isTemporaryOf(const std::filesystem::path& file,
                              const std::filesystem::path& candidate);

    // Removes what writers killed between creating and renaming their temporary file left
    // behind. Only for callers that hold the file's lock, so no live writer's file is taken.
    static void removeAbandonedTemporaries(const std::filesystem::path& file);
};

} // namespace zorvane
