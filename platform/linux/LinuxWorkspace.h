#pragma once

#include "platform/Workspace.h"
#include "platform/linux/LinuxRunningApplications.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
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
class LinuxWorkspace final : public QObject, public Workspace {
    Q_OBJECT

public:
    using IconRenderer =
        std::function<std::optional<std::vector<std::uint8_t>>(const std::filesystem::path&)>;
    static constexpr std::chrono::milliseconds defaultPollInterval{2000};

    explicit LinuxWorkspace(IconRenderer iconRenderer,
                            std::chrono::milliseconds pollInterval = defaultPollInterval,
                            std::filesystem::path procRoot = "/proc", QObject* parent = nullptr);

    std::vector<RunningApplication> runningApplications() const override;
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

    // One poll now, as the timer would do it; tests drive notices with this.
    void pollNow();

private:
    IconRenderer iconRenderer_;
    // Scanning updates what the next poll compares with.
    mutable LinuxRunningApplications processes_;
    TerminationHandler terminationHandler_;
    QTimer pollTimer_;
};

} // namespace zorvane
