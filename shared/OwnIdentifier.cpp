#include "OwnIdentifier.h"

#include <algorithm>

namespace zorvane {

OwnIdentifier::OwnIdentifier(std::optional<std::string> mainBundleIdentifier) {
    roots_.emplace_back(applicationIdentifier);
    if (!mainBundleIdentifier) {
        return;
    }
    std::string root = std::move(*mainBundleIdentifier);
    if (root.ends_with(filterExtensionSuffix)) {
        root.resize(root.size() - filterExtensionSuffix.size());
    }
    // An empty root would make every identifier that begins with "." own.
    if (!root.empty() && std::find(roots_.begin(), roots_.end(), root) == roots_.end()) {
        roots_.push_back(std::move(root));
    }
}

bool OwnIdentifier::isOwnIdentifier(std::string_view identifier) const {
    return std::any_of(roots_.begin(), roots_.end(), [identifier](const std::string& root) {
        return identifier == root ||
               (identifier.size() > root.size() && identifier.starts_with(root) &&
                identifier[root.size()] == '.');
    });
}

} // namespace zorvane
