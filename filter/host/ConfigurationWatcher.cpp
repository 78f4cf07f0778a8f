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

} // namespace

ConfigurationWatcher::ConfigurationWatcher(asio::io_context& io, FilterConfigurationFile file,
                                           Handler handler)
    : file_(std::move(file)), handler_(std::move(handler)), descriptor_(io) {}

ConfigurationWatcher::~ConfigurationWatcher() {
    stop();
}

std::optional<std::string> ConfigurationWatcher::start() {
    const int descriptor = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        return std::string("inotify is not available: ") + std::strerror(errno);
    }
    const auto directory = file_.path().parent_path();
    if (::inotify_add_watch(descriptor, directory.c_str(),
                            fileEvents | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR) < 0) {
        const int error = errno;
        ::close(descriptor);
        return "cannot watch " + directory.string() + ": " + std::strerror(error);
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

bool ConfigurationWatcher::drainEvents() {
    const std::string name = file_.path().filename().string();
    bool relevant = false;
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
            if (event.mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) {
                // Lost events, or the directory itself went away: read what is there now.
                relevant = true;
            } else if ((event.mask & fileEvents) && event.len > 0 &&
                       name == std::string(eventName, ::strnlen(eventName, event.len))) {
                relevant = true;
            }
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
        }
    }
    return relevant;
}

void ConfigurationWatcher::reload() {
    handler_(file_.read());
}

} // namespace zorvane
