#pragma once

#include "SigningInformation.h"
#include "shared/PlistValue.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace zorvane {

// Reads what a bundle directory (Name.app, Name.xpc, ...) says about itself: its information
// dictionary, its main executable and that executable's signing information.
class BundleReader {
public:
    // Contents/Info.plist (XML or binary) as a dictionary; empty when missing, unreadable or not
    // a dictionary.
    static std::optional<PlistDictionary> readInfoDictionary(const std::filesystem::path& bundle);
    // Contents/MacOS/<CFBundleExecutable>; empty when the key is missing, not a usable name, or
    // the name would lead out of Contents/MacOS.
    static std::optional<std::filesystem::path> executablePath(const std::filesystem::path& bundle);
    // The signing information of a path: a bundle directory (through its executable) or a
    // single file.
    static std::optional<SigningInformation>
    readSigningInformation(const std::filesystem::path& path);

    // The information dictionary held in property-list bytes (XML or binary).
    static std::optional<PlistDictionary> parseInfoDictionary(std::span<const std::uint8_t> bytes);
    // The CFBundleExecutable value of an information dictionary when it is a plain file name:
    // a non-empty string without "/" or NUL that is not "." or "..".
    static std::optional<std::string> executableName(const PlistDictionary& info);
};

} // namespace zorvane
