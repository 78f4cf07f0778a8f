#pragma once

#include "platform/FilterManager.h"
#include "platform/linux/FilterConfigurationFile.h"

#include <filesystem>
#include <memory>
#include <optional>

class QThreadPool;

namespace zorvane {

// The filter preferences on Linux: filter-configuration.plist in the system directory, which
// the filter host follows. Loads and saves run one after another on a worker thread of their
// own, in the order they were asked for, so that the caller's thread never waits for the disk;
// completions run on that worker.
class LinuxFilterManager final : public FilterManager {
public:
    // systemDirectory empty: every operation fails with a description of why.
    explicit LinuxFilterManager(std::optional<std::filesystem::path> systemDirectory);
    // Waits for the operations already asked for.
    ~LinuxFilterManager() override;

    LinuxFilterManager(const LinuxFilterManager&) = delete;
    LinuxFilterManager& operator=(const LinuxFilterManager&) = delete;

    // The manager of SystemDirectory::path().
    static std::shared_ptr<LinuxFilterManager> standard();

    void load(std::function<void(LoadResult)> completion) override;
    void save(FilterConfiguration configuration,
              std::function<void(std::optional<SystemError>)> completion) override;

    // The same work on the calling thread.
    LoadResult loadNow() const;
    std::optional<SystemError> saveNow(const FilterConfiguration& configuration) const;

private:
    // Found at each use: an administrator's approval moves the file into the approved user's
    // directory while the application runs.
    std::optional<FilterConfigurationFile> file() const;

    std::optional<std::filesystem::path> systemDirectory_;
    std::unique_ptr<QThreadPool> worker_;
};

} // namespace zorvane
