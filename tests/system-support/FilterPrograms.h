#pragma once

#include "ChildProcess.h"
#include "shared/PlistValue.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zorvane::testing {

// The filter's programs (ZorvaneFilter and zorvane-system) run as children against one system
// directory, the way a person runs them; each run's output lands in the log directory.
class FilterPrograms {
public:
    struct Executables {
        std::filesystem::path filter; // ZorvaneFilter
        std::filesystem::path tool;   // zorvane-system
    };

    FilterPrograms(Executables executables, std::filesystem::path systemDirectory,
                   std::filesystem::path logDirectory);

    const std::filesystem::path& systemDirectory() const { return systemDirectory_; }
    std::filesystem::path flowSocket() const;
    // This process's environment with ZORVANE_SYSTEM_DIR naming the system directory.
    std::vector<std::string> environment() const;

    // Any program with that environment, not waited for; its output in the log directory,
    // under `name` and a run number.
    std::unique_ptr<ChildProcess> launch(const std::filesystem::path& executable,
                                         const std::vector<std::string>& arguments,
                                         const std::string& name);
    // ZorvaneFilter with these arguments (a host, or a keeper and its host), once filter.sock
    // answers; when it never does, the test has failed already.
    std::unique_ptr<ChildProcess> startHost(const std::vector<std::string>& arguments = {});
    // zorvane-system with these arguments, ended (or killed past the usual limit).
    std::unique_ptr<ChildProcess> runTool(const std::vector<std::string>& arguments);
    // The program's exit status once it ended within the limit (128 + signal for a signal
    // death); none when it overran, and then it is killed.
    std::optional<int> run(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments,
                           std::chrono::milliseconds limit = std::chrono::seconds(10));

    // Whether a client can connect to filter.sock now.
    bool serves() const;

    // Writes an enabled (or disabled) configuration blocking these code identity keys, with
    // further vendor entries; false when it could not be written.
    [[nodiscard]] bool writeConfiguration(bool enabled, PlistArray blockedIdentities,
                                          PlistDictionary vendorConfiguration = {}) const;

private:
    Executables executables_;
    std::filesystem::path systemDirectory_;
    std::filesystem::path logDirectory_;
    int runs_ = 0;
};

} // namespace zorvane::testing
