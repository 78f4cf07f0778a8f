#include "app/store/LinuxApplicationInspector.h"

#include "app/store/ApplicationInspector.h"
#include "app/store/ElfExecutable.h"
#include "app/store/ExecLine.h"
#include "app/store/IconThemeLookup.h"
#include "app/store/ProgramLocator.h"
#include "shared/KeyFile.h"
#include "shared/UntrustedFile.h"
#include "shared/Utf8.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace fs = std::filesystem;
using Error = ApplicationInspectionError;

namespace {

constexpr std::string_view entryGroup = "Desktop Entry";

std::string lowercased(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

Error errorFor(ProgramLocator::Failure failure) {
    switch (failure) {
    case ProgramLocator::Failure::notFound:
        return Error::programNotFound;
    case ProgramLocator::Failure::notExecutable:
        return Error::programNotExecutable;
    case ProgramLocator::Failure::linkLoop:
    case ProgramLocator::Failure::intoProc:
        return Error::programPathUnusable;
    }
    return Error::programNotFound;
}

// What the program itself is: only an ELF program has code of its own to block. A script, or an
// interpreter started on one, would have the interpreter blocked for everything it runs.
std::optional<Error> checkProgram(const fs::path& program) {
    if (BlockedApplication::isInterpreterProgram(program.native())) {
        return Error::interpretedProgram;
    }
    const auto opening = UntrustedFile::open(program, std::numeric_limits<std::uint64_t>::max());
    if (!opening.file) {
        return Error::programNotExecutable;
    }
    std::array<std::uint8_t, 2> start{};
    if (const auto got = opening.file->readAt(0, start);
        got && *got == 2 && start[0] == '#' && start[1] == '!') {
        return Error::interpretedProgram;
    }
    if (!ElfExecutable::isExecutable(*opening.file)) {
        return Error::notAProgram;
    }
    return std::nullopt;
}

// The main identity of a program, after the checks that every such identity must pass.
std::variant<CodeIdentity, Error> programIdentity(const fs::path& program) {
    if (const auto problem = checkProgram(program)) {
        return *problem;
    }
    if (!Utf8::isValid(program.native())) {
        return Error::pathNotText;
    }
    if (program.native().size() > ApplicationInspector::maximumIdentifierSize) {
        return Error::identifierTooLong;
    }
    return CodeIdentity::make(program.native(), std::nullopt);
}

bool isMultiarchDirectory(const fs::path& directory) {
    const std::string parent = directory.parent_path().native();
    return (parent == "/usr/lib" || parent == "/lib" || parent == "/usr/lib64" ||
            parent == "/usr/lib32") &&
           directory.filename().native().find("-linux-") != std::string::npos;
}

} // namespace

LinuxApplicationInspector::LinuxApplicationInspector(DesktopEnvironment environment,
                                                     IconRenderer iconRenderer)
    : environment_(std::move(environment)), iconRenderer_(std::move(iconRenderer)) {}

LinuxApplicationInspector::Result LinuxApplicationInspector::inspect(const fs::path& item,
                                                                     const Uuid& id) const {
    if (!Utf8::isValid(item.native())) {
        return Error::pathNotText;
    }
    const std::string extension = lowercased(item.extension().native());
    if (extension == ".desktop") {
        return inspectDesktopEntry(item, id);
    }
    // stat does not open the file, so a FIFO costs no wait here.
    struct stat status {};
    if (::stat(item.c_str(), &status) != 0 || !S_ISREG(status.st_mode) ||
        ::access(item.c_str(), X_OK) != 0) {
        return Error::notAnApplication;
    }
    return inspectProgram(item, id);
}

LinuxApplicationInspector::Result
LinuxApplicationInspector::inspectDesktopEntry(const fs::path& entry, const Uuid& id) const {
    const auto reading = UntrustedFile::read(entry, maximumDesktopEntrySize);
    if (!reading.bytes) {
        return *reading.error == UntrustedFile::Error::tooLarge ? Error::desktopEntryTooLarge
                                                                : Error::unreadableDesktopEntry;
    }
    const auto file = KeyFile::parse(*reading.bytes);
    if (!file || file->string(entryGroup, "Type") != "Application") {
        return Error::invalidDesktopEntry;
    }

    std::vector<std::string> arguments;
    if (const auto exec = file->string(entryGroup, "Exec")) {
        auto split = ExecLine::split(*exec);
        if (!split) {
            return Error::invalidDesktopEntry;
        }
        arguments = std::move(*split);
    }
    // Empty when there is no program to run.
    std::string command;
    // Flatpak exports entries whose Exec runs "flatpak run <app-id>"; the key names the same
    // application and wins when both are there.
    std::optional<std::string> flatpak = file->string(entryGroup, "X-Flatpak");
    if (const auto programAt = ExecLine::programIndex(arguments)) {
        command = arguments[*programAt];
        if (!flatpak) {
            flatpak = ExecLine::flatpakApplication(arguments, *programAt);
        }
    }

    BlockedApplication application;
    application.id = id;
    application.bundleIdentifier = desktopFileId(entry, environment_);
    application.name =
        file->localeString(entryGroup, "Name", environment_.locale).value_or(entry.stem().native());
    application.path = entry.native();
    application.inspectionVersion = ApplicationInspector::currentInspectionVersion;

    if (flatpak) {
        if (!isFlatpakApplicationId(*flatpak)) {
            return Error::invalidDesktopEntry;
        }
        // Every process in the sandbox carries the application's ID, so it needs no helpers.
        application.signingIdentifier = *flatpak;
        application.auxiliaryCodeIdentities.emplace();
    } else {
        if (const auto tryExec = file->string(entryGroup, "TryExec");
            tryExec && !tryExec->empty()) {
            // The desktop hides such an entry: what it would start is not installed.
            if (const auto located = ProgramLocator::find(*tryExec, environment_.searchPath);
                !located.program) {
                return errorFor(*located.failure);
            }
        }
        if (command.empty()) {
            return Error::missingProgram;
        }
        const auto located = ProgramLocator::find(command, environment_.searchPath);
        if (!located.program) {
            return errorFor(*located.failure);
        }
        auto identity = programIdentity(*located.program);
        if (const auto* problem = std::get_if<Error>(&identity)) {
            return *problem;
        }
        application.signingIdentifier = std::get<CodeIdentity>(identity).signingIdentifier;
        application.auxiliaryCodeIdentities = discoverHelpers(*located.program, environment_);
    }
    if (application.bundleIdentifier.size() > ApplicationInspector::maximumIdentifierSize) {
        return Error::identifierTooLong;
    }
    application.iconData = icon(file->string(entryGroup, "Icon").value_or(""));
    return application;
}

LinuxApplicationInspector::Result LinuxApplicationInspector::inspectProgram(const fs::path& program,
                                                                            const Uuid& id) const {
    const auto located = ProgramLocator::canonicalProgram(program);
    if (!located.program) {
        return errorFor(*located.failure);
    }
    auto identity = programIdentity(*located.program);
    if (const auto* problem = std::get_if<Error>(&identity)) {
        return *problem;
    }
    const std::string name = program.filename().native();
    BlockedApplication application;
    application.id = id;
    application.name = name;
    application.bundleIdentifier = name;
    application.signingIdentifier = std::get<CodeIdentity>(identity).signingIdentifier;
    application.auxiliaryCodeIdentities = discoverHelpers(*located.program, environment_);
    application.inspectionVersion = ApplicationInspector::currentInspectionVersion;
    application.path = program.native();
    application.iconData = icon(name);
    return application;
}

std::optional<std::vector<std::uint8_t>>
LinuxApplicationInspector::icon(std::string_view name) const {
    if (!iconRenderer_) {
        return std::nullopt;
    }
    for (const auto& candidate : IconThemeLookup::candidates(name, environment_)) {
        if (auto rendered = iconRenderer_(candidate)) {
            return rendered;
        }
    }
    return std::nullopt;
}

std::vector<CodeIdentity>
LinuxApplicationInspector::discoverHelpers(const fs::path& program,
                                           const DesktopEnvironment& environment) {
    const fs::path directory = program.parent_path();
    if (isSharedDirectory(directory, environment)) {
        return {};
    }
    std::set<CodeIdentity> found;
    std::error_code error;
    fs::directory_iterator it(directory, fs::directory_options::skip_permission_denied, error);
    std::size_t seen = 0;
    for (const fs::directory_iterator end; !error && it != end && seen < maximumDirectoryEntries;
         it.increment(error), ++seen) {
        const fs::directory_entry& entry = *it;
        const std::string& path = entry.path().native();
        if (entry.path().filename().native().starts_with('.') || path == program.native()) {
            continue;
        }
        // A link names another file, whose canonical path is what the filter would see; the
        // files that really lie here are the application's.
        std::error_code statusError;
        if (entry.is_symlink(statusError) || !entry.is_regular_file(statusError) || statusError ||
            ::access(path.c_str(), X_OK) != 0) {
            continue;
        }
        if (!Utf8::isValid(path) || path.size() > ApplicationInspector::maximumIdentifierSize ||
            !ElfExecutable::isExecutable(entry.path())) {
            continue;
        }
        found.insert(CodeIdentity::make(path, std::nullopt));
    }
    std::vector<CodeIdentity> helpers(found.begin(), found.end());
    if (helpers.size() > ApplicationInspector::maximumHelperCount) {
        helpers.resize(ApplicationInspector::maximumHelperCount);
    }
    return helpers;
}

bool LinuxApplicationInspector::isSharedDirectory(const fs::path& directory,
                                                  const DesktopEnvironment& environment) {
    static const std::set<std::string, std::less<>> shared = {"/",
                                                              "/bin",
                                                              "/sbin",
                                                              "/lib",
                                                              "/lib32",
                                                              "/lib64",
                                                              "/usr",
                                                              "/usr/bin",
                                                              "/usr/sbin",
                                                              "/usr/lib",
                                                              "/usr/lib32",
                                                              "/usr/lib64",
                                                              "/usr/libexec",
                                                              "/usr/games",
                                                              "/usr/local",
                                                              "/usr/share",
                                                              "/opt",
                                                              "/home",
                                                              "/root",
                                                              "/tmp",
                                                              "/var/tmp",
                                                              "/snap/bin",
                                                              "/var/lib/flatpak/exports/bin"};
    const fs::path normal = directory.lexically_normal();
    const std::string& text = normal.native();
    if (shared.contains(text) || isMultiarchDirectory(normal)) {
        return true;
    }
    const std::string parent = normal.parent_path().native();
    // /usr/local/bin, /usr/local/lib... and every person's home with its own program folders.
    if (parent == "/usr/local" || parent == "/home") {
        return true;
    }
    if (!environment.home.empty()) {
        const fs::path home = environment.home.lexically_normal();
        if (normal == home || normal == home / "bin" || normal == home / ".local/bin") {
            return true;
        }
    }
    return false;
}

std::string LinuxApplicationInspector::desktopFileId(const fs::path& entry,
                                                     const DesktopEnvironment& environment) {
    const std::string path = entry.lexically_normal().native();
    for (const auto& directory : environment.applicationDirectories()) {
        const std::string prefix = directory.lexically_normal().native() + "/";
        if (path.size() > prefix.size() && path.starts_with(prefix)) {
            std::string id = path.substr(prefix.size());
            std::replace(id.begin(), id.end(), '/', '-');
            return id;
        }
    }
    return entry.filename().native();
}

bool LinuxApplicationInspector::isFlatpakApplicationId(std::string_view id) {
    if (id.empty() || id.size() > 255) {
        return false;
    }
    std::size_t elements = 0;
    while (true) {
        const auto dot = id.find('.');
        const auto element = id.substr(0, dot);
        if (element.empty() || (element.front() >= '0' && element.front() <= '9')) {
            return false;
        }
        for (const char c : element) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-') {
                return false;
            }
        }
        ++elements;
        if (dot == std::string_view::npos) {
            break;
        }
        id.remove_prefix(dot + 1);
    }
    return elements >= 2;
}

} // namespace zorvane
