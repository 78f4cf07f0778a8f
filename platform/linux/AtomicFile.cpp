#include "platform/linux/AtomicFile.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zorvane {
namespace {

bool writeAll(int descriptor, std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t result = ::write(descriptor, bytes.data() + written, bytes.size() - written);
        if (result < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(result);
    }
    return true;
}

// "." + name + "." + the six characters mkostemp fills in.
constexpr std::size_t uniqueSuffixLength = 6;

std::string temporaryPrefix(const std::filesystem::path& file) {
    return "." + file.filename().string() + ".";
}

void syncDirectory(const std::filesystem::path& directory) {
    const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

} // namespace

std::optional<AtomicFile::Error> AtomicFile::replace(const std::filesystem::path& file,
                                                     std::string_view bytes) {
    const auto directory = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::string temporary = (directory / (temporaryPrefix(file) + "XXXXXX")).string();
    const int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (descriptor < 0) {
        return Error::writeFailed;
    }
    const bool written = writeAll(descriptor, bytes) && ::fsync(descriptor) == 0;
    const bool closed = ::close(descriptor) == 0;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        return Error::writeFailed;
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return Error::replaceFailed;
    }
    syncDirectory(directory);
    return std::nullopt;
}

bool AtomicFile::isTemporaryOf(const std::filesystem::path& file,
                               const std::filesystem::path& candidate) {
    const std::string name = candidate.filename().string();
    const std::string prefix = temporaryPrefix(file);
    return candidate.parent_path() == file.parent_path() &&
           name.size() == prefix.size() + uniqueSuffixLength && name.starts_with(prefix);
}

void AtomicFile::removeAbandonedTemporaries(const std::filesystem::path& file) {
    const auto directory = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    std::error_code error;
    std::filesystem::directory_iterator entries(directory, error);
    // Incremented by hand: the range form throws when the directory changes under it.
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        if (isTemporaryOf(file, entries->path())) {
            std::error_code ignored;
            std::filesystem::remove(entries->path(), ignored);
        }
    }
}

} // namespace zorvane
