#include "filter/host/netfilter/ExternalCommand.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace zorvane {
namespace {

std::string locate(const std::string& program) {
    if (program.find('/') != std::string::npos) {
        return program;
    }
    std::string directories = "/usr/sbin:/sbin";
    if (const char* path = std::getenv("PATH")) {
        directories = std::string(path) + ":" + directories;
    }
    std::size_t start = 0;
    while (start <= directories.size()) {
        const std::size_t end = std::min(directories.find(':', start), directories.size());
        const std::filesystem::path candidate =
            std::filesystem::path(directories.substr(start, end - start)) / program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return program;
}

void closeBoth(int (&pipe)[2]) {
    for (int& end : pipe) {
        if (end >= 0) {
            ::close(end);
            end = -1;
        }
    }
}

} // namespace

ExternalCommand::Result ExternalCommand::run(const std::vector<std::string>& arguments,
                                             std::string_view input) {
    Result result;
    if (arguments.empty()) {
        return result;
    }
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    // The input goes through a socket so that a tool that exits before reading all of it gives
    // EPIPE here instead of SIGPIPE to the whole host.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
        ::pipe2(out, O_CLOEXEC) != 0) {
        closeBoth(in);
        closeBoth(out);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);

    const std::string program = locate(arguments.front());
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = -1;
    const int spawned =
        ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in[0] = out[1] = -1;
    if (spawned != 0) {
        closeBoth(in);
        closeBoth(out);
        return result;
    }
    result.started = true;

    // Feed and drain together: a tool that writes much before it has read everything must not
    // block us both.
    std::size_t written = 0;
    if (input.empty()) {
        closeBoth(in);
    }
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{out[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
        const nfds_t count = in[1] >= 0 ? 2 : 1;
        if (::poll(fds, count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (count == 2 && (fds[1].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const ssize_t n =
                ::send(in[1], input.data() + written, input.size() - written, MSG_NOSIGNAL);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            }
            if (n < 0 && errno != EINTR && errno != EAGAIN) {
                written = input.size();
            }
            if (written == input.size()) {
                closeBoth(in);
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n > 0) {
                result.output.append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                break;
            }
        }
    }
    closeBoth(in);
    closeBoth(out);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        result.exitStatus = WEXITSTATUS(status);
    }
    return result;
}

} // namespace zorvane
