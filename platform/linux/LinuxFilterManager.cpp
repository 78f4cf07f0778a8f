#include "platform/linux/LinuxFilterManager.h"

#include "platform/linux/SystemDirectory.h"
#include "shared/UntrustedFile.h"

#include <QThreadPool>
#include <limits>
#include <system_error>

namespace zorvane {
namespace {

SystemError filterError(std::int64_t code, std::string description) {
    return SystemError{SystemError::filterErrorDomain, code, std::move(description)};
}

SystemError noSystemDirectory() {
    return filterError(SystemError::filterConfigurationInternalError,
                       "The filter configuration has no system directory: set "
                       "ZORVANE_SYSTEM_DIR or HOME.");
}

} // namespace

LinuxFilterManager::LinuxFilterManager(std::optional<std::filesystem::path> systemDirectory)
    : systemDirectory_(std::move(systemDirectory)), worker_(std::make_unique<QThreadPool>()) {
    // One thread keeps the operations in the order they were asked for.
    worker_->setMaxThreadCount(1);
}

LinuxFilterManager::~LinuxFilterManager() {
    worker_->waitForDone();
}

std::shared_ptr<LinuxFilterManager> LinuxFilterManager::standard() {
    return std::make_shared<LinuxFilterManager>(SystemDirectory::path());
}

void LinuxFilterManager::load(std::function<void(LoadResult)> completion) {
    worker_->start([this, completion = std::move(completion)] { completion(loadNow()); });
}

void LinuxFilterManager::save(FilterConfiguration configuration,
                              std::function<void(std::optional<SystemError>)> completion) {
    worker_->start([this, configuration = std::move(configuration),
                    completion = std::move(completion)] { completion(saveNow(configuration)); });
}

std::optional<FilterConfigurationFile> LinuxFilterManager::file() const {
    if (!systemDirectory_) {
        return std::nullopt;
    }
    return FilterConfigurationFile::inDirectory(*systemDirectory_);
}

FilterManager::LoadResult LinuxFilterManager::loadNow() const {
    const auto file = this->file();
    if (!file) {
        return {std::nullopt, noSystemDirectory()};
    }
    const auto& path = file->path();
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (status.type() == std::filesystem::file_type::not_found) {
        return {};
    }
    if (auto configuration = file->read()) {
        return {std::move(configuration), std::nullopt};
    }
    // Gone between the two looks: a remover won the race, and nothing is stored.
    if (std::filesystem::status(path, error).type() == std::filesystem::file_type::not_found) {
        return {};
    }
    // The texts avoid the words of a permission failure on purpose: those mean "the user has
    // not allowed the filter yet" to the caller, which an unreadable file does not.
    const bool readable =
        UntrustedFile::open(path, std::numeric_limits<std::uint64_t>::max()).file.has_value();
    return {std::nullopt, filterError(SystemError::filterConfigurationInvalid,
                                      readable ? "The filter configuration " + path.string() +
                                                     " is not a valid filter configuration."
                                               : "The filter configuration " + path.string() +
                                                     " cannot be read.")};
}

std::optional<SystemError>
LinuxFilterManager::saveNow(const FilterConfiguration& configuration) const {
    const auto file = this->file();
    if (!file) {
        return noSystemDirectory();
    }
    if (const auto error = file->write(configuration)) {
        if (SystemDirectory::belongsToAnotherUser(*systemDirectory_)) {
            // An installed system where no administrator has approved this user yet: what
            // macOS reports while the user has not allowed the filter.
            return filterError(SystemError::filterConfigurationPermissionDenied,
                               "Permission denied: an administrator has not approved Zorvane's "
                               "filter for this user yet (zorvane-system approve).");
        }
        return filterError(SystemError::filterConfigurationInternalError,
                           std::string("The filter configuration cannot be saved: ") +
                               FilterConfigurationFile::describe(*error) + ".");
    }
    return std::nullopt;
}

} // namespace zorvane
