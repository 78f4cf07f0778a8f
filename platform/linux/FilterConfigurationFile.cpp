#include "platform/linux/FilterConfigurationFile.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr const char* enabledKey = "enabled";
constexpr const char* localizedDescriptionKey = "localizedDescription";
constexpr const char* providerConfigurationKey = "providerConfiguration";
constexpr const char* filterSocketsKey = "filterSockets";
constexpr const char* bundleIdentifierKey = "filterDataProviderBundleIdentifier";
constexpr const char* vendorConfigurationKey = "vendorConfiguration";

// Reads an optional key of a known type: true when it is missing or has that type (then stored
// into out), false when it is present with another type.
template <typename T, typename Getter>
bool readOptional(const PlistValue& dictionary, const char* key, Getter getter, T& out) {
    const PlistValue* value = dictionary.find(key);
    if (!value) {
        return true;
    }
    const auto* typed = (value->*getter)();
    if (!typed) {
        return false;
    }
    out = *typed;
    return true;
}

void syncDirectory(const std::filesystem::path& directory) {
    const int descriptor = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor >= 0) {
        ::fsync(descriptor);
        ::close(descriptor);
    }
}

std::filesystem::path directoryOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
}

} // namespace

FilterConfigurationFile::FilterConfigurationFile(std::filesystem::path path)
    : path_(std::move(path)) {}

FilterConfigurationFile
FilterConfigurationFile::inDirectory(const std::filesystem::path& systemDirectory) {
    return FilterConfigurationFile(SystemDirectory::configurationDirectory(systemDirectory) /
                                   SystemDirectory::configurationFileName);
}

std::filesystem::path FilterConfigurationFile::lockPath() const {
    auto lock = path_;
    lock += ".lock";
    return lock;
}

std::optional<FilterConfiguration> FilterConfigurationFile::read() const {
    // The configuration is a few kilobytes; a huge file is not ours.
    const auto value = PlistCodec::readFile(path_, maximumSize);
    if (!value) {
        return std::nullopt;
    }
    return fromPlist(*value);
}

std::optional<FilterConfiguration> FilterConfigurationFile::fromPlist(const PlistValue& root) {
    if (!root.isDictionary()) {
        return std::nullopt;
    }
    FilterConfiguration configuration;
    PlistDictionary provider;
    bool hasProvider = root.find(providerConfigurationKey) != nullptr;
    if (!readOptional(root, enabledKey, &PlistValue::boolean, configuration.enabled) ||
        !readOptional(root, localizedDescriptionKey, &PlistValue::string,
                      configuration.localizedDescription) ||
        !readOptional(root, providerConfigurationKey, &PlistValue::dictionary, provider)) {
        return std::nullopt;
    }
    if (hasProvider) {
        const PlistValue providerValue(std::move(provider));
        FilterConfiguration::ProviderConfiguration providerConfiguration;
        PlistDictionary vendor;
        if (!readOptional(providerValue, filterSocketsKey, &PlistValue::boolean,
                          providerConfiguration.filterSockets) ||
            !readOptional(providerValue, bundleIdentifierKey, &PlistValue::string,
                          providerConfiguration.filterDataProviderBundleIdentifier) ||
            !readOptional(providerValue, vendorConfigurationKey, &PlistValue::dictionary, vendor)) {
            return std::nullopt;
        }
        if (providerValue.find(vendorConfigurationKey)) {
            providerConfiguration.vendorConfiguration = std::move(vendor);
        }
        configuration.providerConfiguration = std::move(providerConfiguration);
    }
    return configuration;
}

std::optional<FilterConfiguration> FilterConfigurationFile::decode(std::string_view bytes) {
    if (bytes.size() > maximumSize) {
        return std::nullopt;
    }
    const auto value = PlistCodec::read(bytes);
    if (!value) {
        return std::nullopt;
    }
    return fromPlist(*value);
}

PlistValue FilterConfigurationFile::toPlist(const FilterConfiguration& configuration) {
    PlistDictionary root{
        {enabledKey, configuration.enabled},
        {localizedDescriptionKey, configuration.localizedDescription},
    };
    if (const auto& provider = configuration.providerConfiguration) {
        PlistDictionary providerDictionary{
            {filterSocketsKey, provider->filterSockets},
            {bundleIdentifierKey, provider->filterDataProviderBundleIdentifier},
        };
        if (provider->vendorConfiguration) {
            providerDictionary.emplace(vendorConfigurationKey, *provider->vendorConfiguration);
        }
        root.emplace(providerConfigurationKey, std::move(providerDictionary));
    }
    return root;
}

std::optional<FilterConfigurationFile::WriteError>
FilterConfigurationFile::write(const FilterConfiguration& configuration) const {
    const std::string bytes = PlistCodec::toXml(toPlist(configuration));
    if (!decode(bytes)) {
        return WriteError::unreadable;
    }
    const auto directory = directoryOf(path_);
    if (!SystemDirectory::ensureExists(directory)) {
        return WriteError::directoryUnavailable;
    }
    const auto lock = FileLock::acquire(lockPath(), FileLock::Wait::block);
    if (!lock) {
        return WriteError::lockUnavailable;
    }

    if (const auto error = AtomicFile::replace(path_, bytes)) {
        return *error == AtomicFile::Error::writeFailed ? WriteError::writeFailed
                                                        : WriteError::replaceFailed;
    }
    return std::nullopt;
}

std::optional<FilterConfigurationFile::WriteError> FilterConfigurationFile::remove() const {
    const auto directory = directoryOf(path_);
    if (!std::filesystem::is_directory(directory)) {
        return std::nullopt;
    }
    const auto lock = FileLock::acquire(lockPath(), FileLock::Wait::block);
    if (!lock) {
        return WriteError::lockUnavailable;
    }
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) {
        return WriteError::replaceFailed;
    }
    syncDirectory(directory);
    return std::nullopt;
}

const char* FilterConfigurationFile::describe(WriteError error) {
    switch (error) {
    case WriteError::directoryUnavailable:
        return "the system directory cannot be created";
    case WriteError::lockUnavailable:
        return "the configuration's lock file cannot be opened";
    case WriteError::writeFailed:
        return "the new configuration cannot be written";
    case WriteError::replaceFailed:
        return "the configuration file cannot be replaced";
    case WriteError::unreadable:
        return "the block list is too large for the filter to read. Remove an application "
               "from the list";
    }
    return "unknown error";
}

} // namespace zorvane
