#include "filter/host/ConfigurationWatcher.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace zorvane {
namespace {

// Whole writes only: a file being written in place is read once it is closed.
constexpr std::uint32_t fileEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE;
// What ends a watch on the directory itself.
constexpr std::uint32_t directoryGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// What can bring the directory back below a directory above it: any entry made, moved in, or
// (for the ancestor itself) gone too.
constexpr std::uint32_t ancestorEvents =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

} // namespace

ConfigurationWatcher::ConfigurationWatcher(asio::io_context& io, FilterConfigurationFile file,
                                           Handler handler)
    : file_(std::move(file)), directory_(file_.path().parent_path()), handler_(std::move(handler)),
      descriptor_(io) {}

ConfigurationWatcher::~ConfigurationWatcher() {
    stop();
}

std::optional<std::string> ConfigurationWatcher::start() {
    const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        return std::string("inotify is not available: ") + std::strerror(errno);
    }
    directoryWatch_ = ::inotify_add_watch(descriptor, directory_.c_str(),
                                          fileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
    if (directoryWatch_ < 0) {
        const int error = errno;
        ::close(descriptor);
        return "cannot watch " + directory_.string() + ": " + std::strerror(error);
    }
    asio::error_code ignored;
    descriptor_.assign(descriptor, ignored);
    reload();
    waitForEvents();
    return std::nullopt;
}

void ConfigurationWatcher::stop() {
    asio::error_code ignored;
    descriptor_.close(ignored);
    directoryWatch_ = -1;
    ancestorWatch_ = -1;
}

void ConfigurationWatcher::waitForEvents() {
    descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                           [this](const asio::error_code& error) {
                               if (error) {
                                   return; // closed by stop()
                               }
                               if (drainEvents()) {
                                   reload();
                               }
                               if (descriptor_.is_open()) {
                                   waitForEvents();
                               }
                           });
}

void ConfigurationWatcher::disarm(int& watch) {
    if (watch >= 0) {
        // Fails harmlessly when the kernel has dropped the watch already (directory removed).
        ::inotify_rm_watch(descriptor_.native_handle(), watch);
        watch = -1;
    }
}

void ConfigurationWatcher::arm() {
    const int inotify = descriptor_.native_handle();
    // Bounded: each round either watches the directory or climbs one level, and a climb only
    // starts over when the directory above changed under us.
    for (int round = 0; round < 64 && directoryWatch_ < 0; ++round) {
        directoryWatch_ = ::inotify_add_watch(
            inotify, directory_.c_str(), fileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR);
        if (directoryWatch_ >= 0) {
            disarm(ancestorWatch_);
            return;
        }
        disarm(ancestorWatch_);
        std::filesystem::path above = directory_.parent_path();
        while (ancestorWatch_ < 0) {
            ancestorWatch_ = ::inotify_add_watch(inotify, above.c_str(), ancestorEvents);
            if (ancestorWatch_ >= 0 || above == above.parent_path()) {
                break;
            }
            above = above.parent_path();
        }
        // The directory may have come back between the first try and the watch above it: one
        // more round sees it.
    }
}

bool ConfigurationWatcher::drainEvents() {
    const std::string name = file_.path().filename().string();
    bool relevant = false;
    bool rearm = false;
    alignas(inotify_event) std::array<char, 16 * 1024> buffer;
    for (;;) {
        const ssize_t length = ::read(descriptor_.native_handle(), buffer.data(), buffer.size());
        if (length <= 0) {
            break; // EAGAIN: drained
        }
        for (ssize_t offset = 0; offset < length;) {
            inotify_event event;
            std::memcpy(&event, buffer.data() + offset, sizeof event);
            const char* eventName = buffer.data() + offset + sizeof(inotify_event);
            if (event.mask & IN_Q_OVERFLOW) {
                // Lost events: read what is there now, and watch again from scratch.
                relevant = true;
                rearm = true;
            } else if (event.wd == directoryWatch_ && (event.mask & directoryGone)) {
                // The directory went away (removed, or moved: then the watch follows the moved
                // directory, which is no longer ours).
                relevant = true;
                rearm = true;
            } else if (event.wd == ancestorWatch_) {
                // Something changed above the missing directory: it may be back.
                rearm = true;
            } else if (event.wd == directoryWatch_ && (event.mask & fileEvents) && event.len > 0 &&
                       name == std::string(eventName, ::strnlen(eventName, event.len))) {
                relevant = true;
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    if (rearm) {
        disarm(directoryWatch_);
        arm();
        // Gone, the configuration is absent; back, it may have come with the file in it.
        relevant = true;
    }
    return relevant;
}

void ConfigurationWatcher::reload() {
    handler_(file_.read());
}

} // namespace zorvane
