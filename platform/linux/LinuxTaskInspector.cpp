#include "platform/linux/LinuxTaskInspector.h"

#include "codesign/MachOSignatureReader.h"
#include "platform/linux/FlatpakSandbox.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/LinuxProcFiles.h"

#include <array>
#include <fcntl.h>
#include <unistd.h>

namespace zorvane {
namespace {

class LinuxTask final : public TaskInspector::Task {
public:
    explicit LinuxTask(std::optional<SigningInformation> signing) : signing_(std::move(signing)) {}

    std::optional<std::string> signingIdentifier() const override {
        if (!signing_ || signing_->identifier.empty()) {
            return std::nullopt;
        }
        return signing_->identifier;
    }

    std::optional<PlistValue> entitlementValue(const std::string& entitlement) const override {
        if (!signing_ || !signing_->entitlements) {
            return std::nullopt;
        }
        const auto it = signing_->entitlements->find(entitlement);
        if (it == signing_->entitlements->end()) {
            return std::nullopt;
        }
        return it->second;
    }

private:
    std::optional<SigningInformation> signing_;
};

bool isSameProcess(const std::filesystem::path& procRoot, const AuditToken& token) {
    const auto startTime = LinuxProcFiles::startTime(procRoot, token.pid());
    return startTime && static_cast<std::uint32_t>(*startTime) == token.generation();
}

// Read through the exe link, which is the image the process runs even when its file has since
// been replaced or removed.
bool isElf(const std::filesystem::path& executable) {
    const int descriptor = ::open(executable.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    std::array<unsigned char, 4> magic{};
    const ssize_t read = ::pread(descriptor, magic.data(), magic.size(), 0);
    ::close(descriptor);
    return read == 4 && magic == std::array<unsigned char, 4>{0x7f, 'E', 'L', 'F'};
}

bool isInside(const std::string& path, const std::filesystem::path& directory) {
    const std::string root = directory.string();
    return !root.empty() && path.size() > root.size() + 1 && path.starts_with(root) &&
           path[root.size()] == '/';
}

} // namespace

LinuxTaskInspector::LinuxTaskInspector(std::filesystem::path procRoot,
                                       std::optional<OwnBundle> ownBundle)
    : procRoot_(std::move(procRoot)), ownBundle_(std::move(ownBundle)) {}

std::optional<LinuxTaskInspector::OwnBundle>
LinuxTaskInspector::ownBundleOf(const std::filesystem::path& executable) {
    std::optional<OwnBundle> outermost;
    for (auto directory = executable.parent_path();
         !directory.empty() && directory != directory.parent_path();
         directory = directory.parent_path()) {
        if (directory.extension() != ".app") {
            continue;
        }
        if (auto identifier = LinuxMainBundle(directory).identifier();
            identifier && !identifier->empty()) {
            outermost = OwnBundle{directory, std::move(*identifier)};
        }
    }
    return outermost;
}

std::optional<std::string> LinuxTaskInspector::elfIdentifier(std::int32_t pid) const {
    auto path = LinuxProcFiles::executablePath(procRoot_, pid);
    if (!path) {
        return std::nullopt;
    }
    // A program whose file was replaced while it runs (an update) is still the program at that
    // path.
    constexpr std::string_view deleted = " (deleted)";
    if (path->ends_with(deleted)) {
        path->resize(path->size() - deleted.size());
    }
    if (ownBundle_ && isInside(*path, ownBundle_->directory)) {
        return ownBundle_->identifier;
    }
    return path;
}

std::unique_ptr<TaskInspector::Task> LinuxTaskInspector::createTask(const AuditToken& token) {
    if (token.pid() < 1 || !isSameProcess(procRoot_, token)) {
        return nullptr;
    }
    const auto executable = LinuxProcFiles::processDirectory(procRoot_, token.pid()) / "exe";
    std::optional<SigningInformation> signing;
    if (auto application = FlatpakSandbox::applicationOf(procRoot_, token.pid())) {
        // Every program inside a Flatpak sandbox acts for its application, whose ID the
        // sandbox states; the paths inside it (/app/bin/...) are the same in every sandbox.
        signing.emplace();
        signing->identifier = std::move(*application);
    } else if (isElf(executable)) {
        if (auto identifier = elfIdentifier(token.pid())) {
            signing.emplace();
            signing->identifier = std::move(*identifier);
        }
    } else {
        signing = MachOSignatureReader::readFile(executable);
    }
    // The pid may have been reused while the file was read; then what was read is not the
    // token's process.
    if (!isSameProcess(procRoot_, token)) {
        return nullptr;
    }
    return std::make_unique<LinuxTask>(std::move(signing));
}

std::optional<std::string> LinuxTaskInspector::processPath(std::int32_t pid) {
    return LinuxProcFiles::executablePath(procRoot_, pid);
}

} // namespace zorvane
