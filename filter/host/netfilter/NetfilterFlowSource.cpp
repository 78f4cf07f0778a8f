#include "filter/host/netfilter/NetfilterFlowSource.h"

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace zorvane {
namespace {

constexpr auto reportInterval = std::chrono::seconds(2);
constexpr unsigned capabilityNetAdmin = 12;
// Processes whose tokens are kept; past it they are read again.
constexpr std::size_t maximumTokens = 1 << 14;

std::vector<std::uint8_t> bytesOf(const AuditToken& token) {
    const auto bytes = token.bytes();
    return {bytes.begin(), bytes.end()};
}

} // namespace

NetfilterFlowSource::NetfilterFlowSource(Settings settings, Decide decide, TokenForPid tokenForPid,
                                         ForgetProcess forgetProcess)
    : settings_(std::move(settings)), decide_(std::move(decide)),
      tokenForPid_(std::move(tokenForPid)), forgetProcess_(std::move(forgetProcess)),
      rules_(settings_.rules),
      events_([this](ProcessEvents::Kind kind, std::int32_t pid) { onProcessEvent(kind, pid); },
              settings_.processEventsNetwork) {}

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

void NetfilterFlowSource::onProcessEvent(ProcessEvents::Kind kind, std::int32_t pid) {
    if (kind == ProcessEvents::Kind::started) {
        processes_.started(pid);
        return;
    }
    std::vector<AuditToken> stale;
    {
        std::lock_guard guard(tokensLock_);
        ++processChanges_;
        if (kind == ProcessEvents::Kind::lost) {
            for (const auto& [ignored, token] : tokens_) {
                stale.push_back(token);
            }
            tokens_.clear();
        } else if (const auto it = tokens_.find(pid); it != tokens_.end()) {
            stale.push_back(it->second);
            tokens_.erase(it);
        }
    }
    if (kind == ProcessEvents::Kind::lost) {
        processes_.forgetAll();
    } else {
        processes_.forget(pid);
    }
    // A program just started by exec is as new as a process just forked: most often the one
    // behind the next socket nobody has seen.
    if (kind == ProcessEvents::Kind::executed) {
        processes_.started(pid);
    }
    if (forgetProcess_) {
        for (const auto& token : stale) {
            forgetProcess_(bytesOf(token));
        }
    }
}

// Only while process events say when a pid stops naming the process it named, may its token be
// kept: the start time in it is what tells a reused pid apart, and reading it is what costs.
std::optional<AuditToken> NetfilterFlowSource::tokenFor(std::int32_t pid) {
    if (!events_.running()) {
        return tokenForPid_(pid);
    }
    {
        std::lock_guard guard(tokensLock_);
        if (const auto it = tokens_.find(pid); it != tokens_.end()) {
            return it->second;
        }
    }
    std::uint64_t changesBefore = 0;
    {
        std::lock_guard guard(tokensLock_);
        changesBefore = processChanges_;
    }
    auto token = tokenForPid_(pid);
    if (!token) {
        return token;
    }
    // Read without the lock: had the process ended meanwhile, its event would have found nothing
    // to forget, and a token kept now would outlive it into a reused pid. Whether any process
    // changed is cheaper to know than whether this one did; then it is simply read again later.
    events_.catchUp();
    std::lock_guard guard(tokensLock_);
    if (processChanges_ != changesBefore) {
        return token;
    }
    if (tokens_.size() >= maximumTokens) {
        tokens_.clear();
    }
    tokens_.emplace(pid, *token);
    return token;
}

PacketQueue::Decision NetfilterFlowSource::decide(const PacketHeaders& packet) {
    // Every exec and exit before this packet was sent is handled before it is attributed.
    events_.catchUp();
    const auto socket = sockets_.socketOf(packet);
    if (!socket) {
        return PacketQueue::Decision::allowUnattributed;
    }
    const auto pid = processes_.processOf(socket->inode, socket->uid);
    if (!pid) {
        return PacketQueue::Decision::allowUnattributed;
    }
    const auto token = tokenFor(*pid);
    if (!token) {
        return PacketQueue::Decision::allowUnattributed;
    }
    const auto verdict = decide_(flowFor(packet, *token));
    // An exec handled while the provider read the old program would have been forgotten before
    // the provider kept what it read.
    if (forgetProcess_ && events_.running()) {
        bool changed = false;
        {
            std::lock_guard guard(tokensLock_);
            changed = !tokens_.contains(*pid);
        }
        if (changed) {
            forgetProcess_(bytesOf(*token));
        }
    }
    return verdict == FilterVerdict::drop ? PacketQueue::Decision::drop
                                          : PacketQueue::Decision::allow;
}

std::optional<std::string> NetfilterFlowSource::start() {
    if (queue_) {
        return std::nullopt;
    }
    if (auto error = events_.start()) {
        std::fprintf(stderr,
                     "ZorvaneFilter: %s; every connection looks its process up in /proc again\n",
                     error->c_str());
    }
    if (auto error = rules_.install()) {
        events_.stop();
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
        events_.stop();
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
    events_.stop();
    {
        std::lock_guard guard(tokensLock_);
        tokens_.clear();
    }
    processes_.forgetAll();
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
