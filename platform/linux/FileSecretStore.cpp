#include "FileSecretStore.h"

#include "platform/linux/Descriptor.h"
#include "platform/linux/XdgDirectories.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace zorvane {
namespace {

std::string percentEncoded(const std::string& name) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || byte == '.' || byte == '-' || byte == '_') {
            encoded.push_back(c);
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[byte >> 4]);
            encoded.push_back(hex[byte & 0xF]);
        }
    }
    return encoded;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

FileSecretStore::FileSecretStore(std::filesystem::path directory)
    : directory_(std::move(directory)) {}

std::filesystem::path FileSecretStore::fileFor(const std::string& service,
                                               const std::string& account) const {
    return directory_ / ("secret-" + percentEncoded(service) + "+" + percentEncoded(account));
}

SecretReadResult FileSecretStore::read(const std::string& service, const std::string& account) {
    const auto path = fileFor(service, account);
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) {
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? SecretStoreError::notFound
                                                                     : SecretStoreError::failed;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
        return SecretStoreError::failed;
    }
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
        (status.st_mode & (S_IRWXG | S_IRWXO)) != 0 ||
        static_cast<std::size_t>(status.st_size) > maximumSecretSize) {
        return SecretStoreError::notFound;
    }
    std::string secret;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return SecretStoreError::failed;
        }
        if (n == 0) {
            break;
        }
        secret.append(buffer, static_cast<std::size_t>(n));
        if (secret.size() > maximumSecretSize) {
            return SecretStoreError::notFound;
        }
    }
    return secret;
}

std::optional<SecretStoreError> FileSecretStore::write(const std::string& service,
                                                       const std::string& account,
                                                       const std::string& secret) {
    std::error_code error;
    if (!std::filesystem::is_directory(directory_, error)) {
        std::filesystem::create_directories(directory_, error);
        if (error) {
            return SecretStoreError::unavailable;
        }
        // A directory of our own making holds nothing that others need to list.
        ::chmod(directory_.c_str(), 0700);
    }
    const auto path = fileFor(service, account);
    std::string pattern = path.string() + ".XXXXXX";
    // mkostemp creates the file with mode 0600, so the secret is never readable by others, not
    // even for the moment between writing and renaming.
    Descriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (fd.get() < 0) {
        return SecretStoreError::unavailable;
    }
    const bool written =
        ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), secret) && ::fsync(fd.get()) == 0;
    const bool closed = ::close(fd.release()) == 0;
    if (!written || !closed || ::rename(pattern.c_str(), path.c_str()) != 0) {
        ::unlink(pattern.c_str());
        return SecretStoreError::failed;
    }
    return std::nullopt;
}

std::filesystem::path FileSecretStore::defaultDirectory() {
    if (const char* explicitDirectory = std::getenv("ZORVANE_SECRETS_DIR");
        explicitDirectory && *explicitDirectory) {
        return explicitDirectory;
    }
    const std::filesystem::path config =
        XdgDirectories::configHome().value_or(std::filesystem::temp_directory_path());
    return config / "zorvane";
}

} // namespace zorvane
