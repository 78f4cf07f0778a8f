#include "platform/linux/LinuxWorkspace.h"

#include "codesign/BundleReader.h"

#include <QDesktopServices>
#include <QFuture>
#include <QFutureWatcher>
#include <QProcess>
#include <QString>
#include <QThread>
#include <QThreadPool>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <utility>

namespace zorvane {

namespace {

// Polls read files that bundles control and may take long (or, on a file that never answers,
// not end at all); they get threads of their own rather than the shared pool's few. Never
// destroyed, so that a poll that does not end cannot hold up the exit either.
QThreadPool* pollThreads() {
    static QThreadPool* const pool = [] {
        auto* threads = new QThreadPool;
        threads->setMaxThreadCount(2);
        threads->setObjectName(QStringLiteral("dev.quillmoor.Zorvane.workspace"));
        return threads;
    }();
    return pool;
}

} // namespace

// What the polls share with the main thread. Every poll compares with the previous one, whether
// or not anyone listens for terminations, so that the first notice after a handler was set
// compares with a list taken before it.
struct LinuxWorkspace::Poller {
    explicit Poller(std::filesystem::path root) : processes(std::move(root)) {}

    // Runs on a worker thread: the applications that ended since the previous poll.
    std::vector<RunningApplication> poll() {
        std::vector<RunningApplication> running;
        std::vector<RunningApplication> terminated;
        std::uint64_t generation = 0;
        {
            std::lock_guard lock(polling);
            {
                std::lock_guard listLock(mutex);
                generation = listedGeneration;
                if (listedChanged) {
                    processes.setListedApplications(listed);
                    listedChanged = false;
                }
            }
            terminated = processes.pollTerminated(&running);
        }
        {
            std::lock_guard lock(mutex);
            latest = std::move(running);
            latestAt = std::chrono::steady_clock::now();
            latestGeneration = generation;
        }
        polled.notify_all();
        return terminated;
    }

    std::mutex polling; // held for a whole poll
    LinuxRunningApplications processes;

    std::mutex mutex;
    std::condition_variable polled;
    std::optional<std::vector<RunningApplication>> latest;
    std::chrono::steady_clock::time_point latestAt;
    bool waitedForFirst = false;
    // The block list as last given, and which version of it the latest poll used.
    std::vector<BlockedApplication> listed;
    bool listedChanged = false;
    std::uint64_t listedGeneration = 0;
    std::uint64_t latestGeneration = 0;
    bool waitedForGeneration = true;
};

LinuxWorkspace::LinuxWorkspace(IconRenderer iconRenderer, std::chrono::milliseconds pollInterval,
                               std::filesystem::path procRoot, QObject* parent)
    : QObject(parent), iconRenderer_(std::move(iconRenderer)), pollInterval_(pollInterval),
      poller_(std::make_shared<Poller>(std::move(procRoot))) {
    pollTimer_.setInterval(pollInterval);
    connect(&pollTimer_, &QTimer::timeout, this, &LinuxWorkspace::pollNow);
    pollNow();
}

LinuxWorkspace::~LinuxWorkspace() = default;

std::vector<Workspace::RunningApplication> LinuxWorkspace::runningApplications() const {
    std::vector<RunningApplication> running;
    bool stale = false;
    {
        std::unique_lock lock(poller_->mutex);
        if (!poller_->latest && !poller_->waitedForFirst) {
            // A poll that does not end is waited for once, not on every question.
            poller_->waitedForFirst = true;
            poller_->polled.wait_for(lock, firstPollWait,
                                     [&] { return poller_->latest.has_value(); });
        }
        if (!poller_->waitedForGeneration) {
            poller_->waitedForGeneration = true;
            poller_->polled.wait_for(lock, firstPollWait, [&] {
                return poller_->latest && poller_->latestGeneration == poller_->listedGeneration;
            });
        }
        if (poller_->latest) {
            running = *poller_->latest;
            stale = std::chrono::steady_clock::now() - poller_->latestAt >= pollInterval_;
        }
    }
    if (stale && QThread::currentThread() == thread()) {
        const_cast<LinuxWorkspace*>(this)->pollNow();
    }
    return running;
}

void LinuxWorkspace::setListedApplications(const std::vector<BlockedApplication>& applications) {
    {
        std::lock_guard lock(poller_->mutex);
        if (applications == poller_->listed) {
            return;
        }
        poller_->listed = applications;
        poller_->listedChanged = true;
        ++poller_->listedGeneration;
        poller_->waitedForGeneration = false;
    }
    // Even while a poll runs: it may have taken the old list. Polls take turns on the
    // poller, so this one runs after it, on a worker, and the waiting above needs nothing of
    // this thread.
    startPoll();
}

void LinuxWorkspace::setTerminationHandler(TerminationHandler handler) {
    terminationHandler_ = std::move(handler);
    if (terminationHandler_) {
        if (!pollTimer_.isActive()) {
            pollTimer_.start();
        }
    } else {
        pollTimer_.stop();
    }
}

void LinuxWorkspace::pollNow() {
    if (pollsRunning_ > 0) {
        return;
    }
    startPoll();
}

void LinuxWorkspace::startPoll() {
    ++pollsRunning_;
    auto poller = poller_;
    // A watcher owned by the workspace, not QFuture::then(this, ...): a poll that ends after the
    // workspace is gone must find nothing to call (Qt 6.4 asserts on a context that went away).
    auto* watcher = new QFutureWatcher<std::vector<RunningApplication>>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher] {
        watcher->deleteLater();
        const auto terminated = watcher->result();
        --pollsRunning_;
        for (const auto& application : terminated) {
            // A handler may replace or clear itself; use the one that is current for each
            // notice.
            if (!terminationHandler_) {
                return;
            }
            auto handler = terminationHandler_;
            handler(application);
        }
    });
    watcher->setFuture(QtConcurrent::run(pollThreads(), [poller] { return poller->poll(); }));
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
