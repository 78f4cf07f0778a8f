#pragma once

#include "platform/FilterConfiguration.h"
#include "platform/linux/FilterConfigurationFile.h"

#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace zorvane {

// Tells its handler the saved configuration now and after every change of the file. It watches
// the directory rather than the file (inotify), so a writer that replaces the file by renaming a
// temporary one over it is seen, and only whole writes count: a file being written is read once
// it is closed or renamed into place. When the directory itself is removed or moved away, the
// configuration is reported absent and the nearest directory above it that still exists is
// watched until the directory is back; then the configuration is reported again. Runs on the
// io_context's thread; no polling.
class ConfigurationWatcher {
public:
    using Handler = std::function<void(const std::optional<FilterConfiguration>&)>;

    ConfigurationWatcher(asio::io_context& io, FilterConfigurationFile file, Handler handler);
    ~ConfigurationWatcher();

    ConfigurationWatcher(const ConfigurationWatcher&) = delete;
    ConfigurationWatcher& operator=(const ConfigurationWatcher&) = delete;

    // Starts watching and reports the current configuration once. Empty on success, otherwise
    // the reason the directory cannot be watched.
    std::optional<std::string> start();
    void stop();

private:
    void waitForEvents();
    bool drainEvents(); // true when an event concerned the configuration file
    // Watches the directory when it exists, else the nearest existing directory above it.
    void arm();
    void disarm(int& watch);
    void reload();

    FilterConfigurationFile file_;
    std::filesystem::path directory_;
    Handler handler_;
    asio::posix::stream_descriptor descriptor_;
    int directoryWatch_ = -1;
    int ancestorWatch_ = -1;
};

} // namespace zorvane
