#include "tools/ApproveCommand.h"

#include "platform/linux/ExtensionStateFile.h"

#include <optional>

namespace zorvane {

const char* const ApproveCommand::usage =
    "usage: zorvane-system approve [IDENTIFIER]\n"
    "\n"
    "Allows the system extensions that wait for approval (or only the one with this bundle\n"
    "identifier), as the user does in System Settings on macOS. The application that asked for\n"
    "the extension then finishes its activation and starts the filter host.\n";

int ApproveCommand::run(const std::vector<std::string>& arguments,
                        const std::filesystem::path& systemDirectory, std::FILE* out,
                        std::FILE* err) {
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
