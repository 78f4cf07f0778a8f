#include "zorvane/BuildInfo.h"
#ifdef ZORVANE_HAVE_INSPECT
#include "tools/InspectCommand.h"
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int usage() {
    std::fprintf(stderr, "usage: zorvane-system <command> [arguments]\n"
                         "commands are added as the system grows\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zorvane-system %s (%s)\n", zorvane::build_info::shortVersion,
                    zorvane::build_info::buildNumber);
        return 0;
    }
#ifdef ZORVANE_HAVE_INSPECT
    if (argc >= 2 && std::strcmp(argv[1], "inspect") == 0) {
        return zorvane::tools::runInspect(std::vector<std::string>(argv + 2, argv + argc));
    }
#endif
    return usage();
}
