#include "tools/ApproveCommand.h"

#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/InstalledTree.h"
#include "tools/SystemApproval.h"
#include "zorvane/BuildInfo.h"

#include <cstdlib>
#include <optional>
#include <unistd.h>

namespace zorvane {

const char* const ApproveCommand::usage =
    "usage: zorvane-system approve [IDENTIFIER]\n"
    "\n"
    "Allows the system extensions that wait for approval (or only the one with this bundle\n"
    "identifier), as the user does in System Settings on macOS. The application that asked for\n"
    "the extension then finishes its activation and starts the filter host.\n"
    "\n"
    "Installed from the Debian package, it is the administrator's act instead:\n"
    "  zorvane-system approve [--user NAME]\n"
    "asks for an administrator's password (pkexec; or run it with sudo), lets the desktop user\n"
    "who ran it (or NAME) choose what the filter blocks, and enables and starts the filter\n"
    "service.\n";

namespace {

std::optional<std::string> approvingUser(const std::optional<std::string>& named) {
    if (named) {
        return named;
    }
    // pkexec and sudo both say who asked for them.
    for (const char* variable : {"PKEXEC_UID", "SUDO_UID"}) {
        if (const char* value = std::getenv(variable); value && *value) {
            return std::string(value);
        }
    }
    return std::nullopt;
}

} // namespace

int ApproveCommand::runAsAdministrator(const std::vector<std::string>& arguments,
                                       const std::filesystem::path& systemDirectory, std::FILE* out,
                                       std::FILE* err) {
    std::optional<std::string> named;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == "--help" || arguments[i] == "-h") {
            std::fputs(usage, out);
            return 0;
        }
        if (arguments[i] == "--user" && i + 1 < arguments.size() && !named) {
            named = arguments[++i];
            continue;
        }
        std::fprintf(err, "zorvane-system approve: unexpected argument: %s\n%s",
                     arguments[i].c_str(), usage);
        return 2;
    }
    const std::string self = (InstalledTree::prefix() / "bin" / "zorvane-system").string();
    if (::geteuid() != 0) {
        std::vector<const char*> command{"pkexec", self.c_str(), "approve"};
        for (const auto& argument : arguments) {
            command.push_back(argument.c_str());
        }
        command.push_back(nullptr);
        std::fflush(out);
        ::execvp("pkexec", const_cast<char* const*>(command.data()));
        std::fprintf(err, "zorvane-system approve: approving the filter is an administrator's "
                          "act, and pkexec is not installed; run: sudo zorvane-system approve\n");
        return 1;
    }
    const auto name = approvingUser(named);
    if (!name) {
        std::fprintf(err, "zorvane-system approve: name the desktop user who will choose what "
                          "the filter blocks: zorvane-system approve --user NAME\n");
        return 2;
    }
    const auto user = SystemApproval::lookUp(*name);
    if (!user) {
        std::fprintf(err, "zorvane-system approve: no user %s\n", name->c_str());
        return 1;
    }
    const std::string identifier = build_info::filterBundleIdentifier;
    const auto extension = InstalledTree::prefix() / "Zorvane.app" / "Contents" / "Library" /
                           "SystemExtensions" / (identifier + ".systemextension");
    if (auto problem = SystemApproval::grant(systemDirectory, identifier, extension, *user)) {
        std::fprintf(err, "zorvane-system approve: %s\n", problem->c_str());
        return 1;
    }
    std::fprintf(out, "Approved %s: user %s chooses what it blocks\n", identifier.c_str(),
                 name->c_str());
    const auto filter = extension / "Contents" / "MacOS" / "ZorvaneFilter";
    std::error_code error;
    if (!std::filesystem::is_directory("/run/systemd/system", error)) {
        std::fprintf(out,
                     "systemd does not run this machine, so the filter service cannot start. "
                     "Start the filter as root with:\n  ZORVANE_SYSTEM_DIR=%s %s --keep-alive "
                     "--netfilter\n",
                     systemDirectory.c_str(), filter.c_str());
        return 0;
    }
    // Restarted, not only started: a running filter reads the approved user's directory only
    // from its start on.
    const std::string service = build_info::serviceName;
    const std::string start =
        "systemctl enable --quiet " + service + " && systemctl restart " + service;
    std::fflush(out);
    if (std::system(start.c_str()) != 0) {
        std::fprintf(err,
                     "zorvane-system approve: the filter service did not start; see: "
                     "systemctl status %s\n",
                     service.c_str());
        return 1;
    }
    std::fprintf(out, "The filter service %s is enabled and running\n", service.c_str());
    return 0;
}

int ApproveCommand::run(const std::vector<std::string>& arguments,
                        const std::filesystem::path& systemDirectory, std::FILE* out,
                        std::FILE* err) {
    if (InstalledTree::runsFromIt()) {
        return runAsAdministrator(arguments, systemDirectory, out, err);
    }
    std::optional<std::string> only;
    if (!arguments.empty()) {
        if (arguments.front() == "--help" || arguments.front() == "-h") {
            std::fputs(usage, out);
            return 0;
        }
        if (arguments.size() > 1 || arguments.front().empty() ||
            arguments.front().starts_with("-")) {
            std::fprintf(err, "zorvane-system approve: unexpected argument: %s\n%s",
                         arguments.back().c_str(), usage);
            return 2;
        }
        only = arguments.front();
    }

    using State = SystemExtensionRecord::State;
    std::vector<std::string> approved;
    std::vector<std::string> alreadyActive;
    bool known = !only;
    const bool written =
        ExtensionStateFile(systemDirectory).update([&](ExtensionStateFile::Records& records) {
            for (auto& [identifier, record] : records) {
                if (only && identifier != *only) {
                    continue;
                }
                known = true;
                if (record.state == State::awaitingApproval) {
                    record.state = State::activated;
                    approved.push_back(identifier);
                } else if (record.state == State::activated) {
                    alreadyActive.push_back(identifier);
                }
            }
            return !approved.empty();
        });
    if (!written) {
        std::fprintf(err, "zorvane-system approve: cannot write %s\n",
                     ExtensionStateFile(systemDirectory).path().c_str());
        return 1;
    }
    if (!known) {
        std::fprintf(err, "zorvane-system approve: no system extension %s was requested\n",
                     only->c_str());
        return 1;
    }
    for (const auto& identifier : approved) {
        std::fprintf(out, "Approved %s\n", identifier.c_str());
    }
    for (const auto& identifier : alreadyActive) {
        std::fprintf(out, "Already approved: %s\n", identifier.c_str());
    }
    if (approved.empty() && alreadyActive.empty()) {
        std::fprintf(out, "No system extension awaits approval\n");
    }
    return 0;
}

} // namespace zorvane
