#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// The extension bundle the host executable runs from (Contents/MacOS/ZorvaneFilter inside
// dev.quillmoor.Zorvane.FilterExtension.systemextension).
class ExtensionBundle {
public:
    // The bundle identifier in the Info.plist next to the executable's directory
    // (Contents/MacOS/../Info.plist); empty when there is none or it names no identifier.
    static std::optional<std::string> identifier(const std::filesystem::path& executable);

    // The running executable's path; empty when the system cannot say.
    static std::optional<std::filesystem::path> runningExecutable();
};

} // namespace zorvane
