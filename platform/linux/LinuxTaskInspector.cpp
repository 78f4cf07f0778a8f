#include "platform/linux/LinuxTaskInspector.h"

#include "codesign/MachOSignatureReader.h"
#include "platform/linux/LinuxProcFiles.h"

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

} // namespace

LinuxTaskInspector::LinuxTaskInspector(std::filesystem::path procRoot)
    : procRoot_(std::move(procRoot)) {}

std::unique_ptr<TaskInspector::Task> LinuxTaskInspector::createTask(const AuditToken& token) {
    if (token.pid() < 1 || !isSameProcess(procRoot_, token)) {
        return nullptr;
    }
    // Opening the exe link reads the image the process runs, even when its file has since been
    // replaced or removed.
    auto signing = MachOSignatureReader::readFile(
        LinuxProcFiles::processDirectory(procRoot_, token.pid()) / "exe");
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
