#include "ByteSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zorvane {

ByteSource::ByteSource(int fd, std::uint64_t size, std::span<const std::uint8_t> memory)
    : fd_(fd), size_(size), memory_(memory) {}

ByteSource ByteSource::ofMemory(std::span<const std::uint8_t> bytes) {
    return ByteSource(-1, bytes.size(), bytes);
}

std::optional<ByteSource> ByteSource::openFile(const std::filesystem::path& file) {
    // O_NONBLOCK keeps open() from waiting for a writer when the path is a FIFO; such files
    // are refused just below anyway.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return std::nullopt;
    }
    return ByteSource(fd, static_cast<std::uint64_t>(info.st_size), {});
}

ByteSource::ByteSource(ByteSource&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), memory_(other.memory_),
      bytesRead_(other.bytesRead_) {}

ByteSource& ByteSource::operator=(ByteSource&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        memory_ = other.memory_;
        bytesRead_ = other.bytesRead_;
    }
    return *this;
}

ByteSource::~ByteSource() {
    if (fd_ >= 0) {
        // Errors while closing a file that was only read change nothing for the caller.
        ::close(fd_);
    }
}

std::optional<std::size_t> ByteSource::readSome(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > size_) {
        return std::nullopt;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
    if (fd_ < 0) {
        if (wanted > 0) {
            std::memcpy(out.data(), memory_.data() + offset, wanted);
        }
        bytesRead_ += wanted;
        return wanted;
    }
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::nullopt;
    }
    std::size_t done = 0;
    while (done < wanted) {
        const ssize_t n =
            ::pread(fd_, out.data() + done, wanted - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        if (n == 0) {
            break; // The file shrank since it was opened.
        }
        done += static_cast<std::size_t>(n);
    }
    bytesRead_ += done;
    return done;
}

bool ByteSource::read(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > size_ || out.size() > size_ - offset) {
        return false;
    }
    const auto n = readSome(offset, out);
    return n && *n == out.size();
}

} // namespace zorvane
