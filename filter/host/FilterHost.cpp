#include "filter/host/FilterHost.h"

#include "filter/host/ConfigurationWatcher.h"
#include "filter/host/FlowReply.h"
#include "filter/host/FlowSocketServer.h"
#include "filter/host/ProviderSupervisor.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "platform/linux/SystemDirectory.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <future>

namespace zorvane {
namespace {

// How long a shutdown waits for the provider's stop before leaving anyway.
constexpr auto shutdownGrace = std::chrono::seconds(5);
// How long a real flow waits for the host's thread before it passes undecided.
constexpr auto realFlowDecisionLimit = std::chrono::seconds(1);

// The provider is driven from the host's thread; a real flow's decision is made there too.
FilterVerdict decideOnHostThread(asio::io_context& io, ProviderSupervisor& supervisor,
                                 const FilterFlow& flow) {
    auto verdict = std::make_shared<std::promise<FilterVerdict>>();
    auto answer = verdict->get_future();
    asio::post(io, [verdict, &supervisor, flow] { verdict->set_value(supervisor.decide(flow)); });
    if (answer.wait_for(realFlowDecisionLimit) != std::future_status::ready) {
        return FilterVerdict::allow;
    }
    return answer.get();
}

} // namespace

FilterHost::FilterHost(Dependencies dependencies) : dependencies_(std::move(dependencies)) {}

int FilterHost::run() {
    const auto& directory = dependencies_.systemDirectory;
    if (!SystemDirectory::ensureExists(directory)) {
        std::fprintf(stderr, "ZorvaneFilter: cannot create the system directory %s\n",
                     directory.c_str());
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

    asio::io_context io;
    auto simulatedProcesses = std::make_shared<SimulatedProcessTable>();
    auto taskInspector = std::make_shared<HostTaskInspector>(
        simulatedProcesses, dependencies_.readSignature, dependencies_.realProcesses);
    ProviderSupervisor supervisor(io, dependencies_.makeProvider(taskInspector));
    const FlowRequestParser parser(*simulatedProcesses, dependencies_.realProcessToken);

    FlowSocketServer server(
        io, directory / SystemDirectory::flowSocketName,
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
        });
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
        flowSource = dependencies_.makeFlowSource([&io, &supervisor](const FilterFlow& flow) {
            return decideOnHostThread(io, supervisor, flow);
        });
        if (auto error = flowSource->start()) {
            std::fprintf(stderr, "ZorvaneFilter: real enforcement cannot start: %s\n",
                         error->c_str());
            return 1;
        }
    }

    asio::signal_set signals(io, SIGTERM, SIGINT);
    asio::steady_timer grace(io);
    signals.async_wait([&](const asio::error_code& error, int) {
        if (error) {
            return;
        }
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
    });

    std::fprintf(stderr, "ZorvaneFilter: serving %s\n",
                 (directory / SystemDirectory::flowSocketName).c_str());
    io.run();
    if (flowSource) {
        flowSource->stop();
    }
    server.stop();
    return 0;
}

} // namespace zorvane
