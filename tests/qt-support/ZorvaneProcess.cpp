#include "tests/qt-support/ZorvaneProcess.h"

#include "zorvane/BuildInfo.h"

#include <QCoreApplication>
#include <QProcessEnvironment>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <system_error>

namespace zorvane::testing {

std::filesystem::path ZorvaneProcess::builtBundle() {
    return ZORVANE_APP_BUNDLE;
}

std::filesystem::path ZorvaneProcess::executable() {
    return ZORVANE_EXECUTABLE;
}

QProcessEnvironment
ZorvaneProcess::environment(const std::filesystem::path& directory,
                            const std::filesystem::path& applicationsDirectory) {
    auto environment = QProcessEnvironment::systemEnvironment();
    const auto set = [&](const char* name, const std::filesystem::path& path) {
        std::filesystem::create_directories(path);
        environment.insert(QString::fromLatin1(name), QString::fromStdString(path.string()));
    };
    set("HOME", directory / "home");
    set("XDG_CONFIG_HOME", directory / "config");
    set("XDG_DATA_HOME", directory / "data");
    set("XDG_STATE_HOME", directory / "state");
    set("XDG_CACHE_HOME", directory / "cache");
    set("ZORVANE_SYSTEM_DIR", directory / "system");
    set("ZORVANE_APPLICATIONS_DIR", applicationsDirectory);
    environment.insert("ZORVANE_PREFERENCES",
                       QString::fromStdString((directory / "preferences.plist").string()));
    // Nothing leaves the machine: the update check fails at once on a closed local port.
    environment.insert("ZORVANE_UPDATE_MANIFEST_URL", "https://127.0.0.1:9/updates/latest.json");
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("QT_LOGGING_RULES", "dev.quillmoor.Zorvane.*=true");
    return environment;
}

ZorvaneProcess::ZorvaneProcess(const std::filesystem::path& directory,
                               const std::filesystem::path& applicationsDirectory) {
    process_.setProcessEnvironment(environment(directory, applicationsDirectory));
    process_.setReadChannel(QProcess::StandardError);
}

ZorvaneProcess::~ZorvaneProcess() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished();
    }
}

bool ZorvaneProcess::start(const QStringList& arguments) {
    clock_.start();
    process_.start(QString::fromStdString(executable().string()), arguments);
    return process_.waitForStarted(processBoundMs);
}

std::optional<qint64> ZorvaneProcess::waitFor(const QString& line, int count) {
    while (log_.count(line) < count) {
        if (clock_.elapsed() > processBoundMs || process_.state() == QProcess::NotRunning) {
            read();
            return log_.count(line) >= count ? std::optional(clock_.elapsed()) : std::nullopt;
        }
        process_.waitForReadyRead(10);
        read();
        QCoreApplication::processEvents();
    }
    return clock_.elapsed();
}

int ZorvaneProcess::terminate() {
    ::kill(processId(), SIGTERM);
    if (!process_.waitForFinished(processBoundMs)) {
        return -1;
    }
    read();
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

std::optional<int> ZorvaneProcess::waitForExit(qint64 bound) {
    const bool ended =
        process_.state() == QProcess::NotRunning || process_.waitForFinished(int(bound));
    read();
    if (!ended || process_.exitStatus() != QProcess::NormalExit) {
        return std::nullopt;
    }
    return process_.exitCode();
}

void ZorvaneProcess::read() {
    log_ += QString::fromUtf8(process_.readAllStandardError());
}

namespace {

// The NUL-separated strings of a /proc file (arguments, environment).
std::vector<std::string> procStrings(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::string> strings;
    for (std::string text; std::getline(in, text, '\0');) {
        strings.push_back(text);
    }
    return strings;
}

bool contains(const std::vector<std::string>& strings, const std::string& wanted) {
    return std::find(strings.begin(), strings.end(), wanted) != strings.end();
}

} // namespace

std::vector<pid_t> runningWindowProcesses(const std::filesystem::path& preferencesFile) {
    std::error_code error;
    const auto wanted = std::filesystem::weakly_canonical(ZorvaneProcess::executable(), error);
    const std::string preferencesVariable = "ZORVANE_PREFERENCES=" + preferencesFile.string();
    std::vector<pid_t> found;
    std::filesystem::directory_iterator entries("/proc", error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const std::string name = entries->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::error_code unreadable;
        const auto image = std::filesystem::read_symlink(entries->path() / "exe", unreadable);
        if (unreadable || image != wanted) {
            continue;
        }
        auto arguments = procStrings(entries->path() / "cmdline");
        if (!arguments.empty()) {
            arguments.erase(arguments.begin()); // the program itself
        }
        if (!contains(arguments, build_info::agentArgument) &&
            contains(procStrings(entries->path() / "environ"), preferencesVariable)) {
            found.push_back(static_cast<pid_t>(std::stoi(name)));
        }
    }
    return found;
}

} // namespace zorvane::testing
