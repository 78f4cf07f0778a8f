#include "tools/SystemApproval.h"

#include "platform/linux/Descriptor.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace {

std::string infoText(const std::optional<PlistValue>& info, const char* key) {
    const PlistValue* value = info ? info->find(key) : nullptr;
    const std::string* text = value ? value->string() : nullptr;
    return text ? *text : std::string();
}

std::string failure(const std::string& what, const std::filesystem::path& path) {
    return "cannot " + what + " " + path.string() + ": " + std::strerror(errno);
}

} // namespace

std::optional<SystemApproval::User> SystemApproval::lookUp(const std::string& nameOrId) {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    uid_t uid = 0;
    const auto* end = nameOrId.data() + nameOrId.size();
    if (auto [rest, error] = std::from_chars(nameOrId.data(), end, uid);
        !nameOrId.empty() && error == std::errc() && rest == end) {
        ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
    } else {
        ::getpwnam_r(nameOrId.c_str(), &entry, buffer.data(), buffer.size(), &found);
    }
    if (!found) {
        return std::nullopt;
    }
    return User{found->pw_uid, found->pw_gid};
}

std::optional<std::string> SystemApproval::grant(const std::filesystem::path& systemDirectory,
                                                 const std::string& extensionIdentifier,
                                                 const std::filesystem::path& extensionBundle,
                                                 User user) {
    if (!SystemDirectory::ensureExists(systemDirectory)) {
        return failure("create", systemDirectory);
    }
    // Everyone may look, nobody but root may write: people's applications read the approval
    // and reach their own directory through here.
    const Descriptor system(
        ::open(systemDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat systemStatus {};
    if (system.get() < 0 || ::fstat(system.get(), &systemStatus) != 0) {
        return failure("open", systemDirectory);
    }
    if (systemStatus.st_uid != ::geteuid()) {
        return systemDirectory.string() + " does not belong to the administrator (user " +
               std::to_string(::geteuid()) + ")";
    }
    if (::fchmod(system.get(), 0755) != 0) {
        return failure("set the mode of", systemDirectory);
    }

    // Everything on the user's directory goes through one descriptor opened without following a
    // link: its owner could have put anything at that name before this approval.
    const char* name = SystemDirectory::approvedUserDirectoryName;
    const auto approved = systemDirectory / name;
    if (::mkdirat(system.get(), name, 0700) != 0 && errno != EEXIST) {
        return failure("create", approved);
    }
    const Descriptor directory(
        ::openat(system.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (directory.get() < 0 || ::fstat(directory.get(), &status) != 0) {
        return failure("open", approved);
    }
    if (status.st_uid != user.uid) {
        // Another user's rules and token are not the new user's to keep.
        const std::string file = SystemDirectory::configurationFileName;
        ::unlinkat(directory.get(), file.c_str(), 0);
        ::unlinkat(directory.get(), (file + ".lock").c_str(), 0);
    }
    if (::fchown(directory.get(), user.uid, user.gid) != 0 ||
        ::fchmod(directory.get(), 0700) != 0) {
        return failure("hand over", approved);
    }

    const auto info =
        PlistCodec::readFile(extensionBundle / "Contents" / "Info.plist", 1024 * 1024);
    ExtensionStateFile state(systemDirectory);
    const bool recorded = state.update([&](ExtensionStateFile::Records& records) {
        auto& record = records[extensionIdentifier];
        record.state = SystemExtensionRecord::State::activated;
        record.bundleShortVersion = infoText(info, "CFBundleShortVersionString");
        record.bundleVersion = infoText(info, "CFBundleVersion");
        record.path = extensionBundle.string();
        record.hostProcessIdentifier.reset();
        return true;
    });
    if (!recorded) {
        return failure("record the approval in", state.path());
    }
    if (::fchmodat(system.get(), state.path().filename().c_str(), 0644, 0) != 0) {
        return failure("let everyone read", state.path());
    }
    return std::nullopt;
}

} // namespace zorvane
