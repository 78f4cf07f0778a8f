#pragma once

#include "platform/FilterConfiguration.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

namespace zorvane {

// The Linux home of the saved filter configuration: "filter-configuration.plist" (XML property
// list) in the system directory. Writers replace it atomically under a lock file, so a reader
// sees either the old or the new configuration, never a mixture.
//
// Shape accepted when reading (anything else counts as no configuration at all, never as a
// partial one, because a half-understood rule set is worse than a clearly absent one):
// - the root is a dictionary;
// - "enabled" (boolean), "localizedDescription" (string) and "providerConfiguration"
//   (dictionary) may each be missing: false, empty and absent respectively;
// - inside "providerConfiguration", "filterSockets" (boolean),
//   "filterDataProviderBundleIdentifier" (string) and "vendorConfiguration" (dictionary) may each
//   be missing: false, empty and absent respectively;
// - a key that is present with another type rejects the whole file;
// - other keys are ignored. The vendor dictionary's content is the provider's business: it reads
//   each key with its own rules for missing and ill-typed values.
class FilterConfigurationFile {
public:
    enum class WriteError {
        directoryUnavailable,
        lockUnavailable,
        writeFailed,
        replaceFailed,
        // The configuration would not read back: larger than the reader takes, or not a
        // configuration once written (a text that is not UTF-8, say).
        unreadable,
    };

    // The reader refuses larger files, and the filter then runs as if nothing were stored.
    static constexpr std::uintmax_t maximumSize = 4 * 1024 * 1024;

    explicit FilterConfigurationFile(std::filesystem::path path);

    // The file of the given system directory (in its approved user's directory, when it has one).
    static FilterConfigurationFile inDirectory(const std::filesystem::path& systemDirectory);

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path lockPath() const;

    // Missing, unreadable, truncated, garbage or wrongly shaped files: empty.
    std::optional<FilterConfiguration> read() const;

    // Replaces the file: temporary file in the same directory, fsync, rename, fsync of the
    // directory, all while holding the lock file. Empty on success. A configuration that the
    // reader would not take back is refused before anything is written, so a save can never
    // turn the filter off by accident.
    std::optional<WriteError> write(const FilterConfiguration& configuration) const;

    // Removes the file under the same lock; removing a missing file succeeds.
    std::optional<WriteError> remove() const;

    static PlistValue toPlist(const FilterConfiguration& configuration);
    static std::optional<FilterConfiguration> fromPlist(const PlistValue& value);
    // The configuration held in the bytes of a file, as read() takes it.
    static std::optional<FilterConfiguration> decode(std::string_view bytes);

    static const char* describe(WriteError error);

private:
    std::filesystem::path path_;
};

} // namespace zorvane
