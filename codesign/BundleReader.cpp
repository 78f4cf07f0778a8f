#include "BundleReader.h"

#include "MachOSignatureReader.h"
#include "shared/PlistCodec.h"

#include <system_error>

namespace zorvane {
namespace {

// Information dictionaries are a few kilobytes; anything this large is not one worth reading.
constexpr std::uintmax_t maximumInfoPlistSize = 4 * 1024 * 1024;

std::optional<PlistDictionary> asDictionary(std::optional<PlistValue> value) {
    if (!value || !value->isDictionary()) {
        return std::nullopt;
    }
    return *value->dictionary();
}

} // namespace

std::optional<PlistDictionary>
BundleReader::readInfoDictionary(const std::filesystem::path& bundle) {
    return asDictionary(
        PlistCodec::readFile(bundle / "Contents" / "Info.plist", maximumInfoPlistSize));
}

std::optional<PlistDictionary>
BundleReader::parseInfoDictionary(std::span<const std::uint8_t> bytes) {
    return asDictionary(PlistCodec::read(bytes));
}

std::optional<std::string> BundleReader::executableName(const PlistDictionary& info) {
    const auto it = info.find("CFBundleExecutable");
    if (it == info.end()) {
        return std::nullopt;
    }
    const auto* name = it->second.string();
    if (!name || name->empty() || *name == "." || *name == ".." ||
        name->find('/') != std::string::npos || name->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return *name;
}

std::optional<std::filesystem::path>
BundleReader::executablePath(const std::filesystem::path& bundle) {
    const auto info = readInfoDictionary(bundle);
    if (!info) {
        return std::nullopt;
    }
    const auto name = executableName(*info);
    if (!name) {
        return std::nullopt;
    }
    return bundle / "Contents" / "MacOS" / *name;
}

std::optional<SigningInformation>
BundleReader::readSigningInformation(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        const auto executable = executablePath(path);
        if (!executable) {
            return std::nullopt;
        }
        return MachOSignatureReader::readFile(*executable);
    }
    return MachOSignatureReader::readFile(path);
}

} // namespace zorvane
