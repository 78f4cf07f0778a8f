#pragma once

#include "filter/host/HostFlowSource.h"
#include "filter/host/netfilter/NetfilterRules.h"
#include "filter/host/netfilter/PacketQueue.h"
#include "filter/host/netfilter/ProcessEvents.h"
#include "filter/host/netfilter/SocketDiagnostics.h"
#include "filter/host/netfilter/SocketProcesses.h"
#include "platform/AuditToken.h"

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace zorvane {

// Real enforcement on Linux: the first packet of every new outbound TCP and UDP connection of
// the machine (its network namespace) becomes a flow for the provider. The packet's socket gives
// the process, the process its audit token; a packet whose process cannot be found is let
// through and counted as unattributed. While it runs, the counts are written to a status file
// that zorvane-system status reads.
// With the kernel's process events, a process's sockets and audit token are remembered until it
// runs another program or ends, and the provider is told to forget its identity then; without
// them (no permission), each packet reads its process's token from /proc again.
class NetfilterFlowSource final : public HostFlowSource {
public:
    static constexpr const char* statusFileName = "enforcement.json";

    struct Settings {
        NetfilterRules::Settings rules;
        std::uint32_t maximumQueued = 4096;
        // Where the counts go; empty: nowhere.
        std::filesystem::path statusFile;
        // The network namespace the kernel reports process events in (see ProcessEvents).
        std::filesystem::path processEventsNetwork = ProcessEvents::firstNetworkNamespace;
    };
    using TokenForPid = std::function<std::optional<AuditToken>(std::int32_t pid)>;

    NetfilterFlowSource(Settings settings, Decide decide, TokenForPid tokenForPid,
                        ForgetProcess forgetProcess = nullptr);
    ~NetfilterFlowSource() override;

    // Whether this process may change the packet filter (CAP_NET_ADMIN in its effective set).
    static bool mayAdministerNetwork();

    std::optional<std::string> start() override;
    void stop() override;

    // The flow the provider gets for a packet of the given process.
    static FilterFlow flowFor(const PacketHeaders& packet, const AuditToken& token);

    struct Counts {
        PacketQueue::Counts queue;
        std::uint64_t failedOpen = 0;
    };
    Counts counts() const;
    // Whether process events keep the remembered processes fresh.
    bool followsProcesses() const { return events_.running(); }

private:
    PacketQueue::Decision decide(const PacketHeaders& packet);
    std::optional<AuditToken> tokenFor(std::int32_t pid);
    void onProcessEvent(ProcessEvents::Kind kind, std::int32_t pid);
    void writeStatus(const Counts& counts) const;
    void reportUntilStopped();

    Settings settings_;
    Decide decide_;
    TokenForPid tokenForPid_;
    ForgetProcess forgetProcess_;
    NetfilterRules rules_;
    SocketDiagnostics sockets_;
    SocketProcesses processes_;
    std::mutex tokensLock_;
    std::unordered_map<std::int32_t, AuditToken> tokens_;
    // Execs, exits and losses handled so far (guarded by tokensLock_).
    std::uint64_t processChanges_ = 0;
    ProcessEvents events_;
    std::unique_ptr<PacketQueue> queue_;

    std::mutex reporterLock_;
    std::condition_variable reporterWake_;
    bool stopping_ = false;
    std::thread reporter_;
};

} // namespace zorvane
