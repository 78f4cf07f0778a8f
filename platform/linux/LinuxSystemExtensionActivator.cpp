#include "platform/linux/LinuxSystemExtensionActivator.h"

#include "platform/linux/FileLock.h"
#include "platform/linux/LinuxMainBundle.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/PlistCodec.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace {

using State = SystemExtensionRecord::State;

std::string infoText(const std::optional<PlistValue>& info, const char* key) {
    const PlistValue* value = info ? info->find(key) : nullptr;
    const std::string* text = value ? value->string() : nullptr;
    return text ? *text : std::string();
}

SystemExtensionProperties offeredProperties(const std::string& identifier,
                                            const std::filesystem::path& extension) {
    const auto info = PlistCodec::readFile(extension / "Contents" / "Info.plist", 1024 * 1024);
    return {identifier, infoText(info, "CFBundleShortVersionString"),
            infoText(info, "CFBundleVersion"), extension.string()};
}

// The executable a process runs, when that process exists and may be looked at.
std::optional<std::filesystem::path> processExecutable(std::int64_t pid) {
    if (pid <= 0) {
        return std::nullopt;
    }
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/" + std::to_string(pid) + "/exe", error);
    if (error) {
        return std::nullopt;
    }
    return path;
}

bool sameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::error_code error;
    return std::filesystem::equivalent(a, b, error);
}

} // namespace

LinuxSystemExtensionActivator::LinuxSystemExtensionActivator(Options options, QObject* parent)
    : QObject(parent), options_(std::move(options)), stateFile_(options_.systemDirectory) {
    connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { checkPending(); });
    connect(&watcher_, &QFileSystemWatcher::fileChanged, this, [this] { checkPending(); });
}

LinuxSystemExtensionActivator::~LinuxSystemExtensionActivator() = default;

std::unique_ptr<LinuxSystemExtensionActivator>
LinuxSystemExtensionActivator::standard(QObject* parent) {
    Options options;
    options.systemDirectory = SystemDirectory::path().value_or(std::filesystem::path());
    options.mainBundle = LinuxMainBundle::current();
    const char* autoApprove = std::getenv("ZORVANE_AUTO_APPROVE");
    options.autoApprove = autoApprove && std::strcmp(autoApprove, "1") == 0;
    return std::make_unique<LinuxSystemExtensionActivator>(std::move(options), parent);
}

std::filesystem::path
LinuxSystemExtensionActivator::extensionBundlePath(const std::filesystem::path& applicationBundle,
                                                   const std::string& identifier) {
    return applicationBundle / "Contents" / "Library" / "SystemExtensions" /
           (identifier + ".systemextension");
}

std::filesystem::path
LinuxSystemExtensionActivator::extensionExecutable(const std::filesystem::path& extensionBundle) {
    const auto info =
        PlistCodec::readFile(extensionBundle / "Contents" / "Info.plist", 1024 * 1024);
    std::string name = infoText(info, "CFBundleExecutable");
    // A name that leaves Contents/MacOS/ is not an executable of this bundle.
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
        name = "ZorvaneFilter";
    }
    return extensionBundle / "Contents" / "MacOS" / name;
}

void LinuxSystemExtensionActivator::submit(
    const SystemExtensionRequest& request,
    std::shared_ptr<SystemExtensionRequestDelegate> delegate) {
    // The system answers later, never inside the call that submits.
    QMetaObject::invokeMethod(
        this,
        [this, pending = Pending{request, std::move(delegate)}] {
            if (pending.request.kind == SystemExtensionRequest::Kind::activation) {
                activate(pending);
            } else {
                deactivate(pending);
            }
        },
        Qt::QueuedConnection);
}

