#pragma once

#include "platform/Workspace.h"
#include "platform/linux/LinuxRunningApplications.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace zorvane {

// The workspace on a Linux desktop. Running applications come from procfs; termination notices
// come from polling it on a timer while a handler is set (procfs offers no notice for processes
// that are not our children, and a pidfd per application would still need the poll to find new
// applications). A poll costs one directory listing and one link read per process, a few
// milliseconds on a busy desktop, hence the two-second default. Addresses open through the
// desktop's URL handlers; icons come from the injected renderer (the bundle's own icon).
// Lives on the main thread.
//
// A poll reads each running bundle's Info.plist, a file the bundle controls, so polls run on a
// worker thread and the main thread only ever reads the list the last poll left: the running
// applications are what that poll saw, refreshed by the timer and, without one, whenever the
// list is asked for and is older than the poll interval. Until the first poll, started at
// construction, has finished, asking waits for it, but no longer than firstPollWait.
class LinuxWorkspace final : public QObject, public Workspace {
    Q_OBJECT

public:
    using IconRenderer =
        std::function<std::optional<std::vector<std::uint8_t>>(const std::filesystem::path&)>;
    static constexpr std::chrono::milliseconds defaultPollInterval{2000};
    static constexpr std::chrono::milliseconds firstPollWait{2000};

    explicit LinuxWorkspace(IconRenderer iconRenderer,
                            std::chrono::milliseconds pollInterval = defaultPollInterval,
                            std::filesystem::path procRoot = "/proc", QObject* parent = nullptr);
    ~LinuxWorkspace() override;

    std::vector<RunningApplication> runningApplications() const override;
    // A changed list starts a poll at once; until it has finished, asking for the running
    // applications waits for it (as for the first poll), so that an application just listed
    // is not taken for one that does not run.
    void setListedApplications(const std::vector<BlockedApplication>& applications) override;
    void setTerminationHandler(TerminationHandler handler) override;
    bool openURL(const std::string& url) override;
    std::optional<std::vector<std::uint8_t>>
    iconForFile(const std::filesystem::path& path) const override;
    // A desktop session offers no way to raise another process's window, so this does
    // nothing: the application itself brings its window forward when asked over the session
    // bus.
    bool activate(const RunningApplication& application) override;
    // Starts Contents/MacOS/<CFBundleExecutable> of the bundle, detached from this process.
    bool launchNewInstance(const std::filesystem::path& bundle) override;

    // Starts one poll now, as the timer would do it, unless one runs; its notices come from the
    // event loop once it has finished.
    void pollNow();

private:
    struct Poller;

    void startPoll();

    IconRenderer iconRenderer_;
    std::chrono::milliseconds pollInterval_;
    // Shared with the poll that runs, which may outlive the workspace.
    std::shared_ptr<Poller> poller_;
    int pollsRunning_ = 0;
    TerminationHandler terminationHandler_;
    QTimer pollTimer_;
};

} // namespace zorvane
