#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zorvane {

// A program of the system under test, started as a child process with a given environment and
// its standard output and error in files (<output>.out, <output>.err). Killed (SIGKILL) and
// reaped when the object goes, unless it has ended already.
class ChildProcess {
public:
    ChildProcess(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::filesystem::path& output);
    ~ChildProcess();

    // This process's environment with the given NAME=VALUE entries in place of inherited ones;
    // an entry NAME without a value removes that name.
    static std::vector<std::string> environmentWith(const std::vector<std::string>& entries);

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int number) const;

    // The exit status once it ended within the limit: its exit code, or 128 + the signal that
    // ended it.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(20));
    bool running();

    std::string standardOutput() const;
    std::string standardError() const;

private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
    std::optional<int> status_;
};

} // namespace zorvane
