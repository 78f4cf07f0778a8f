#include "platform/linux/ContainerDirectory.h"

#include "platform/linux/XdgDirectories.h"

namespace zorvane {

std::optional<std::filesystem::path> ContainerDirectory::path() {
    if (auto explicitDirectory = XdgDirectories::environment("ZORVANE_CONTAINER_DIR")) {
        return std::filesystem::path(*explicitDirectory);
    }
    const auto dataHome = XdgDirectories::dataHome();
    if (!dataHome) {
        return std::nullopt;
    }
    return *dataHome / "zorvane" / groupIdentifier;
}

} // namespace zorvane
