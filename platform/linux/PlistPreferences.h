#pragma once

#include "platform/Preferences.h"

#include <filesystem>
#include <map>
#include <mutex>

namespace zorvane {

// Preferences kept as an XML property list in one file. Saving writes a temporary file next to
// it and renames it over the old one, so a crash while saving leaves the previous file intact;
// a lock file beside it keeps the read-merge-write of two processes from interleaving. A missing
// file reads as empty. A file that is there but cannot be read, or is not a dictionary property
// list, is never written over: it is renamed to "<name>.unreadable-<UTC time>.plist" beside it,
// and the new file holds what this process last knew, its own changes, and the copy's path
// under unreadableFileKeptAsKey.
class PlistPreferences final : public Preferences {
public:
    explicit PlistPreferences(std::filesystem::path file);
    // Writes what is still pending, so that a value set shortly before exit is not lost.
    ~PlistPreferences() override;

    PlistPreferences(const PlistPreferences&) = delete;
    PlistPreferences& operator=(const PlistPreferences&) = delete;

    std::optional<PlistValue> value(const std::string& key) const override;
    void setValue(const std::string& key, PlistValue value) override;
    void removeValue(const std::string& key) override;
    bool synchronize() override;
    bool takeSaveFailure() override;

    const std::filesystem::path& file() const { return file_; }

    // $ZORVANE_PREFERENCES, else $XDG_CONFIG_HOME/zorvane/dev.quillmoor.Zorvane.plist with
    // XDG_CONFIG_HOME defaulting to ~/.config.
    static std::filesystem::path defaultFile();

private:
    // The stored dictionary when the file reads as one or is missing (empty); nothing when the
    // file is there but unreadable. Without the lock: a replaced file is renamed into place
    // whole, so this never sees half of one.
    std::optional<PlistDictionary> readStored() const;
    // The read-merge-write under the file lock; mutex_ held.
    bool save();
    bool failedToSave();

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    PlistDictionary values_;
    // Keys written since the last successful save; an empty optional marks a removal.
    std::map<std::string, std::optional<PlistValue>> pending_;
    bool saveFailed_ = false;        // since the last successful save
    bool saveFailureUntold_ = false; // not yet handed out by takeSaveFailure()
};

} // namespace zorvane
