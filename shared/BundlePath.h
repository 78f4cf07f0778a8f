#pragma once

#include <string>
#include <string_view>

namespace zorvane {

// Paths of application bundles as the block list names them, and the test whether an executable
// lies inside one.
class BundlePath {
public:
    static constexpr std::string_view bundleSuffix = ".app";

    // The file-URL standardisation of a path: relative paths are taken relative to
    // currentDirectory, "." segments and repeated "/" go, each ".." removes the segment before
    // it, and a trailing "/" is dropped.
    static std::string standardized(std::string_view path, std::string_view currentDirectory);

    // The last component of a path, trailing slashes ignored ("/a/b/" names "b"), as path APIs
    // name a file.
    static std::string lastComponent(std::string_view path);

    // Whether the text ends in ".app", the extension in any case: inspection accepts "Foo.APP"
    // as an application, so its path rules and allowances must hold as well. Only the
    // extension is compared without case; paths themselves stay case-sensitive.
    static bool hasBundleSuffix(std::string_view path) {
        if (path.size() < bundleSuffix.size()) {
            return false;
        }
        const std::string_view tail = path.substr(path.size() - bundleSuffix.size());
        for (std::size_t i = 0; i < tail.size(); ++i) {
            const char c = tail[i];
            const char lower = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
            if (lower != bundleSuffix[i]) {
                return false;
            }
        }
        return true;
    }

    // True when the executable path is the bundle path or lies below it. Plain text comparison:
    // the executable path is not standardised, and a sibling whose name merely starts with the
    // bundle's name does not match.
    static bool isUnder(std::string_view executablePath, std::string_view bundlePath);

    // Calls visit(prefix) for every P such that isUnder(executablePath, P) holds and P ends in
    // ".app", longest last; stops early and answers true when visit answers true. This turns
    // the search over many bundle paths into a few hash look-ups.
    template <typename Visit>
    static bool anyBundleCandidate(std::string_view executablePath, Visit&& visit) {
        for (std::size_t i = 1; i <= executablePath.size(); ++i) {
            if (i < executablePath.size() && executablePath[i] != '/') {
                continue;
            }
            const std::string_view prefix = executablePath.substr(0, i);
            if (hasBundleSuffix(prefix) && visit(prefix)) {
                return true;
            }
        }
        return false;
    }
};

} // namespace zorvane
