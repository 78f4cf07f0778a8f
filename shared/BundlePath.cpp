#include "shared/BundlePath.h"

#include <vector>

namespace zorvane {

std::string BundlePath::lastComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    const auto slash = path.find_last_of('/');
    if (slash == std::string_view::npos || path.size() == 1) {
        return std::string(path);
    }
    return std::string(path.substr(slash + 1));
}

std::string BundlePath::standardized(std::string_view path, std::string_view currentDirectory) {
    std::string absolute;
    if (!path.starts_with('/')) {
        absolute.assign(currentDirectory);
        absolute.push_back('/');
    }
    absolute.append(path);

    std::vector<std::string_view> segments;
    std::string_view rest = absolute;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view segment = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (segment.empty() || segment == ".") {
            continue;
        }
        if (segment == "..") {
            // Above the root there is nothing to remove: "/.." is "/".
            if (!segments.empty()) {
                segments.pop_back();
            }
            continue;
        }
        segments.push_back(segment);
    }

    if (segments.empty()) {
        return "/";
    }
    std::string result;
    result.reserve(absolute.size());
    for (const auto segment : segments) {
        result.push_back('/');
        result.append(segment);
    }
    return result;
}

bool BundlePath::isUnder(std::string_view executablePath, std::string_view bundlePath) {
    if (!executablePath.starts_with(bundlePath)) {
        return false;
    }
    return executablePath.size() == bundlePath.size() || executablePath[bundlePath.size()] == '/';
}

} // namespace zorvane
