#pragma once

#include "platform/Preferences.h"

#include <filesystem>
#include <map>
#include <mutex>

namespace zorvane {

// Preferences kept as an XML property list in one file. Saving writes a temporary file next to
// it and renames it over the old one, so a crash while saving leaves the previous file intact;
// a lock file beside it keeps the read-merge-write of two processes from interleaving. A file
// that is missing or not a dictionary property list reads as empty.
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

    const std::filesystem::path& file() const { return file_; }

    // $ZORVANE_PREFERENCES, else $XDG_CONFIG_HOME/zorvane/dev.quillmoor.Zorvane.plist with
    // XDG_CONFIG_HOME defaulting to ~/.config.
    static std::filesystem::path defaultFile();

private:
    PlistDictionary readStored() const;

    const std::filesystem::path file_;
    mutable std::mutex mutex_;
    PlistDictionary values_;
    // Keys written since the last successful save; an empty optional marks a removal.
    std::map<std::string, std::optional<PlistValue>> pending_;
};

} // namespace zorvane
