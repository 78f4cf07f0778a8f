#include "PlistPreferences.h"

#include "platform/linux/DatedCopy.h"
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
#include <utility>

namespace zorvane {
namespace {

std::optional<PlistDictionary> dictionaryOf(const std::optional<PlistValue>& stored) {
    if (!stored || !stored->isDictionary()) {
        return std::nullopt;
    }
    return *stored->dictionary();
}

PlistDictionary applying(const std::map<std::string, std::optional<PlistValue>>& changes,
                         PlistDictionary values) {
    for (const auto& [key, change] : changes) {
        if (change) {
            values.insert_or_assign(key, *change);
        } else {
            values.erase(key);
        }
    }
    return values;
}

bool isThere(const std::filesystem::path& file) {
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(file, error));
}

std::optional<std::filesystem::path> moveAside(const std::filesystem::path& file) {
    const auto copy = DatedCopy::freeName(file.parent_path(), file.stem().string(), "unreadable",
                                          file.extension().string());
    if (!copy) {
        return std::nullopt;
    }
    std::error_code error;
    std::filesystem::rename(file, *copy, error);
    if (error) {
        return std::nullopt;
    }
    return copy;
}

} // namespace

PlistPreferences::PlistPreferences(std::filesystem::path file) : file_(std::move(file)) {
    std::lock_guard lock(mutex_);
    if (auto stored = readStored()) {
        values_ = std::move(*stored);
    } else {
        // Kept aside now rather than at the first write, so that whoever reads next learns it.
        save();
    }
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
        if (auto stored = readStored()) {
            values_ = std::move(*stored);
            return true;
        }
        // An unreadable file never empties what this process knows; it is replaced by it.
    }
    return save();
}

bool PlistPreferences::takeSaveFailure() {
    std::lock_guard lock(mutex_);
    return std::exchange(saveFailureUntold_, false);
}

bool PlistPreferences::save() {
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    // The lock beside the file makes one read-merge-write a single step for the other process,
    // so two processes saving at once each keep the other's keys.
    const auto locked = LockedFile::open(file_);
    if (!locked) {
        if (auto stored = readStored()) {
            values_ = applying(pending_, std::move(*stored));
        }
        return failedToSave();
    }
    const auto bytes = locked->read();
    auto stored = dictionaryOf(bytes ? PlistCodec::read(*bytes) : std::nullopt);
    if (!stored && !isThere(file_)) {
        stored = PlistDictionary{};
    }
    PlistDictionary merged;
    if (stored) {
        merged = applying(pending_, std::move(*stored));
    } else {
        // Whatever is in it may be someone's settings: it is kept, and what this process last
        // read, with its own changes, is the best there is for the new file.
        const auto copy = moveAside(file_);
        if (!copy) {
            return failedToSave();
        }
        merged = values_;
        merged.insert_or_assign(unreadableFileKeptAsKey, PlistValue(copy->string()));
    }
    const std::string text = PlistCodec::toXml(PlistValue(merged));
    // Our view includes the changes either way; unsaved ones stay pending for the next call.
    values_ = std::move(merged);
    if (text.empty() || !locked->replace(text)) {
        return failedToSave();
    }
    pending_.clear();
    saveFailed_ = false;
    return true;
}

bool PlistPreferences::failedToSave() {
    if (!saveFailed_) {
        saveFailed_ = true;
        saveFailureUntold_ = true;
    }
    return false;
}

std::optional<PlistDictionary> PlistPreferences::readStored() const {
    if (auto stored = dictionaryOf(PlistCodec::readFile(file_))) {
        return stored;
    }
    if (isThere(file_)) {
        return std::nullopt;
    }
    return PlistDictionary{};
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
