// zorvane-system: what a person does on Linux that macOS would ask of the user or the kernel.
#include "platform/linux/SystemDirectory.h"
#include "tools/ApproveCommand.h"
#include "tools/FlowCommand.h"
#include "tools/StatusCommand.h"
#ifdef ZORVANE_HAVE_INSPECT
#include "tools/InspectCommand.h"
#endif
#include "zorvane/BuildInfo.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace zorvane;

using CommandFunction = int (*)(const std::vector<std::string>&, const std::filesystem::path&,
                                std::FILE*, std::FILE*);

struct Command {
    const char* name;
    const char* summary;
    CommandFunction run;
    bool needsSystemDirectory;
};

constexpr Command commands[] = {
    {"status", "the extension's state, the filter's configuration and whether its host runs",
     &StatusCommand::run, true},
    {"approve", "allow the system extension that waits for approval", &ApproveCommand::run, true},
    {"flow", "ask the running filter for its verdict on one flow", &FlowCommand::run, true},
#ifdef ZORVANE_HAVE_INSPECT
    {"inspect", "what Zorvane would block for an application bundle", &InspectCommand::run, false},
#endif
};

int usage(std::FILE* out, int status) {
    std::fprintf(out, "usage: zorvane-system <command> [arguments]\n\ncommands:\n");
    for (const auto& command : commands) {
        std::fprintf(out, "  %-8s %s\n", command.name, command.summary);
    }
    std::fprintf(out, "\n'zorvane-system <command> --help' describes a command.\n"
                      "The system directory is $ZORVANE_SYSTEM_DIR, default "
                      "$XDG_STATE_HOME/zorvane/system.\n");
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc < 2) {
        return usage(stderr, 2);
    }
    const std::string name = argv[1];
    if (name == "--version") {
        std::printf("zorvane-system %s (%s)\n", build_info::shortVersion, build_info::buildNumber);
        return 0;
    }
    if (name == "--help" || name == "-h" || name == "help") {
        return usage(stdout, 0);
    }
    for (const auto& command : commands) {
        if (name == command.name) {
            const auto directory =
                command.needsSystemDirectory
                    ? SystemDirectory::path()
                    : std::optional<std::filesystem::path>(std::filesystem::path());
            if (!directory) {
                std::fprintf(
                    stderr,
                    "zorvane-system: no system directory: set ZORVANE_SYSTEM_DIR or HOME\n");
                return 1;
            }
            return command.run(std::vector<std::string>(argv + 2, argv + argc), *directory, stdout,
                               stderr);
        }
    }
    std::fprintf(stderr, "zorvane-system: unknown command: %s\n", name.c_str());
    return usage(stderr, 2);
}
