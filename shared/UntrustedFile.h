#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zorvane {

// The one way to read a file whose path someone else controls: anything inside a bundle, the
// files of another process, the files of the system directory. Such a path may name a FIFO
// (opening it would wait for a writer, reading it would wait for data), a device that never
// ends (/dev/zero), a directory, or a file far larger than anything worth reading; a symbolic
// link may lead to any of them, and the path may be swapped between a check and the open. So
// the file is opened without waiting (O_NONBLOCK), never handed to a child (O_CLOEXEC), never
// made a controlling terminal, and everything is decided on the descriptor that was opened: it
// must be a regular file, no larger than the caller's cap.
class UntrustedFile {
public:
    enum class Error {
        cannotOpen,     // missing, not permitted, or the path itself is unusable
        notRegularFile, // a FIFO, socket, device or directory
        tooLarge,       // larger than the caller's cap, when opened or while being read
        readFailed,     // an I/O error after opening
    };
    // A short text for logs and messages, such as "not a regular file".
    static std::string_view describe(Error error);

    struct Opening;
    struct Reading;

    // Opens a regular file of at most maxBytes for reading.
    static Opening open(const std::filesystem::path& path, std::uint64_t maxBytes);
    // The whole content of a regular file of at most maxBytes; a file that grows past the cap
    // while it is read is refused as well.
    static Reading read(const std::filesystem::path& path, std::uint64_t maxBytes);

    UntrustedFile(UntrustedFile&& other) noexcept;
    UntrustedFile& operator=(UntrustedFile&& other) noexcept;
    UntrustedFile(const UntrustedFile&) = delete;
    UntrustedFile& operator=(const UntrustedFile&) = delete;
    ~UntrustedFile();

    // The size the file had when it was opened.
    std::uint64_t size() const { return size_; }
    // The user that owned the file when it was opened: who may have written it.
    std::uint32_t owner() const { return owner_; }

    // Reads up to out.size() bytes at offset, fewer at the end of the file. Empty on an I/O
    // error.
    std::optional<std::size_t> readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;
    // Everything from the start of the file, refused when it comes to more than maxBytes.
    Reading readAll(std::uint64_t maxBytes) const;

private:
    UntrustedFile(int descriptor, std::uint64_t size);

    int descriptor_ = -1;
    std::uint64_t size_ = 0;
    std::uint32_t owner_ = 0;
};

struct UntrustedFile::Opening {
    std::optional<UntrustedFile> file;
    std::optional<Error> error; // set exactly when file is not
};

struct UntrustedFile::Reading {
    std::optional<std::string> bytes;
    std::optional<Error> error; // set exactly when bytes are not
};

} // namespace zorvane
