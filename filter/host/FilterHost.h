#pragma once

#include "filter/host/FlowRequestParser.h"
#include "filter/host/FlowSocketServer.h"
#include "filter/host/HostFlowSource.h"
#include "filter/host/HostTaskInspector.h"
#include "filter/host/HostedProvider.h"
#include "filter/host/SimulatedProcessTable.h"

#include <asio/io_context.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace zorvane {

// The Linux stand-in for what the system does around a content filter: one host per system
// directory drives the provider from the saved configuration and hands it the flows that
// clients describe on filter.sock (and tells a client that sends {"report": "activity"} what the
// filter has not delivered to the application yet). run() returns when SIGTERM or SIGINT arrives
// (or stop() is called), after the provider has stopped, the socket file is gone and just before
// the host lock is released. The host lock file names the host's process, so that a keeper can
// find a host that was left behind.
class FilterHost {
public:
    struct Dependencies {
        std::filesystem::path systemDirectory;
        // Builds the provider around the host's task inspector.
        std::function<std::unique_ptr<HostedProvider>(std::shared_ptr<TaskInspector>)> makeProvider;
        // The inspector of live processes, for tokens that are not simulated.
        std::shared_ptr<TaskInspector> realProcesses;
        FlowRequestParser::RealProcessToken realProcessToken;
        HostTaskInspector::SignatureReader readSignature;
        // Threads that decide flows, so that one slow identity resolution holds up only the
        // connection that asked for it, never the socket or the configuration.
        std::size_t decisionThreads = 4;
        FlowSocketServer::Options socketOptions;
        // Real flows next to filter.sock (netfilter on Linux); absent: only filter.sock.
        std::function<std::unique_ptr<HostFlowSource>(HostFlowSource::Decide,
                                                      HostFlowSource::ForgetProcess)>
            makeFlowSource;
    };

    explicit FilterHost(Dependencies dependencies);

    // The process's exit status: 0 after a clean shutdown, 1 when the host could not start
    // (another host runs for the directory, the socket cannot be served, ...).
    int run();

    // Asks a running host to shut down as SIGTERM does; safe from any thread.
    void stop();

private:
    Dependencies dependencies_;
    asio::io_context io_;
    std::function<void()> shutdown_;
};

} // namespace zorvane
