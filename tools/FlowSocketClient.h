#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace zorvane {

// A client of the filter host's filter.sock: one request line out, one reply line back.
class FlowSocketClient {
public:
    enum class Outcome {
        replied,    // reply holds the host's answer
        notRunning, // nobody serves the socket (no file, or connection refused)
        failed,     // the host did not answer in time, or the connection broke
    };
    struct Result {
        Outcome outcome = Outcome::failed;
        std::string reply;   // the reply line without its line break, when replied
        std::string problem; // what went wrong, when failed
    };

    explicit FlowSocketClient(std::filesystem::path socketPath,
                              std::chrono::milliseconds timeout = std::chrono::seconds(5));

    Result exchange(const std::string& requestLine) const;

private:
    std::filesystem::path socketPath_;
    std::chrono::milliseconds timeout_;
};

} // namespace zorvane
