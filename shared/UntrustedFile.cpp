#include "UntrustedFile.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zorvane {

std::string_view UntrustedFile::describe(Error error) {
    switch (error) {
    case Error::cannotOpen:
        return "cannot be opened";
    case Error::notRegularFile:
        return "not a regular file";
    case Error::tooLarge:
        return "larger than allowed";
    case Error::readFailed:
        return "could not be read";
    }
    return "could not be read";
}

UntrustedFile::UntrustedFile(int descriptor, std::uint64_t size)
    : descriptor_(descriptor), size_(size) {}

UntrustedFile::UntrustedFile(UntrustedFile&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)), size_(other.size_), owner_(other.owner_) {}

UntrustedFile& UntrustedFile::operator=(UntrustedFile&& other) noexcept {
    if (this != &other) {
        if (descriptor_ >= 0) {
            ::close(descriptor_);
        }
        descriptor_ = std::exchange(other.descriptor_, -1);
        size_ = other.size_;
        owner_ = other.owner_;
    }
    return *this;
}

UntrustedFile::~UntrustedFile() {
    if (descriptor_ >= 0) {
        // Errors while closing a file that was only read change nothing for the caller.
        ::close(descriptor_);
    }
}

UntrustedFile::Opening UntrustedFile::open(const std::filesystem::path& path,
                                           std::uint64_t maxBytes) {
    // Without O_NONBLOCK, open() of a FIFO waits until some writer opens it. Regular files
    // ignore the flag, so reads below behave as usual.
    int descriptor = -1;
    do {
        descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        return {std::nullopt, Error::cannotOpen};
    }
    UntrustedFile file(descriptor, 0);
    struct stat status {};
    if (::fstat(descriptor, &status) != 0) {
        return {std::nullopt, Error::readFailed};
    }
    if (!S_ISREG(status.st_mode) || status.st_size < 0) {
        return {std::nullopt, Error::notRegularFile};
    }
    file.size_ = static_cast<std::uint64_t>(status.st_size);
    file.owner_ = static_cast<std::uint32_t>(status.st_uid);
    if (file.size_ > maxBytes) {
        return {std::nullopt, Error::tooLarge};
    }
    return {std::move(file), std::nullopt};
}

UntrustedFile::Reading UntrustedFile::read(const std::filesystem::path& path,
                                           std::uint64_t maxBytes) {
    auto opening = open(path, maxBytes);
    if (!opening.file) {
        return {std::nullopt, opening.error};
    }
    return opening.file->readAll(maxBytes);
}

std::optional<std::size_t> UntrustedFile::readAt(std::uint64_t offset,
                                                 std::span<std::uint8_t> out) const {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::nullopt;
    }
    std::size_t done = 0;
    while (done < out.size()) {
        const auto at = offset + done;
        if (at > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            break;
        }
        const ssize_t n =
            ::pread(descriptor_, out.data() + done, out.size() - done, static_cast<off_t>(at));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break; // the end of the file, which may have shrunk since it was opened
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

UntrustedFile::Reading UntrustedFile::readAll(std::uint64_t maxBytes) const {
    // The size from fstat is only a first guess: the owner of the file may append to it (or cut
    // it) while it is read, so the end is where reading ends, and the cap holds throughout.
    constexpr std::uint64_t chunk = 64 * 1024;
    std::string bytes;
    bytes.resize(static_cast<std::size_t>(std::min(size_, maxBytes)));
    std::uint64_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) {
            if (filled > maxBytes) {
                return {std::nullopt, Error::tooLarge};
            }
            // One byte past the cap is enough to tell that the file has grown beyond it.
            const std::uint64_t left = maxBytes - filled;
            const std::uint64_t room = left < chunk ? left + 1 : chunk;
            bytes.resize(static_cast<std::size_t>(filled + room));
        }
        const auto n =
            readAt(filled, std::span(reinterpret_cast<std::uint8_t*>(bytes.data()) + filled,
                                     bytes.size() - static_cast<std::size_t>(filled)));
        if (!n) {
            return {std::nullopt, Error::readFailed};
        }
        if (*n == 0) {
            break;
        }
        filled += *n;
    }
    if (filled > maxBytes) {
        return {std::nullopt, Error::tooLarge};
    }
    bytes.resize(static_cast<std::size_t>(filled));
    return {std::move(bytes), std::nullopt};
}

} // namespace zorvane
