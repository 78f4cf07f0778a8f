#pragma once

// The built Zorvane executable as a process of its own, offscreen, on the session bus the test
// runs in, with every directory it touches in a temporary one.
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <optional>
#include <sys/types.h>
#include <vector>

namespace zorvane::testing {

// How long any one wait for a process may take; it only ends a test that failed, so it is
// generous enough for the sanitizer builds on a busy machine.
inline constexpr qint64 processBoundMs = 20'000;

// The window process's line once its main window came forward.
inline const QString mainWindowForwardLine =
    QStringLiteral("Brought the main window \"Zorvane\" forward (760x650)");

class ZorvaneProcess {
public:
    // The bundle the build produced and its executable.
    static std::filesystem::path builtBundle();
    static std::filesystem::path executable();

    // The system environment with the home, XDG and system directories and the preferences file
    // below `directory`, offscreen, with the application's log categories on.
    static QProcessEnvironment environment(const std::filesystem::path& directory,
                                           const std::filesystem::path& applicationsDirectory);

    // Runs in environment(directory, applicationsDirectory).
    ZorvaneProcess(const std::filesystem::path& directory,
                   const std::filesystem::path& applicationsDirectory);
    ~ZorvaneProcess();
    ZorvaneProcess(const ZorvaneProcess&) = delete;
    ZorvaneProcess& operator=(const ZorvaneProcess&) = delete;

    // False when the process did not start.
    bool start(const QStringList& arguments = {});

    // Waits until the log holds the line `count` times, running the caller's event loop
    // meanwhile; the time since start when it did, or nothing when the bound passed first or the
    // process ended without it.
    std::optional<qint64> waitFor(const QString& line, int count = 1);

    // Asks for an orderly quit, as a session ending would; the exit code, or -1.
    int terminate();

    // Waits up to `bound` for the process to end by itself: its exit code, or nothing while it
    // still runs (or when it crashed).
    std::optional<int> waitForExit(qint64 bound = processBoundMs);

    const QString& log() const { return log_; }
    pid_t processId() const { return static_cast<pid_t>(process_.processId()); }

private:
    void read();

    QProcess process_;
    QElapsedTimer clock_;
    QString log_;
};

// The processes that run the built executable in window mode (without the agent argument) with
// this preferences file in their environment, read from /proc.
std::vector<pid_t> runningWindowProcesses(const std::filesystem::path& preferencesFile);

} // namespace zorvane::testing
