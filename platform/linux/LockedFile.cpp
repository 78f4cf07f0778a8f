#include "platform/linux/LockedFile.h"

#include "platform/linux/AtomicFile.h"
#include "shared/UntrustedFile.h"

#include <system_error>

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
    return UntrustedFile::read(file_, maximumBytes).bytes;
}

bool LockedFile::replace(std::string_view bytes) const {
    return !AtomicFile::replace(file_, bytes).has_value();
}

void LockedFile::removeAbandonedTemporaries() const {
    AtomicFile::removeAbandonedTemporaries(file_);
}

} // namespace zorvane
