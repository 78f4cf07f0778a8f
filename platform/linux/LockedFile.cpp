#include "platform/linux/LockedFile.h"

#include "platform/linux/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace {} // namespace

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
    return !AtomicFile::replace(file_, bytes).has_value();
}

void LockedFile::removeAbandonedTemporaries() const {
    AtomicFile::removeAbandonedTemporaries(file_);
}

} // namespace zorvane