void LinuxSystemExtensionActivator::activate(const Pending& pending) {
    const std::string& identifier = pending.request.identifier;
    if (options_.systemDirectory.empty()) {
        fail(pending, SystemError::extensionUnknown,
             "No system directory: set ZORVANE_SYSTEM_DIR or HOME.");
        return;
    }
    if (!options_.mainBundle || !options_.mainBundle->isInApplicationsFolder()) {
        fail(pending, SystemError::extensionUnsupportedParentBundleLocation,
             "The application containing the system extension must be in the /Applications "
             "folder.");
        return;
    }
    const auto extension = extensionBundlePath(options_.mainBundle->url(), identifier);
    std::error_code error;
    if (!std::filesystem::is_directory(extension, error)) {
        fail(pending, SystemError::extensionNotFound,
             "The system extension " + identifier + " was not found in " +
                 options_.mainBundle->url().string() + ".");
        return;
    }
    if (SystemDirectory::belongsToAnotherUser(options_.systemDirectory)) {
        // An installed system: an administrator's approval, recorded by root, is what activates
        // the extension, and the filter runs as the system's service. The person's application
        // only waits for that record.
        watch();
        const auto records = stateFile_.read();
        if (auto found = records.find(identifier);
            found != records.end() && found->second.state == State::activated) {
            finish(pending);
            return;
        }
        awaitingApproval_.push_back(pending);
        pending.delegate->requestNeedsUserApproval(pending.request);
        return;
    }
    const SystemExtensionProperties offered = offeredProperties(identifier, extension);

    // Another version already active: the delegate decides, as on macOS.
    const auto records = stateFile_.read();
    if (auto found = records.find(identifier);
        found != records.end() && found->second.state == State::activated &&
        (found->second.bundleShortVersion != offered.bundleShortVersion ||
         found->second.bundleVersion != offered.bundleVersion)) {
        const SystemExtensionProperties existing{identifier, found->second.bundleShortVersion,
                                                 found->second.bundleVersion, found->second.path};
        if (pending.delegate->actionForReplacingExtension(pending.request, existing, offered) ==
            SystemExtensionReplacementAction::cancel) {
            fail(pending, SystemError::extensionRequestCanceled, "The request was canceled.");
            return;
        }
    }

    // Watch before recording the wait, so that an approval right after the write is seen.
    watch();
    State state = State::awaitingApproval;
    const bool recorded = stateFile_.update([&](ExtensionStateFile::Records& current) {
        auto& record = current[identifier];
        state = record.state == State::activated || options_.autoApprove ? State::activated
                                                                         : State::awaitingApproval;
        record.state = state;
        record.bundleShortVersion = offered.bundleShortVersion;
        record.bundleVersion = offered.bundleVersion;
        record.path = offered.path;
        return true;
    });
    if (!recorded) {
        fail(pending, SystemError::extensionUnknown,
             "The system extension state cannot be saved in " + options_.systemDirectory.string() +
                 ".");
        return;
    }
    if (state == State::activated) {
        finishActivation(pending);
        return;
    }
    awaitingApproval_.push_back(pending);
    pending.delegate->requestNeedsUserApproval(pending.request);
}

void LinuxSystemExtensionActivator::deactivate(const Pending& pending) {
    const std::string& identifier = pending.request.identifier;
    if (SystemDirectory::belongsToAnotherUser(options_.systemDirectory)) {
        // The system's service stays the administrator's to stop; the configuration saved
        // disabled already lets every flow through.
        finish(pending);
        return;
    }
    std::optional<SystemExtensionRecord> previous;
    const bool recorded = stateFile_.update([&](ExtensionStateFile::Records& current) {
        auto found = current.find(identifier);
        if (found == current.end()) {
            return false;
        }
        previous = found->second;
        found->second.state = State::deactivated;
        found->second.hostProcessIdentifier.reset();
        return true;
    });
    if (!recorded) {
        fail(pending, SystemError::extensionUnknown,
             "The system extension state cannot be saved in " + options_.systemDirectory.string() +
                 ".");
        return;
    }
    if (previous && previous->state == State::activated) {
        stopHost(*previous);
    }
    // Activations still waiting for the user are moot now.
    std::vector<Pending> superseded;
    std::erase_if(awaitingApproval_, [&](const Pending& waiting) {
        if (waiting.request.identifier != identifier) {
            return false;
        }
        superseded.push_back(waiting);
        return true;
    });
    for (const auto& waiting : superseded) {
        fail(waiting, SystemError::extensionRequestSuperseded,
             "The request was superseded by a deactivation.");
    }
    finish(pending);
}

void LinuxSystemExtensionActivator::finishActivation(const Pending& pending) {
    if (auto error = ensureHostRunning(pending.request.identifier)) {
        pending.delegate->requestDidFail(pending.request, *error);
        return;
    }
    finish(pending);
}

