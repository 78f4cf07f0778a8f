#include "platform/linux/LockedFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr std::string_view temporaryInfix = ".tmp-";

bool writeAll(int descriptor, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

} // namespace

std::optional<LockedFile> LockedFile::open(std::filesystem::path file) {
    auto lockPath = file;
    lockPath += ".lock";
    auto lock = FileLock::acquire(lockPath, FileLock::Wait::block);
    if (!lock) {
        return std::nullopt;
    }
    LockedFile locked(std::move(*lock), std::move(file));
    locked.removeAbandonedTemporaries();
    return locked;
}

std::optional<std::string> LockedFile::read() const {
    const int descriptor = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    struct stat status {};
    if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode) &&
        static_cast<std::size_t>(status.st_size) <= maximumBytes) {
        std::string bytes(static_cast<std::size_t>(status.st_size), '\0');
        std::size_t filled = 0;
        bool failed = false;
        while (filled < bytes.size()) {
            const ssize_t count = ::read(descriptor, bytes.data() + filled, bytes.size() - filled);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                failed = count < 0;
                break;
            }
            filled += static_cast<std::size_t>(count);
        }
        if (!failed) {
            bytes.resize(filled);
            content = std::move(bytes);
        }
    }
    ::close(descriptor);
    return content;
}

bool LockedFile::replace(std::string_view bytes) const {
    std::string pattern = file_.string();
    pattern += temporaryInfix;
    pattern += "XXXXXX";
    const int descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    ::fchmod(descriptor, 0600);
    const bool written = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    if (!written || !closed || ::rename(pattern.c_str(), file_.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return false;
    }
    // The rename only survives a power loss once the directory itself is on disk.
    const int directory = ::open(file_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory >= 0) {
        ::fsync(directory);
        ::close(directory);
    }
    return true;
}

void LockedFile::removeAbandonedTemporaries() const {
    const std::string prefix = file_.filename().string() + std::string(temporaryInfix);
    std::error_code error;
    std::filesystem::directory_iterator entries(file_.parent_path(), error);
    if (error) {
        return;
    }
    // Incremented by hand: the range form throws when the directory changes under it.
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) {
            std::error_code ignored;
            std::filesystem::remove(entries->path(), ignored);
        }
    }
}

} // namespace zorvane
