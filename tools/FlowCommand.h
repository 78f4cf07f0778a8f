#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// zorvane-system flow: asks the running filter for its verdict on one new flow opened by
// simulated processes, the way the kernel would ask it on macOS.
class FlowCommand {
public:
    static const char* const usage;

    struct Options {
        std::string application; // absolute executable path of the source application
        std::string process;     // absolute executable path of the source process
        std::string host;
        std::uint16_t port = 0;
        bool udp = false;
        bool inbound = false;
    };
    struct Parsed {
        std::optional<Options> options;
        std::string usageError; // set when the arguments are wrong
        bool helpRequested = false;
    };

    // The arguments after "flow". An --app or --process naming a directory means the bundle's
    // main executable (Contents/MacOS/<CFBundleExecutable>).
    static Parsed parse(const std::vector<std::string>& arguments);
    static std::string requestLine(const Options& options);

    // Exit status: 0 with a verdict printed, 1 when the host failed to answer or refused the
    // request, 2 for wrong arguments.
    static int run(const std::vector<std::string>& arguments,
                   const std::filesystem::path& systemDirectory, std::FILE* out, std::FILE* err);
};

} // namespace zorvane
