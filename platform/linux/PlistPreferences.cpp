#include "PlistPreferences.h"

#include "platform/linux/LockedFile.h"
#include "platform/linux/XdgDirectories.h"
#include "shared/PlistCodec.h"
#include "zorvane/BuildInfo.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {
namespace {

PlistDictionary parseStored(const std::optional<std::string>& bytes) {
    auto stored = bytes ? PlistCodec::read(*bytes) : std::nullopt;
    if (!stored || !stored->isDictionary()) {
        return {};
    }
    return *stored->dictionary();
}

} // namespace

PlistPreferences::PlistPreferences(std::filesystem::path file) : file_(std::move(file)) {
    values_ = readStored();
}

PlistPreferences::~PlistPreferences() {
    bool hasPending = false;
    {
        std::lock_guard lock(mutex_);
        hasPending = !pending_.empty();
    }
    if (hasPending) {
        synchronize();
    }
}

std::optional<PlistValue> PlistPreferences::value(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end()) {
        return std::nullopt;
    }
    return it->second;
}

void PlistPreferences::setValue(const std::string& key, PlistValue value) {
    std::lock_guard lock(mutex_);
    values_.insert_or_assign(key, value);
    pending_.insert_or_assign(key, std::move(value));
}

void PlistPreferences::removeValue(const std::string& key) {
    std::lock_guard lock(mutex_);
    values_.erase(key);
    pending_.insert_or_assign(key, std::nullopt);
}

bool PlistPreferences::synchronize() {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) {
        values_ = readStored();
        return true;
    }
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    // The lock beside the file makes one read-merge-write a single step for the other process,
    // so two processes saving at once each keep the other's keys.
    const auto locked = LockedFile::open(file_);
    PlistDictionary merged = locked ? parseStored(locked->read()) : readStored();
    for (const auto& [key, change] : pending_) {
        if (change) {
            merged.insert_or_assign(key, *change);
        } else {
            merged.erase(key);
        }
    }
    const std::string bytes = PlistCodec::toXml(PlistValue(merged));
    const bool saved = locked && !bytes.empty() && locked->replace(bytes);
    if (saved) {
        pending_.clear();
    }
    // Unsaved changes stay pending for the next call; our view includes them either way.
    values_ = std::move(merged);
    return saved;
}

PlistDictionary PlistPreferences::readStored() const {
    auto stored = PlistCodec::readFile(file_);
    if (!stored || !stored->isDictionary()) {
        return {};
    }
    return *stored->dictionary();
}

std::filesystem::path PlistPreferences::defaultFile() {
    if (const char* explicitFile = std::getenv("ZORVANE_PREFERENCES");
        explicitFile && *explicitFile) {
        return explicitFile;
    }
    const std::filesystem::path config =
        XdgDirectories::configHome().value_or(std::filesystem::temp_directory_path());
    return config / "zorvane" / (std::string(build_info::bundleIdentifier) + ".plist");
}

std::shared_ptr<Preferences> Preferences::standard() {
    static const std::shared_ptr<Preferences> preferences =
        std::make_shared<PlistPreferences>(PlistPreferences::defaultFile());
    return preferences;
}

} // namespace zorvane