void LinuxSystemExtensionActivator::checkPending() {
    watch(); // a replaced file is a new file to the watcher
    if (awaitingApproval_.empty()) {
        return;
    }
    const auto records = stateFile_.read();
    std::vector<Pending> approved;
    std::erase_if(awaitingApproval_, [&](const Pending& waiting) {
        auto found = records.find(waiting.request.identifier);
        if (found == records.end() || found->second.state != State::activated) {
            return false;
        }
        approved.push_back(waiting);
        return true;
    });
    for (const auto& waiting : approved) {
        finishActivation(waiting);
    }
}

void LinuxSystemExtensionActivator::watch() {
    if (options_.systemDirectory.empty() ||
        !SystemDirectory::ensureExists(options_.systemDirectory)) {
        return;
    }
    const QString directory = QString::fromStdString(options_.systemDirectory.string());
    const QString file = QString::fromStdString(stateFile_.path().string());
    if (!watcher_.directories().contains(directory)) {
        watcher_.addPath(directory);
    }
    std::error_code error;
    if (!watcher_.files().contains(file) && std::filesystem::exists(stateFile_.path(), error)) {
        watcher_.addPath(file);
    }
}

std::optional<SystemError>
LinuxSystemExtensionActivator::ensureHostRunning(const std::string& identifier) {
    const auto& directory = options_.systemDirectory;
    if (SystemDirectory::belongsToAnotherUser(directory)) {
        return std::nullopt; // the system's service
    }
    const auto records = stateFile_.read();
    const auto found = records.find(identifier);
    const auto extension = found != records.end()
                               ? std::filesystem::path(found->second.path)
                               : extensionBundlePath(options_.mainBundle->url(), identifier);
    const auto executable = extensionExecutable(extension);

    // The host and its keeper take their locks at once; a keeper started a moment ago may not
    // hold its lock yet, so the process recorded last counts too while it still runs the
    // extension's executable.
    if (FileLock::isHeld(directory / SystemDirectory::keeperLockName) ||
        FileLock::isHeld(directory / SystemDirectory::hostLockName)) {
        return std::nullopt;
    }
    if (found != records.end() && found->second.hostProcessIdentifier) {
        const auto running = processExecutable(*found->second.hostProcessIdentifier);
        if (running && sameFile(*running, executable)) {
            return std::nullopt;
        }
    }

    if (::access(executable.c_str(), X_OK) != 0) {
        return SystemError{SystemError::systemExtensionErrorDomain, SystemError::extensionNotFound,
                           "The filter host " + executable.string() +
                               " is missing or not executable."};
    }
    QProcess process;
    process.setProgram(QString::fromStdString(executable.string()));
    // As the system does for an extension, the host is started again whenever it crashes.
    process.setArguments({QStringLiteral("--keep-alive")});
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZORVANE_SYSTEM_DIR", QString::fromStdString(directory.string()));
    process.setProcessEnvironment(environment);
    // Like a system extension, the host does not run in its starter's directory.
    process.setWorkingDirectory("/");
    const QString log = QString::fromStdString((directory / SystemDirectory::hostLogName).string());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(log, QIODevice::Append);
    process.setStandardErrorFile(log, QIODevice::Append);
    qint64 pid = 0;
    if (!process.startDetached(&pid)) {
        return SystemError{SystemError::systemExtensionErrorDomain, SystemError::extensionUnknown,
                           "The filter host " + executable.string() +
                               " could not be started: " + process.errorString().toStdString()};
    }
    stateFile_.update([&](ExtensionStateFile::Records& current) {
        auto record = current.find(identifier);
        if (record == current.end()) {
            return false;
        }
        record->second.hostProcessIdentifier = pid;
        return true;
    });
    return std::nullopt;
}

void LinuxSystemExtensionActivator::stopHost(const SystemExtensionRecord& record) {
    if (!record.hostProcessIdentifier) {
        return;
    }
    // Only the process we started, still running the extension's executable: a recycled
    // process id must not get the signal.
    const auto running = processExecutable(*record.hostProcessIdentifier);
    if (running && sameFile(*running, extensionExecutable(record.path))) {
        ::kill(static_cast<pid_t>(*record.hostProcessIdentifier), SIGTERM);
    }
}

void LinuxSystemExtensionActivator::fail(const Pending& pending, std::int64_t code,
                                         std::string description) {
    pending.delegate->requestDidFail(
        pending.request,
        SystemError{SystemError::systemExtensionErrorDomain, code, std::move(description)});
}

void LinuxSystemExtensionActivator::finish(const Pending& pending) {
    pending.delegate->requestDidFinish(pending.request, SystemExtensionRequestResult::completed);
}

} // namespace zorvane
