#pragma once

#include "filter/host/netfilter/PacketHeaders.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace zorvane {

// Reads the host's netfilter queues: every packet gets a verdict. A packet that cannot be read
// is let through; one that the decider refuses is handed back with the drop mark to be looked at
// again, so that the reject rule ahead of the queue rule answers the program at once.
// The kernel lets packets through by itself while the queue is full (fail-open) and while no
// reader is bound (the rule's bypass), so a slow or dead host never stalls the machine.
class PacketQueue {
public:
    enum class Decision {
        allow,
        drop,
        allowUnattributed, // let through because no process could be found for it
    };
    // Called on the queue's reader thread, one packet at a time per queue.
    using Decider = std::function<Decision(const PacketHeaders&)>;

    struct Settings {
        std::uint16_t firstQueue = 23040;
        std::uint16_t queueCount = 1;
        std::uint32_t dropMark = 0x2f5a0001;
        std::uint32_t maximumQueued = 4096; // per queue; past it the kernel fails open
    };

    struct Counts {
        std::uint64_t queued = 0;
        std::uint64_t allowed = 0; // unattributed and unreadable packets included
        std::uint64_t dropped = 0;
        std::uint64_t unattributed = 0;
        std::uint64_t unreadable = 0;
    };

    PacketQueue(Settings settings, Decider decider);
    ~PacketQueue();
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Binds every queue and starts one reader thread per queue. On failure, a text for the log
    // and nothing left bound.
    std::optional<std::string> start();
    // Unbinds the queues; packets queued and not yet decided are let through by the kernel's
    // bypass from then on.
    void stop();

    Counts counts() const;
    const Settings& settings() const { return settings_; }

private:
    struct Reader;

    Settings settings_;
    Decider decider_;
    std::vector<std::unique_ptr<Reader>> readers_;
    int wakeup_ = -1;

    std::atomic<std::uint64_t> queued_{0};
    std::atomic<std::uint64_t> allowed_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> unattributed_{0};
    std::atomic<std::uint64_t> unreadable_{0};
};

} // namespace zorvane
