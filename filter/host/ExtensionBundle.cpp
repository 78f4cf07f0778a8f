#include "filter/host/ExtensionBundle.h"

#include "shared/PlistCodec.h"

#include <system_error>

namespace zorvane {

std::optional<std::string> ExtensionBundle::identifier(const std::filesystem::path& executable) {
    const auto infoPlist = executable.parent_path().parent_path() / "Info.plist";
    const auto info = PlistCodec::readFile(infoPlist, 1024 * 1024);
    const PlistValue* value = info ? info->find("CFBundleIdentifier") : nullptr;
    const std::string* text = value ? value->string() : nullptr;
    if (!text || text->empty()) {
        return std::nullopt;
    }
    return *text;
}

std::optional<std::filesystem::path> ExtensionBundle::runningExecutable() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::nullopt;
    }
    return path;
}

} // namespace zorvane
