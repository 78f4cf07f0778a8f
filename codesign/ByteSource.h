#pragma once

#include "shared/UntrustedFile.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

namespace zorvane {

// Random access to the bytes of a file or of a buffer, one bounded read at a time. The readers
// of Mach-O files go through it so that they only ever touch the few ranges they need (headers,
// load commands, parts of the signature), whatever the size of the file, and so that the same
// parsing code runs over files and over bytes in memory.
class ByteSource {
public:
    // A source over bytes that the caller keeps alive for the life of the source.
    static ByteSource ofMemory(std::span<const std::uint8_t> bytes);
    // Opens a regular file for reading through UntrustedFile; empty when it cannot be opened or
    // is not a regular file (a FIFO or a device would block or never end). Its size is not
    // capped: only the ranges that the readers ask for are ever read.
    static std::optional<ByteSource> openFile(const std::filesystem::path& file);

    // Size of the file (as it was when opened) or of the buffer.
    std::uint64_t size() const { return size_; }

    // Fills `out` with the bytes at `offset`. False when the range does not lie inside the
    // source or the file cannot be read; then `out` holds nothing meaningful.
    bool read(std::uint64_t offset, std::span<std::uint8_t> out);

    // Reads up to out.size() bytes at `offset`, fewer at the end of the source. Returns the
    // number of bytes read; empty on an I/O error or when offset lies past the end.
    std::optional<std::size_t> readSome(std::uint64_t offset, std::span<std::uint8_t> out);

    // Total number of bytes handed out so far (lets tests and benchmarks check that large
    // files are not read in full).
    std::uint64_t bytesRead() const { return bytesRead_; }

private:
    ByteSource(std::optional<UntrustedFile> file, std::uint64_t size,
               std::span<const std::uint8_t> memory);

    std::optional<UntrustedFile> file_;
    std::uint64_t size_ = 0;
    std::span<const std::uint8_t> memory_;
    std::uint64_t bytesRead_ = 0;
};

} // namespace zorvane
