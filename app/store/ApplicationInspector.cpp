#include "app/store/ApplicationInspector.h"

#include "app/store/LinuxApplicationInspector.h"
#include "app/store/StoreLog.h"
#include "codesign/BundleReader.h"
#include "codesign/MachOSignatureReader.h"
#include "shared/Utf8.h"

#include <QByteArray>
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

bool fitsTheConfiguration(const CodeIdentity& identity) {
    return identity.signingIdentifier.size() <= ApplicationInspector::maximumIdentifierSize &&
           (!identity.teamIdentifier ||
            identity.teamIdentifier->size() <= ApplicationInspector::maximumIdentifierSize);
}

// Paths go to the log as text, whatever bytes they hold.
QByteArray loggable(const std::string& path) {
    return QByteArray::fromStdString(Utf8::sanitized(path));
}

const std::string* stringValue(const PlistDictionary& dictionary, const std::string& key) {
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : it->second.string();
}

} // namespace

ApplicationInspector::ApplicationInspector(IconRenderer iconRenderer,
                                           std::optional<DesktopEnvironment> environment)
    : iconRenderer_(std::move(iconRenderer)), environment_(std::move(environment)) {}

ApplicationInspector::Result ApplicationInspector::inspect(const fs::path& bundleArgument,
                                                           const Uuid& id) const {
    const fs::path bundle = urlPath(bundleArgument);
    if (lowercased(pathExtension(bundle)) != "app") {
        const LinuxApplicationInspector desktop(
            environment_ ? *environment_ : DesktopEnvironment::current(), iconRenderer_);
        return desktop.inspect(bundle, id);
    }
    std::error_code error;
    if (!fs::is_directory(bundle, error)) {
        return ApplicationInspectionError::notAnApplication;
    }
    if (!Utf8::isValid(bundle.native())) {
        return ApplicationInspectionError::pathNotText;
    }

    const auto info = BundleReader::readInfoDictionary(bundle);
    const std::string* bundleIdentifier = info ? stringValue(*info, "CFBundleIdentifier") : nullptr;
    if (!bundleIdentifier || bundleIdentifier->empty()) {
        return ApplicationInspectionError::missingIdentifier;
    }
    if (bundleIdentifier->size() > maximumIdentifierSize) {
        return ApplicationInspectionError::identifierTooLong;
    }

    const auto identity = readCodeIdentity(bundle);
    if (!identity) {
        return ApplicationInspectionError::unsignedApplication;
    }
    if (!fitsTheConfiguration(*identity)) {
        return ApplicationInspectionError::identifierTooLong;
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
    std::size_t unreadable = 0;
    std::size_t tooDeep = 0;
    // Directories still to list, with their depth below the bundle. Each one is listed to its
    // end before the next is opened, so the walk holds one directory open however deep the tree
    // is, and a directory that cannot be listed costs only its own entries.
    struct Directory {
        fs::path path;
        std::size_t depth;
    };
    std::vector<Directory> pending{{fs::path(bundle), 0}};
    while (!pending.empty()) {
        const Directory directory = std::move(pending.back());
        pending.pop_back();
        std::error_code error;
        fs::directory_iterator it(directory.path, fs::directory_options::skip_permission_denied,
                                  error);
        for (const fs::directory_iterator end; !error && it != end; it.increment(error)) {
            const fs::directory_entry& entry = *it;
            const std::string filename = entry.path().filename().string();
            if (!filename.empty() && filename.front() == '.') {
                continue;
            }
            // The entry's type comes from the directory listing itself, so these cost no
            // system call. Symbolic links are not followed: a link inside a bundle may point
            // anywhere on the disk, or back up the tree.
            std::error_code statusError;
            const bool isLink = entry.is_symlink(statusError);
            if (statusError) {
                ++unreadable;
                continue;
            }
            if (isLink) {
                continue;
            }
            const bool isDirectory = entry.is_directory(statusError);
            const bool isRegularFile = !isDirectory && entry.is_regular_file(statusError);
            if (statusError) {
                ++unreadable;
                continue;
            }

            bool candidate = false;
            if (isRegularFile) {
                // Only helper directories make a plain file a candidate; elsewhere a regular
                // file can never be a nested bundle, so the executable test is skipped for it.
                const std::string& path = entry.path().native();
                const bool underHelperDirectory = std::any_of(
                    helperPrefixes.begin(), helperPrefixes.end(),
                    [&](const std::string& prefix) { return path.starts_with(prefix); });
                if (!underHelperDirectory || ::access(path.c_str(), X_OK) != 0) {
                    continue;
                }
                candidate = MachOSignatureReader::isMachOExecutable(entry.path());
            } else if (isDirectory) {
                const auto extension = lowercased(pathExtension(entry.path()));
                candidate = std::find(nestedBundleExtensions.begin(), nestedBundleExtensions.end(),
                                      extension) != nestedBundleExtensions.end();
                if (directory.depth + 1 < maximumWalkDepth) {
                    pending.push_back({entry.path(), directory.depth + 1});
                } else {
                    ++tooDeep;
                }
            }
            if (!candidate) {
                continue;
            }
            if (!Utf8::isValid(entry.path().native())) {
                qCInfo(storeLog, "Skipped helper %s: its path is not valid UTF-8",
                       loggable(entry.path().native()).constData());
                continue;
            }
            auto identity = readCodeIdentity(entry.path());
            if (!identity || *identity == mainIdentity) {
                continue;
            }
            if (!fitsTheConfiguration(*identity)) {
                qCInfo(storeLog, "Skipped helper %s: its identifiers are longer than %zu bytes",
                       loggable(entry.path().native()).constData(), maximumIdentifierSize);
                continue;
            }
            found.insert(std::move(*identity));
        }
        if (error) {
            // Out of descriptors, a directory gone meanwhile, an I/O error: what this directory
            // still held is lost, the rest of the bundle is not.
            ++unreadable;
        }
    }
    if (unreadable > 0 || tooDeep > 0) {
        qCInfo(storeLog,
               "Helper discovery in %s skipped %zu entries it could not read and %zu "
               "directories deeper than %zu levels",
               loggable(bundle).constData(), unreadable, tooDeep, maximumWalkDepth);
    }
    std::vector<CodeIdentity> helpers(found.begin(), found.end());
    if (helpers.size() > maximumHelperCount) {
        qCInfo(storeLog, "%s has %zu helpers; kept the first %zu of them in sorted order",
               loggable(bundle).constData(), helpers.size(), maximumHelperCount);
        helpers.resize(maximumHelperCount);
    }
    return helpers;
}

} // namespace zorvane
