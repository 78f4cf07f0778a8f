#include "platform/linux/LinuxWorkspace.h"

#include "codesign/BundleReader.h"

#include <QDesktopServices>
#include <QProcess>
#include <QString>
#include <QUrl>
#include <system_error>

namespace zorvane {

LinuxWorkspace::LinuxWorkspace(IconRenderer iconRenderer, std::chrono::milliseconds pollInterval,
                               std::filesystem::path procRoot, QObject* parent)
    : QObject(parent), iconRenderer_(std::move(iconRenderer)), processes_(std::move(procRoot)) {
    pollTimer_.setInterval(pollInterval);
    connect(&pollTimer_, &QTimer::timeout, this, &LinuxWorkspace::pollNow);
}

std::vector<Workspace::RunningApplication> LinuxWorkspace::runningApplications() const {
    return processes_.scan();
}

void LinuxWorkspace::setTerminationHandler(TerminationHandler handler) {
    terminationHandler_ = std::move(handler);
    if (terminationHandler_) {
        if (!pollTimer_.isActive()) {
            processes_.pollTerminated(); // what runs now is what later polls compare with
            pollTimer_.start();
        }
    } else {
        pollTimer_.stop();
        processes_.stopTracking();
    }
}

void LinuxWorkspace::pollNow() {
    const auto terminated = processes_.pollTerminated();
    for (const auto& application : terminated) {
        // A handler may replace or clear itself; use the one that is current for each notice.
        if (!terminationHandler_) {
            return;
        }
        auto handler = terminationHandler_;
        handler(application);
    }
}

bool LinuxWorkspace::openURL(const std::string& url) {
    const QUrl address(QString::fromStdString(url), QUrl::StrictMode);
    if (!address.isValid() || address.isRelative()) {
        return false;
    }
    return QDesktopServices::openUrl(address);
}

std::optional<std::vector<std::uint8_t>>
LinuxWorkspace::iconForFile(const std::filesystem::path& path) const {
    std::error_code error;
    if (!iconRenderer_ || !std::filesystem::is_directory(path, error)) {
        return std::nullopt;
    }
    return iconRenderer_(path);
}

bool LinuxWorkspace::activate(const RunningApplication&) {
    return false;
}

bool LinuxWorkspace::launchNewInstance(const std::filesystem::path& bundle) {
    const auto executable = BundleReader::executablePath(bundle);
    std::error_code error;
    if (!executable || !std::filesystem::is_regular_file(*executable, error)) {
        return false;
    }
    QProcess process;
    process.setProgram(QString::fromStdString(executable->string()));
    process.setWorkingDirectory(QString::fromStdString(bundle.string()));
    return process.startDetached();
}

} // namespace zorvane
