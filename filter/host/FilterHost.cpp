#include "filter/host/FilterHost.h"

#include "filter/host/ConfigurationWatcher.h"
#include "filter/host/FlowReply.h"
#include "filter/host/HostDirectory.h"
#include "filter/host/ProviderSupervisor.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <asio/thread_pool.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace zorvane {
namespace {

// How long a shutdown waits for the provider's stop before leaving anyway.
constexpr auto shutdownGrace = std::chrono::seconds(5);

// Puts the host's process id into the lock file it holds (a second descriptor: closing it leaves
// the lock alone).
void recordHolder(const std::filesystem::path& lockPath) {
    const int descriptor = ::open(lockPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return;
    }
    const std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(descriptor, 0) == 0) {
        [[maybe_unused]] const auto written = ::write(descriptor, text.data(), text.size());
    }
    ::close(descriptor);
}

} // namespace

FilterHost::FilterHost(Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

void FilterHost::stop() {
    asio::post(io_, [this] {
        if (shutdown_) {
            shutdown_();
        }
    });
}

int FilterHost::run() {
    const auto& directory = dependencies_.systemDirectory;
    if (auto problem = HostDirectory::makePrivate(directory)) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", problem->c_str());
        return 1;
    }
    const auto lockPath = directory / SystemDirectory::hostLockName;
    auto hostLock = FileLock::acquire(lockPath, FileLock::Wait::failIfHeld);
    if (!hostLock) {
        std::fprintf(stderr,
                     "ZorvaneFilter: another filter host already runs for %s (it holds %s); "
                     "not starting a second one\n",
                     directory.c_str(), lockPath.c_str());
        return 1;
    }
    recordHolder(lockPath);

    auto& io = io_;
    auto simulatedProcesses = std::make_shared<SimulatedProcessTable>();
    auto taskInspector = std::make_shared<HostTaskInspector>(
        simulatedProcesses, dependencies_.readSignature, dependencies_.realProcesses);
    ProviderSupervisor supervisor(io, dependencies_.makeProvider(taskInspector));
    const FlowRequestParser parser(*simulatedProcesses, dependencies_.realProcessToken);
    // Declared after everything its work uses, so that it is joined before any of that goes.
    asio::thread_pool decisions(std::max<std::size_t>(1, dependencies_.decisionThreads));

    FlowSocketServer server(
        io, decisions.get_executor(), directory / SystemDirectory::flowSocketName,
        [&](std::string_view line) {
            if (FlowRequestParser::isActivityReportRequest(line)) {
                const auto backlog = supervisor.activityBacklog();
                return backlog ? FlowReply::activityReport(*backlog)
                               : FlowReply::error("the filter keeps no report of its activity");
            }
            auto request = parser.parse(line);
            if (!request.flow) {
                return FlowReply::error(request.error);
            }
            return FlowReply::verdict(supervisor.decide(*request.flow));
        },
        [] {
            return FlowReply::error("the request line is longer than " +
                                    std::to_string(FlowSocketServer::maximumLineLength) +
                                    " bytes; closing the connection");
        },
        dependencies_.socketOptions);
    if (auto error = server.start()) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", error->c_str());
        return 1;
    }

    ConfigurationWatcher watcher(io, FilterConfigurationFile::inDirectory(directory),
                                 [&](const std::optional<FilterConfiguration>& configuration) {
                                     supervisor.apply(configuration);
                                 });
    if (auto error = watcher.start()) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", error->c_str());
        return 1;
    }

    std::unique_ptr<HostFlowSource> flowSource;
    if (dependencies_.makeFlowSource) {
        // Decisions are safe on any thread; the source's own threads make them, so a real
        // flow never waits for the socket's thread or the decision pool.
        flowSource = dependencies_.makeFlowSource(
            [&supervisor](const FilterFlow& flow) { return supervisor.decide(flow); },
            [&supervisor](const std::vector<std::uint8_t>& auditToken) {
                supervisor.forgetProcess(auditToken);
            });
        if (auto error = flowSource->start()) {
            std::fprintf(stderr, "ZorvaneFilter: real enforcement cannot start: %s\n",
                         error->c_str());
            return 1;
        }
    }

    asio::signal_set signals(io, SIGTERM, SIGINT);
    asio::steady_timer grace(io);
    bool shuttingDown = false;
    shutdown_ = [&] {
        if (shuttingDown) {
            return;
        }
        shuttingDown = true;
        // Clients see the socket go first; flows are allowed while the provider stops.
        server.stop();
        watcher.stop();
        supervisor.shutdown([&io] { io.stop(); });
        grace.expires_after(shutdownGrace);
        grace.async_wait([&io](const asio::error_code& timerError) {
            if (!timerError) {
                std::fprintf(stderr, "ZorvaneFilter: the filter did not stop in time\n");
                io.stop();
            }
        });
    };
    signals.async_wait([this](const asio::error_code& error, int) {
        if (!error) {
            shutdown_();
        }
    });

    std::fprintf(stderr, "ZorvaneFilter: serving %s\n",
                 (directory / SystemDirectory::flowSocketName).c_str());
    io.run();
    if (flowSource) {
        flowSource->stop();
    }
    server.stop();
    // Decisions still running finish; queued ones are dropped with their connections.
    decisions.stop();
    decisions.join();
    shutdown_ = nullptr;
    return 0;
}

} // namespace zorvane
