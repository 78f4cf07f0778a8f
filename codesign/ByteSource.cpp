#include "ByteSource.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace zorvane {

ByteSource::ByteSource(std::optional<UntrustedFile> file, std::uint64_t size,
                       std::span<const std::uint8_t> memory)
    : file_(std::move(file)), size_(size), memory_(memory) {}

ByteSource ByteSource::ofMemory(std::span<const std::uint8_t> bytes) {
    return ByteSource(std::nullopt, bytes.size(), bytes);
}

std::optional<ByteSource> ByteSource::openFile(const std::filesystem::path& file) {
    auto opening = UntrustedFile::open(file, std::numeric_limits<std::uint64_t>::max());
    if (!opening.file) {
        return std::nullopt;
    }
    const auto size = opening.file->size();
    return ByteSource(std::move(opening.file), size, {});
}

std::optional<std::size_t> ByteSource::readSome(std::uint64_t offset, std::span<std::uint8_t> out) {
    if (offset > size_) {
        return std::nullopt;
    }
    const auto wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
    if (!file_) {
        if (wanted > 0) {
            std::memcpy(out.data(), memory_.data() + offset, wanted);
        }
        bytesRead_ += wanted;
        return wanted;
    }
    const auto done = file_->readAt(offset, out.first(wanted));
    if (!done) {
        return std::nullopt;
    }
    bytesRead_ += *done;
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
