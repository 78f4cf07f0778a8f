#include "ChildProcess.h"

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace zorvane {
namespace {

std::string contents(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

std::vector<std::string> ChildProcess::environmentWith(const std::vector<std::string>& entries) {
    std::map<std::string, std::string> values;
    const auto put = [&values](const std::string& entry) {
        if (const auto equals = entry.find('='); equals != std::string::npos) {
            values[entry.substr(0, equals)] = entry.substr(equals + 1);
        } else {
            values.erase(entry);
        }
    };
    for (char** entry = environ; *entry; ++entry) {
        put(*entry);
    }
    for (const auto& entry : entries) {
        put(entry);
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : values) {
        environment.push_back(name + "=" + value);
    }
    return environment;
}

ChildProcess::ChildProcess(const std::filesystem::path& executable,
                           const std::vector<std::string>& arguments,
                           const std::vector<std::string>& environment,
                           const std::filesystem::path& output)
    : output_(output) {
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, (output.string() + ".out").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, (output.string() + ".err").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

void ChildProcess::signal(int number) const {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!status_ && pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        } else if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return status_;
}

bool ChildProcess::running() {
    return pid_ > 0 && !waitForExit(std::chrono::milliseconds(0));
}

std::string ChildProcess::standardOutput() const {
    return contents(output_.string() + ".out");
}

std::string ChildProcess::standardError() const {
    return contents(output_.string() + ".err");
}

} // namespace zorvane
