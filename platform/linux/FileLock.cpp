#include "platform/linux/FileLock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

namespace zorvane {

std::optional<FileLock> FileLock::acquire(const std::filesystem::path& path, Wait wait) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0) {
        return std::nullopt;
    }
    const int operation = LOCK_EX | (wait == Wait::failIfHeld ? LOCK_NB : 0);
    int result = 0;
    do {
        result = ::flock(descriptor, operation);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(descriptor);
        return std::nullopt;
    }
    return FileLock(descriptor);
}

bool FileLock::isHeld(const std::filesystem::path& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    const bool held = ::flock(descriptor, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(descriptor); // also drops the shared lock if we got it
    return held;
}

bool FileLock::replaceContents(std::string_view text) {
    if (descriptor_ < 0 || ::ftruncate(descriptor_, 0) != 0) {
        return false;
    }
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t result = ::pwrite(descriptor_, text.data() + written, text.size() - written,
                                        static_cast<off_t>(written));
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

FileLock::FileLock(FileLock&& other) noexcept : descriptor_(std::exchange(other.descriptor_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

FileLock::~FileLock() {
    release();
}

void FileLock::release() {
    if (descriptor_ >= 0) {
        ::close(descriptor_); // closing the last descriptor of the open file releases the lock
        descriptor_ = -1;
    }
}

} // namespace zorvane
