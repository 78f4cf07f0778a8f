#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// Flow requests sent over one connection to the filter host's filter.sock as fast as one client
// can: a writer thread keeps sending while the caller's thread reads the replies, so the host
// always has the next request at hand.
class FlowPipeline {
public:
    struct Result {
        std::uint64_t allowed = 0;
        std::uint64_t dropped = 0;
        std::uint64_t failed = 0; // error replies
        // From the first byte sent to the last reply read.
        std::chrono::duration<double> elapsed{0};
        // Set when the connection broke or the host stopped answering; the counts are what came
        // back until then.
        std::string problem;
    };

    // Sends count requests, request i being lines[i % lines.size()] (each without line break).
    static Result run(const std::filesystem::path& socket, const std::vector<std::string>& lines,
                      std::uint64_t count);

    // One request line: a flow of the simulated process running processExecutable on behalf of
    // the one running applicationExecutable, to host:port over TCP.
    static std::string request(const std::filesystem::path& applicationExecutable,
                               const std::filesystem::path& processExecutable,
                               const std::string& host, std::uint16_t port, bool inbound = false);
};

} // namespace zorvane
