#include "app/store/ProgramLocator.h"

#include <deque>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace fs = std::filesystem;

namespace {

bool isInsideProc(const std::string& path) {
    return path == "/proc" || path.starts_with("/proc/");
}

void prependComponents(std::deque<std::string>& parts, std::string_view path) {
    std::vector<std::string> components;
    while (!path.empty()) {
        const auto slash = path.find('/');
        const auto part = path.substr(0, slash);
        if (!part.empty()) {
            components.emplace_back(part);
        }
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
    }
    parts.insert(parts.begin(), components.begin(), components.end());
}

} // namespace

ProgramLocator::Located ProgramLocator::canonicalProgram(const fs::path& absolute) {
    const std::string& text = absolute.native();
    if (text.empty() || text.front() != '/') {
        return {std::nullopt, Failure::notFound};
    }
    std::deque<std::string> parts;
    prependComponents(parts, text);
    std::string resolved; // "" is the root
    int links = 0;
    while (!parts.empty()) {
        std::string part = std::move(parts.front());
        parts.pop_front();
        if (part == ".") {
            continue;
        }
        if (part == "..") {
            resolved.resize(resolved.empty() ? 0 : resolved.rfind('/'));
            continue;
        }
        std::string candidate = resolved + "/" + part;
        if (isInsideProc(candidate)) {
            return {std::nullopt, Failure::intoProc};
        }
        struct stat status {};
        if (::lstat(candidate.c_str(), &status) != 0) {
            return {std::nullopt, Failure::notFound};
        }
        if (!S_ISLNK(status.st_mode)) {
            resolved = std::move(candidate);
            continue;
        }
        if (++links > maximumLinks) {
            return {std::nullopt, Failure::linkLoop};
        }
        std::string target(4096, '\0');
        const ssize_t length = ::readlink(candidate.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
            return {std::nullopt, Failure::notFound};
        }
        target.resize(static_cast<std::size_t>(length));
        if (target.front() == '/') {
            resolved.clear();
        }
        prependComponents(parts, target);
    }
    if (resolved.empty()) {
        return {std::nullopt, Failure::notExecutable}; // the root directory
    }
    struct stat status {};
    if (::stat(resolved.c_str(), &status) != 0) {
        return {std::nullopt, Failure::notFound};
    }
    if (!S_ISREG(status.st_mode) || ::access(resolved.c_str(), X_OK) != 0) {
        return {std::nullopt, Failure::notExecutable};
    }
    return {fs::path(resolved), std::nullopt};
}

ProgramLocator::Located ProgramLocator::find(std::string_view command,
                                             std::string_view searchPath) {
    if (command.empty()) {
        return {std::nullopt, Failure::notFound};
    }
    if (command.find('/') != std::string_view::npos) {
        return canonicalProgram(fs::path(std::string(command)));
    }
    // When every candidate fails, the most telling failure is the one reported: a program
    // that exists but cannot run says more than the directories where it is missing.
    Failure worst = Failure::notFound;
    while (true) {
        const auto colon = searchPath.find(':');
        const auto directory = searchPath.substr(0, colon);
        // Only absolute directories: an empty or relative entry would mean wherever we happen
        // to run from.
        if (!directory.empty() && directory.front() == '/') {
            auto located =
                canonicalProgram(fs::path(std::string(directory)) / std::string(command));
            if (located.program) {
                return located;
            }
            if (*located.failure != Failure::notFound) {
                worst = *located.failure;
            }
        }
        if (colon == std::string_view::npos) {
            break;
        }
        searchPath.remove_prefix(colon + 1);
    }
    return {std::nullopt, worst};
}

} // namespace zorvane
