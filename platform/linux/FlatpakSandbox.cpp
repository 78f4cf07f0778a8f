#include "platform/linux/FlatpakSandbox.h"

#include "platform/linux/LinuxProcFiles.h"
#include "shared/KeyFile.h"
#include "shared/UntrustedFile.h"

namespace zorvane {

std::optional<std::string> FlatpakSandbox::applicationOf(const std::filesystem::path& procRoot,
                                                         std::int32_t pid) {
    const auto opening = UntrustedFile::open(LinuxProcFiles::processDirectory(procRoot, pid) /
                                                 "root" / ".flatpak-info",
                                             maximumInfoSize);
    // The owner is checked on the descriptor that is read, so the file cannot be swapped
    // between the check and the read.
    if (!opening.file || opening.file->owner() != 0) {
        return std::nullopt;
    }
    const auto reading = opening.file->readAll(maximumInfoSize);
    const auto info = reading.bytes ? KeyFile::parse(*reading.bytes) : std::nullopt;
    if (!info) {
        return std::nullopt;
    }
    auto name = info->string("Application", "name");
    if (!name || name->empty() || name->find('/') != std::string::npos) {
        return std::nullopt;
    }
    return name;
}

} // namespace zorvane
