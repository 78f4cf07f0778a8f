#include "PlistPreferences.h"

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

// Holds an advisory lock on a file beside the preferences for the duration of one
// read-merge-write, so that two processes saving at once each keep the other's keys.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::close(fd_); // closing releases the lock
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::filesystem::path lockFileFor(const std::filesystem::path& file) {
    auto lock = file;
    lock += ".lock";
    return lock;
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
    FileLock fileLock(lockFileFor(file_));
    PlistDictionary merged = readStored();
    for (const auto& [key, change] : pending_) {
        if (change) {
            merged.insert_or_assign(key, *change);
        } else {
            merged.erase(key);
        }
    }
    const bool saved = writeStored(merged);
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

bool PlistPreferences::writeStored(const PlistDictionary& values) const {
    const std::string bytes = PlistCodec::toXml(PlistValue(values));
    if (bytes.empty()) {
        return false;
    }
    std::string pattern = file_.string() + ".XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = writeAll(fd, bytes) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(pattern.c_str(), file_.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return false;
    }
    // Make the rename itself durable.
    const int dir = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

std::filesystem::path PlistPreferences::defaultFile() {
    if (const char* explicitFile = std::getenv("ZORVANE_PREFERENCES");
        explicitFile && *explicitFile) {
        return explicitFile;
    }
    std::filesystem::path config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
        config = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        config = std::filesystem::path(home) / ".config";
    } else {
        config = std::filesystem::temp_directory_path();
    }
    return config / "zorvane" / (std::string(build_info::bundleIdentifier) + ".plist");
}

std::shared_ptr<Preferences> Preferences::standard() {
    static const std::shared_ptr<Preferences> preferences =
        std::make_shared<PlistPreferences>(PlistPreferences::defaultFile());
    return preferences;
}

} // namespace zorvane
