#include "platform/linux/LinuxLoginAgentService.h"

#include "platform/linux/AtomicFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/InstanceLock.h"
#include "platform/linux/XdgDirectories.h"
#include "shared/PlistCodec.h"
#include "shared/UntrustedFile.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sstream>
#include <string_view>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr std::size_t maximumListSize = 1024 * 1024;
constexpr std::string_view plistSuffix = ".plist";

const std::string* textAt(const PlistValue& dictionary, const char* key) {
    const PlistValue* value = dictionary.find(key);
    return value ? value->string() : nullptr;
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// Characters after which an argument needs quotes, by the desktop-entry rules for Exec.
bool needsQuotes(std::string_view argument) {
    if (argument.empty()) {
        return true;
    }
    return argument.find_first_of(" \t\n\"'\\><~|&;$*?#()`") != std::string_view::npos;
}

std::string quotedArgument(std::string_view argument) {
    std::string out;
    const bool quote = needsQuotes(argument);
    if (quote) {
        out += '"';
    }
    for (const char c : argument) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) {
            out += '\\';
        }
        // A lone "%" would start a field code.
        if (c == '%') {
            out += '%';
        }
        out += c;
    }
    if (quote) {
        out += '"';
    }
    return out;
}

// The escapes of every string value, applied after the quoting.
std::string escapedValue(std::string_view value) {
    std::string out;
    for (const char c : value) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

bool isHidden(const std::filesystem::path& entry) {
    // The autostart directory is the person's to edit: the entry may be anything, a FIFO
    // included, and is read through the same door as a bundle's files.
    const auto contents = UntrustedFile::read(entry, maximumListSize);
    if (!contents.bytes) {
        return false;
    }
    std::istringstream in(*contents.bytes);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        const std::string text = trimmed(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        if (text.front() == '[') {
            inMainGroup = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (inMainGroup && equals != std::string::npos &&
            trimmed(std::string_view(text).substr(0, equals)) == "Hidden") {
            return trimmed(std::string_view(text).substr(equals + 1)) == "true";
        }
    }
    return false;
}

std::filesystem::path resolved(const std::filesystem::path& path) {
    std::error_code error;
    auto canonical = std::filesystem::weakly_canonical(path, error);
    return error ? path : canonical;
}

// The program at the path the running agent started from, and no newer file there since.
bool isSameBuild(const InstanceLock::Holder& running, const std::filesystem::path& program) {
    return resolved(running.executable) == resolved(program) &&
           running.executableModified >= InstanceLock::modificationTime(resolved(program));
}

// Asks the agent to end, as a session ending would, and kills it when it has not let go of its
// lock within the grace time. False when it still holds the lock.
bool stopAgent(const InstanceLock::Holder& running, const std::filesystem::path& lockFile,
               std::chrono::milliseconds grace) {
    const auto released = [&](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (FileLock::isHeld(lockFile)) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    };
    ::kill(running.processIdentifier, SIGTERM);
    if (released(grace)) {
        return true;
    }
    ::kill(running.processIdentifier, SIGKILL);
    return released(std::chrono::milliseconds(1000));
}

// Runs the command in a session of its own, as the desktop runs an autostart entry: not this
// process's child, so that it outlives it and is never left a zombie. Everything the child does
// between fork and exec is async-signal-safe, as a process with threads requires.
bool startDetached(const std::vector<std::string>& command) {
    std::vector<char*> arguments;
    for (const auto& argument : command) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        ::setsid();
        const pid_t agent = ::fork();
        if (agent == 0) {
            const int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (input >= 0) {
                ::dup2(input, STDIN_FILENO);
            }
            // Nothing of this process's may live on in the agent: a listening socket it
            // inherited would keep the event channel's port taken after this process ended.
            if (::close_range(3, ~0U, 0) != 0) {
                for (int descriptor = 3; descriptor < 65536; ++descriptor) {
                    ::close(descriptor);
                }
            }
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execv(arguments.front(), arguments.data());
            ::_exit(127);
        }
        ::_exit(agent < 0 ? 1 : 0);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

LinuxLoginAgentService::LinuxLoginAgentService(std::filesystem::path bundle, std::string plistName)
    : LinuxLoginAgentService(std::move(bundle), std::move(plistName), Options{}) {}

LinuxLoginAgentService::LinuxLoginAgentService(std::filesystem::path bundle, std::string plistName,
                                               Options options)
    : bundle_(std::move(bundle)), plistName_(std::move(plistName)),
      autostartDirectory_(std::move(options.autostartDirectory)),
      agentLockFile_(std::move(options.agentLockFile)), startsAgent_(options.startsAgent),
      stopGrace_(options.stopGrace) {
    if (!autostartDirectory_) {
        if (auto config = XdgDirectories::configHome()) {
            autostartDirectory_ = *config / "autostart";
        }
    }
    if (!agentLockFile_) {
        agentLockFile_ = InstanceLock::statusAgentFile();
    }
    std::error_code error;
    if (auto absolute = std::filesystem::absolute(bundle_, error); !error) {
        bundle_ = absolute.lexically_normal();
    }
}

std::optional<std::filesystem::path> LinuxLoginAgentService::entryFile() const {
    // The name is a file name inside the bundle's folder, never a path.
    if (!autostartDirectory_ || plistName_.empty() || plistName_.find('/') != std::string::npos ||
        plistName_ == "." || plistName_ == "..") {
        return std::nullopt;
    }
    std::string name = plistName_;
    if (name.size() > plistSuffix.size() && name.ends_with(plistSuffix)) {
        name.resize(name.size() - plistSuffix.size());
    }
    return *autostartDirectory_ / (name + ".desktop");
}

std::optional<std::vector<std::string>> LinuxLoginAgentService::command() const {
    if (plistName_.empty() || plistName_.find('/') != std::string::npos) {
        return std::nullopt;
    }
    const auto list = PlistCodec::readFile(
        bundle_ / "Contents" / "Library" / "LaunchAgents" / plistName_, maximumListSize);
    if (!list || !list->isDictionary()) {
        return std::nullopt;
    }
    std::vector<std::string> arguments;
    if (const PlistValue* value = list->find("ProgramArguments")) {
        const PlistArray* array = value->array();
        if (!array) {
            return std::nullopt;
        }
        for (const auto& element : *array) {
            const std::string* text = element.string();
            if (!text) {
                return std::nullopt;
            }
            arguments.push_back(*text);
        }
    }
    std::string program;
    if (const std::string* bundleProgram = textAt(*list, "BundleProgram")) {
        program = *bundleProgram;
    } else if (const std::string* plainProgram = textAt(*list, "Program")) {
        program = *plainProgram;
    } else if (!arguments.empty()) {
        program = arguments.front();
    }
    if (program.empty()) {
        return std::nullopt;
    }
    std::vector<std::string> command{(bundle_ / program).lexically_normal().string()};
    // The first of ProgramArguments is the program's own name, whichever way it was given.
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        command.push_back(arguments[i]);
    }
    return command;
}

std::string LinuxLoginAgentService::execLine(const std::vector<std::string>& command) {
    std::string line;
    for (const auto& argument : command) {
        if (!line.empty()) {
            line += ' ';
        }
        line += quotedArgument(argument);
    }
    return escapedValue(line);
}

LoginAgentService::Status LinuxLoginAgentService::status() const {
    if (!command()) {
        return Status::notFound;
    }
    const auto entry = entryFile();
    std::error_code error;
    if (!entry || !std::filesystem::exists(*entry, error)) {
        return Status::notRegistered;
    }
    return isHidden(*entry) ? Status::requiresApproval : Status::enabled;
}

std::optional<LoginAgentService::Error> LinuxLoginAgentService::registerAgent() {
    const auto run = command();
    if (!run) {
        return Error::notFound;
    }
    const auto entry = entryFile();
    if (!entry) {
        return Error::writeFailed;
    }
    std::error_code error;
    if (std::filesystem::exists(*entry, error) && isHidden(*entry)) {
        return Error::disabledByUser;
    }
    std::filesystem::create_directories(entry->parent_path(), error);
    if (error) {
        return Error::writeFailed;
    }
    const auto info = PlistCodec::readFile(bundle_ / "Contents" / "Info.plist", maximumListSize);
    const std::string* bundleName = info ? textAt(*info, "CFBundleName") : nullptr;
    const std::string name =
        bundleName && !bundleName->empty() ? *bundleName : entry->stem().string();

    std::string contents = "[Desktop Entry]\n"
                           "Type=Application\n";
    contents += "Name=" + escapedValue(name) + "\n";
    contents += "Exec=" + execLine(*run) + "\n";
    contents += "Terminal=false\n"
                "NoDisplay=true\n"
                "X-GNOME-Autostart-enabled=true\n";
    if (AtomicFile::replace(*entry, contents)) {
        return Error::writeFailed;
    }
    // Registered is registered: an agent that does not start now starts at the next login.
    if (startsAgent_) {
        startAgent(*run);
    }
    return std::nullopt;
}

bool LinuxLoginAgentService::startAgent(const std::vector<std::string>& command) {
    if (command.empty()) {
        return false;
    }
    if (agentLockFile_) {
        if (const auto running = InstanceLock::holder(*agentLockFile_)) {
            // One that has just taken the lock describes itself a moment later; it runs.
            if (running->processIdentifier <= 0 || isSameBuild(*running, command.front())) {
                return true;
            }
            if (!stopAgent(*running, *agentLockFile_, stopGrace_)) {
                return true;
            }
        }
    }
    return startDetached(command);
}

std::optional<LoginAgentService::Error> LinuxLoginAgentService::unregisterAgent() {
    const auto entry = entryFile();
    if (!entry) {
        return std::nullopt;
    }
    std::error_code error;
    std::filesystem::remove(*entry, error);
    if (error) {
        return Error::removeFailed;
    }
    return std::nullopt;
}

} // namespace zorvane
