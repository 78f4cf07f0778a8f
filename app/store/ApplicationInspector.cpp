#include "app/store/ApplicationInspector.h"

#include "codesign/BundleReader.h"
#include "codesign/MachOSignatureReader.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace fs = std::filesystem;

namespace {

// Directories, relative to the bundle, in which a plain executable counts as a helper.
constexpr std::array<std::string_view, 7> helperDirectories = {
    "/Contents/MacOS/",
    "/Contents/Helpers/",
    "/Contents/XPCServices/",
    "/Contents/Library/LoginItems/",
    "/Contents/Library/LaunchAgents/",
    "/Contents/Library/LaunchDaemons/",
    "/Contents/Library/LaunchServices/",
};

// Directories with these extensions are bundles of their own wherever they sit in the tree.
constexpr std::array<std::string_view, 4> nestedBundleExtensions = {"app", "xpc", "appex",
                                                                    "systemextension"};

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// The extension without its dot, as a file URL reports it ("" for "Foo" and for ".hidden").
std::string pathExtension(const fs::path& path) {
    const auto extension = path.filename().extension().string();
    return extension.empty() ? std::string() : extension.substr(1);
}

// The path as a file URL would give it: absolute, without "." segments and trailing "/".
fs::path urlPath(const fs::path& path) {
    std::error_code error;
    auto absolute = fs::absolute(path, error);
    if (error) {
        absolute = path;
    }
    auto text = absolute.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return fs::path(text);
}

const std::string* stringValue(const PlistDictionary& dictionary, const std::string& key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : it->second.string();
}

} // namespace

ApplicationInspector::ApplicationInspector(IconRenderer iconRenderer)
    : iconRenderer_(std::move(iconRenderer)) {}

ApplicationInspector::Result ApplicationInspector::inspect(const fs::path& bundleArgument,
                                                           const Uuid& id) const {
    const fs::path bundle = urlPath(bundleArgument);
    if (lowercased(pathExtension(bundle)) != "app") {
        return ApplicationInspectionError::notAnApplication;
    }
    std::error_code error;
    if (!fs::is_directory(bundle, error)) {
        return ApplicationInspectionError::notAnApplication;
    }

    const auto info = BundleReader::readInfoDictionary(bundle);
    const std::string* bundleIdentifier = info ? stringValue(*info, "CFBundleIdentifier") : nullptr;
    if (!bundleIdentifier || bundleIdentifier->empty()) {
        return ApplicationInspectionError::missingIdentifier;
    }

    const auto identity = readCodeIdentity(bundle);
    if (!identity) {
        return ApplicationInspectionError::unsignedApplication;
    }

    std::string name;
    if (const auto* displayName = stringValue(*info, "CFBundleDisplayName")) {
        name = *displayName;
    } else if (const auto* bundleName = stringValue(*info, "CFBundleName")) {
        name = *bundleName;
    } else {
        name = bundle.stem().string();
    }

    BlockedApplication application;
    application.id = id;
    application.name = std::move(name);
    application.bundleIdentifier = *bundleIdentifier;
    application.signingIdentifier = identity->signingIdentifier;
    application.teamIdentifier = identity->teamIdentifier;
    application.auxiliaryCodeIdentities = discoverHelpers(bundle, *identity);
    application.inspectionVersion = currentInspectionVersion;
    application.path = bundle.string();
    if (iconRenderer_) {
        application.iconData = iconRenderer_(bundle);
    }
    return application;
}

std::optional<CodeIdentity> ApplicationInspector::readCodeIdentity(const fs::path& path) {
    const auto signing = BundleReader::readSigningInformation(path);
    if (!signing) {
        return std::nullopt;
    }
    return CodeIdentity::make(signing->identifier, signing->teamIdentifier);
}

std::vector<CodeIdentity> ApplicationInspector::discoverHelpers(const fs::path& bundleArgument,
                                                                const CodeIdentity& mainIdentity) {
    const std::string bundle = urlPath(bundleArgument).string();
    std::array<std::string, helperDirectories.size()> helperPrefixes;
    for (std::size_t i = 0; i < helperDirectories.size(); ++i) {
        helperPrefixes[i] = bundle + std::string(helperDirectories[i]);
    }

    std::set<CodeIdentity> found;
    std::error_code error;
    // Symbolic links are not followed: a link inside a bundle may point anywhere on the disk.
    fs::recursive_directory_iterator it(bundle, fs::directory_options::skip_permission_denied,
                                        error);
    if (error) {
        return {};
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error) {
            break;
        }
        const fs::directory_entry& entry = *it;
        const std::string filename = entry.path().filename().string();
        if (!filename.empty() && filename.front() == '.') {
            it.disable_recursion_pending();
            continue;
        }
        // The entry's type comes from the directory listing itself, so these cost no system
        // call; a link counts as neither a directory nor a regular file.
        std::error_code statusError;
        if (entry.is_symlink(statusError) || statusError) {
            continue;
        }
        const bool isDirectory = entry.is_directory(statusError);
        const bool isRegularFile = !isDirectory && entry.is_regular_file(statusError);
        if (statusError) {
            continue;
        }

        bool candidate = false;
        if (isRegularFile) {
            // Only helper directories make a plain file a candidate; elsewhere a regular file can
            // never be a nested bundle, so the executable test is skipped for it altogether.
            const std::string& path = entry.path().native();
            const bool underHelperDirectory =
                std::any_of(helperPrefixes.begin(), helperPrefixes.end(),
                            [&](const std::string& prefix) { return path.starts_with(prefix); });
            if (!underHelperDirectory || ::access(path.c_str(), X_OK) != 0) {
                continue;
            }
            candidate = MachOSignatureReader::isMachOExecutable(entry.path());
        } else if (isDirectory) {
            const auto extension = lowercased(pathExtension(entry.path()));
            candidate = std::find(nestedBundleExtensions.begin(), nestedBundleExtensions.end(),
                                  extension) != nestedBundleExtensions.end();
        }
        if (!candidate) {
            continue;
        }
        auto identity = readCodeIdentity(entry.path());
        if (identity && !(*identity == mainIdentity)) {
            found.insert(std::move(*identity));
        }
    }
    return {found.begin(), found.end()};
}

} // namespace zorvane
