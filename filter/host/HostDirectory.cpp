#include "filter/host/HostDirectory.h"

#include "platform/linux/SystemDirectory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {

std::optional<std::string> HostDirectory::makePrivate(const std::filesystem::path& directory) {
    if (!SystemDirectory::ensureExists(directory)) {
        return "cannot create the system directory " + directory.string();
    }
    // Checked and changed through one descriptor, so that what is checked is what is changed.
    const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        return "cannot open the system directory " + directory.string() + ": " +
               std::strerror(errno);
    }
    struct stat status {};
    std::optional<std::string> problem;
    if (::fstat(descriptor, &status) != 0) {
        problem = "cannot examine the system directory " + directory.string() + ": " +
                  std::strerror(errno);
    } else if (status.st_uid != ::geteuid()) {
        problem = "the system directory " + directory.string() + " belongs to user " +
                  std::to_string(status.st_uid) + ", not to this user (" +
                  std::to_string(::geteuid()) +
                  "); refusing to keep the filter's socket and configuration there";
    } else if (SystemDirectory::configurationDirectory(directory) != directory) {
        // An approved user's directory inside: that user must reach it, and read the state the
        // host publishes next to it, but write nothing else here.
        if ((status.st_mode & 022) != 0 && ::fchmod(descriptor, status.st_mode & 0755) != 0) {
            problem = "cannot keep others from writing to the system directory " +
                      directory.string() + ": " + std::strerror(errno);
        }
    } else if ((status.st_mode & 07777) != 0700 && ::fchmod(descriptor, 0700) != 0) {
        problem = "cannot make the system directory " + directory.string() +
                  " private (mode 0700): " + std::strerror(errno);
    }
    ::close(descriptor);
    return problem;
}

} // namespace zorvane
