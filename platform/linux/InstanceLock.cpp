#include "platform/linux/InstanceLock.h"

#include "platform/linux/ContainerDirectory.h"

#include <charconv>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace {

template <typename Number> bool parse(const std::string& text, Number& value) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size();
}

} // namespace

InstanceLock InstanceLock::claim(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    auto lock = FileLock::acquire(file, FileLock::Wait::failIfHeld);
    if (!lock) {
        return InstanceLock({}, FileLock::isHeld(file));
    }
    const Holder me = self();
    std::ostringstream note;
    note << me.processIdentifier << '\n'
         << me.executable.string() << '\n'
         << me.executableModified << '\n';
    lock->replaceContents(note.str());
    return InstanceLock(std::move(lock), false);
}

std::optional<InstanceLock::Holder> InstanceLock::holder(const std::filesystem::path& file) {
    if (!FileLock::isHeld(file)) {
        return std::nullopt;
    }
    // Written right after the lock was taken: until then, or if it is unreadable, the holder is
    // known only to exist.
    Holder holder;
    std::ifstream in(file);
    std::string pid;
    std::string executable;
    std::string modified;
    if (std::getline(in, pid) && std::getline(in, executable) && std::getline(in, modified) &&
        parse(pid, holder.processIdentifier) && parse(modified, holder.executableModified)) {
        holder.executable = executable;
    } else {
        holder = Holder{};
    }
    return holder;
}

InstanceLock::Holder InstanceLock::self() {
    Holder me;
    me.processIdentifier = static_cast<std::int32_t>(::getpid());
    std::error_code error;
    me.executable = std::filesystem::read_symlink("/proc/self/exe", error);
    me.executableModified = modificationTime(me.executable);
    return me;
}

std::int64_t InstanceLock::modificationTime(const std::filesystem::path& file) {
    struct stat status {};
    if (file.empty() || ::stat(file.c_str(), &status) != 0) {
        return 0;
    }
    return static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 +
           status.st_mtim.tv_nsec;
}

std::optional<std::filesystem::path> InstanceLock::windowProcessFile() {
    auto container = ContainerDirectory::path();
    return container ? std::optional(*container / "window-process.lock") : std::nullopt;
}

std::optional<std::filesystem::path> InstanceLock::statusAgentFile() {
    auto container = ContainerDirectory::path();
    return container ? std::optional(*container / "status-agent.lock") : std::nullopt;
}

} // namespace zorvane
