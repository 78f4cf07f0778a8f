#pragma once

#include "shared/PlistValue.h"

#include <memory>
#include <optional>
#include <string>

namespace zorvane {

// The application's standard preferences: one domain of property-list values shared by the
// window process and the status agent. Reads answer from memory; writes are pending until the
// next synchronize(), which merges them into the stored domain key by key (the later writer of
// a key wins) and picks up what the other process wrote meanwhile. Safe to use from any thread.
class Preferences {
public:
    virtual ~Preferences() = default;

    virtual std::optional<PlistValue> value(const std::string& key) const = 0;
    virtual void setValue(const std::string& key, PlistValue value) = 0;
    virtual void removeValue(const std::string& key) = 0;

    // Re-reads the stored domain and writes the pending changes. False when the changes could
    // not be written; they stay pending and the next call tries again.
    virtual bool synchronize() = 0;

    // Whether changes could not be written since the last call. Each failure to write is told
    // once, so that whoever can tell the person does, instead of changes waiting in silence.
    virtual bool takeSaveFailure() { return false; }

    // Set in the stored domain when a stored file that could not be read was moved aside before
    // a new one was written: the path of the copy. It stays there, for whichever process can tell
    // the person, until that process removes it.
    static constexpr const char* unreadableFileKeptAsKey = "preferencesUnreadableFileKeptAs";

    // The process-wide standard preferences of this platform.
    static std::shared_ptr<Preferences> standard();
};

} // namespace zorvane
