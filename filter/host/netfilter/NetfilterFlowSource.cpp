#include "filter/host/netfilter/NetfilterFlowSource.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace zorvane {
namespace {

constexpr auto reportInterval = std::chrono::seconds(2);
constexpr unsigned capabilityNetAdmin = 12;

std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

} // namespace

NetfilterFlowSource::NetfilterFlowSource(Settings settings, Decide decide, TokenForPid tokenForPid)
    : settings_(std::move(settings)), decide_(std::move(decide)),
      tokenForPid_(std::move(tokenForPid)), rules_(settings_.rules) {}

NetfilterFlowSource::~NetfilterFlowSource() {
    stop();
}

bool NetfilterFlowSource::mayAdministerNetwork() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("CapEff:")) {
            const auto effective = std::stoull(line.substr(7), nullptr, 16);
            return ((effective >> capabilityNetAdmin) & 1) != 0;
        }
    }
    return false;
}

FilterFlow NetfilterFlowSource::flowFor(const PacketHeaders& packet, const AuditToken& token) {
    FilterFlow flow;
    flow.direction = FilterFlow::Direction::outbound;
    flow.sourceAppAuditToken = bytesOf(token);
    flow.sourceProcessAuditToken = flow.sourceAppAuditToken;
    SocketFlowInfo socket;
    socket.socketProtocol = packet.protocol;
    socket.remoteEndpoint =
        HostEndpoint{packet.destinationText(), std::to_string(packet.destinationPort)};
    flow.socket = std::move(socket);
    return flow;
}

PacketQueue::Decision NetfilterFlowSource::decide(const PacketHeaders& packet) {
    const auto socket = sockets_.socketOf(packet);
    if (!socket) {
        return PacketQueue::Decision::allowUnattributed;
    }
    const auto pid = processes_.processOf(socket->inode, socket->uid);
    if (!pid) {
        return PacketQueue::Decision::allowUnattributed;
    }
    const auto token = tokenForPid_(*pid);
    if (!token) {
        return PacketQueue::Decision::allowUnattributed;
    }
    return decide_(flowFor(packet, *token)) == FilterVerdict::drop ? PacketQueue::Decision::drop
                                                                   : PacketQueue::Decision::allow;
}

std::optional<std::string> NetfilterFlowSource::start() {
    if (queue_) {
        return std::nullopt;
    }
    if (auto error = rules_.install()) {
        return error;
    }
    queue_ = std::make_unique<PacketQueue>(
        PacketQueue::Settings{.firstQueue = settings_.rules.firstQueue,
                              .queueCount = settings_.rules.queueCount,
                              .dropMark = settings_.rules.dropMark,
                              .maximumQueued = settings_.maximumQueued},
        [this](const PacketHeaders& packet) { return decide(packet); });
    if (auto error = queue_->start()) {
        queue_.reset();
        rules_.remove();
        return error;
    }
    if (!settings_.statusFile.empty()) {
        stopping_ = false;
        reporter_ = std::thread([this] { reportUntilStopped(); });
    }
    return std::nullopt;
}

void NetfilterFlowSource::stop() {
    if (!queue_) {
        return;
    }
    {
        std::lock_guard guard(reporterLock_);
        stopping_ = true;
    }
    reporterWake_.notify_all();
    if (reporter_.joinable()) {
        reporter_.join();
    }
    // The rules go first: with no queue rule left, nothing new waits for a reader that is about
    // to leave.
    if (auto error = rules_.remove()) {
        std::fprintf(stderr, "ZorvaneFilter: %s\n", error->c_str());
    }
    queue_->stop();
    queue_.reset();
    if (!settings_.statusFile.empty()) {
        std::error_code ignored;
        std::filesystem::remove(settings_.statusFile, ignored);
    }
}

NetfilterFlowSource::Counts NetfilterFlowSource::counts() const {
    Counts counts;
    if (!queue_) {
        return counts;
    }
    counts.queue = queue_->counts();
    if (const auto sent = rules_.packetsSentToQueues(); sent && *sent > counts.queue.queued) {
        counts.failedOpen = *sent - counts.queue.queued;
    }
    return counts;
}

void NetfilterFlowSource::writeStatus(const Counts& counts) const {
    const auto& rules = settings_.rules;
    std::ostringstream text;
    text << "{\"queues\":\"" << rules.firstQueue;
    if (rules.queueCount > 1) {
        text << "-" << rules.firstQueue + rules.queueCount - 1;
    }
    text << "\",\"queued\":" << counts.queue.queued << ",\"allowed\":" << counts.queue.allowed
         << ",\"dropped\":" << counts.queue.dropped << ",\"failedOpen\":" << counts.failedOpen
         << ",\"unattributed\":" << counts.queue.unattributed << "}\n";
    auto temporary = settings_.statusFile;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << text.str();
        if (!out) {
            return;
        }
    }
    std::error_code ignored;
    std::filesystem::rename(temporary, settings_.statusFile, ignored);
}

void NetfilterFlowSource::reportUntilStopped() {
    std::unique_lock guard(reporterLock_);
    while (!stopping_) {
        guard.unlock();
        writeStatus(counts());
        guard.lock();
        reporterWake_.wait_for(guard, reportInterval, [this] { return stopping_; });
    }
}

} // namespace zorvane
