#include "platform/linux/LinuxMainBundle.h"

#include "platform/linux/InstalledTree.h"
#include "shared/PlistCodec.h"

#include <cstdlib>
#include <system_error>

namespace zorvane {
namespace {

std::optional<std::string> text(const std::optional<PlistValue>& info, const char* key) {
    const PlistValue* value = info ? info->find(key) : nullptr;
    const std::string* string = value ? value->string() : nullptr;
    if (!string) {
        return std::nullopt;
    }
    return *string;
}

// Symbolic links resolved as far as the path exists, then ".", ".." and repeated "/" removed.
std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(path, error);
    if (error) {
        absolute = path;
    }
    auto canonical = std::filesystem::weakly_canonical(absolute, error);
    return (error ? absolute : canonical).lexically_normal();
}

} // namespace

LinuxMainBundle::LinuxMainBundle(std::filesystem::path bundle,
                                 std::optional<std::filesystem::path> applicationsDirectory)
    : bundle_(std::move(bundle)),
      applicationsDirectory_(applicationsDirectory ? std::move(*applicationsDirectory)
                                                   : defaultApplicationsDirectory()) {
    const auto info = PlistCodec::readFile(bundle_ / "Contents" / "Info.plist", 1024 * 1024);
    if (info && info->isDictionary()) {
        identifier_ = text(info, "CFBundleIdentifier");
        shortVersion_ = text(info, "CFBundleShortVersionString");
        buildVersion_ = text(info, "CFBundleVersion");
    }
}

std::shared_ptr<LinuxMainBundle> LinuxMainBundle::current() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
        return std::make_shared<LinuxMainBundle>(std::filesystem::current_path(error));
    }
    return std::make_shared<LinuxMainBundle>(bundleForExecutable(executable));
}

std::filesystem::path
LinuxMainBundle::bundleForExecutable(const std::filesystem::path& executable) {
    const auto macOS = executable.parent_path();
    const auto contents = macOS.parent_path();
    std::error_code error;
    if (macOS.filename() == "MacOS" && contents.filename() == "Contents" &&
        std::filesystem::is_regular_file(contents / "Info.plist", error)) {
        return contents.parent_path();
    }
    return macOS;
}

std::filesystem::path LinuxMainBundle::defaultApplicationsDirectory() {
    if (const char* directory = std::getenv("ZORVANE_APPLICATIONS_DIR"); directory && *directory) {
        return directory;
    }
    if (InstalledTree::runsFromIt()) {
        return InstalledTree::prefix();
    }
    return "/Applications";
}

bool LinuxMainBundle::isInApplicationsFolder() const {
    // Compared as text with a trailing "/", so that "/Applications Old/x.app" is not inside.
    std::string folder = resolved(applicationsDirectory_).string();
    if (!folder.ends_with('/')) {
        folder += '/';
    }
    return resolved(bundle_).string().starts_with(folder);
}

} // namespace zorvane
