#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Decides which code is the system's own and so may never be blocked or listed.
class OwnIdentifier {
public:
    static constexpr std::string_view applicationIdentifier = "dev.quillmoor.Zorvane";
    static constexpr std::string_view filterExtensionSuffix = ".FilterExtension";

    // The roots are the application's fixed identifier and the running program's main-bundle
    // identifier without a trailing ".FilterExtension" (so that the filter and the application
    // agree). An absent or empty identifier, or one that would leave an empty root, adds nothing.
    explicit OwnIdentifier(std::optional<std::string> mainBundleIdentifier);

    // Own: equal to a root, or a root followed by "." and anything. Exact and case-sensitive.
    bool isOwnIdentifier(std::string_view identifier) const;

    const std::vector<std::string>& roots() const { return roots_; }

private:
    std::vector<std::string> roots_;
};

} // namespace zorvane
