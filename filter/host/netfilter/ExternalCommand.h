#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// One run of a system tool (iptables and its kin): the input is written to its standard input,
// its standard output is collected, its standard error passes through to ours.
class ExternalCommand {
public:
    struct Result {
        bool started = false;
        int exitStatus = -1; // -1 when it did not exit normally
        std::string output;

        bool succeeded() const { return started && exitStatus == 0; }
    };

    // The program is found in the search path, and in /usr/sbin and /sbin (where Debian keeps
    // the netfilter tools, often outside a user's path).
    static Result run(const std::vector<std::string>& arguments, std::string_view input = {});
};

} // namespace zorvane
