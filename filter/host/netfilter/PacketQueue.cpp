#include "filter/host/netfilter/PacketQueue.h"

#include <arpa/inet.h>
#include <cerrno>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zorvane {

struct PacketQueue::Reader {
    PacketQueue* owner = nullptr;
    std::uint16_t number = 0;
    nfq_handle* handle = nullptr;
    nfq_q_handle* queue = nullptr;
    std::thread thread;

    ~Reader() {
        if (queue) {
            nfq_destroy_queue(queue);
        }
        if (handle) {
            nfq_close(handle);
        }
    }

    static int onPacket(nfq_q_handle* queue, nfgenmsg*, nfq_data* data, void* context) {
        auto* reader = static_cast<Reader*>(context);
        PacketQueue& owner = *reader->owner;
        const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
        if (header == nullptr) {
            return 0;
        }
        const std::uint32_t id = ntohl(header->packet_id);
        owner.queued_.fetch_add(1, std::memory_order_relaxed);

        unsigned char* payload = nullptr;
        const int length = nfq_get_payload(data, &payload);
        std::optional<PacketHeaders> headers;
        if (length > 0) {
            headers = PacketHeaders::parse(
                std::span<const std::uint8_t>(payload, static_cast<std::size_t>(length)));
        }
        Decision decision = Decision::allow;
        if (!headers) {
            owner.unreadable_.fetch_add(1, std::memory_order_relaxed);
        } else {
            decision = owner.decider_(*headers);
        }
        if (decision == Decision::drop) {
            owner.dropped_.fetch_add(1, std::memory_order_relaxed);
            // Looked at again from the top of the hook, carrying the mark the reject rule
            // answers.
            return nfq_set_verdict2(queue, id, NF_REPEAT, owner.settings_.dropMark, 0, nullptr);
        }
        if (decision == Decision::allowUnattributed) {
            owner.unattributed_.fetch_add(1, std::memory_order_relaxed);
        }
        owner.allowed_.fetch_add(1, std::memory_order_relaxed);
        return nfq_set_verdict(queue, id, NF_ACCEPT, 0, nullptr);
    }

    std::optional<std::string> bind(const Settings& settings) {
        handle = nfq_open();
        if (!handle) {
            return "cannot open the netfilter queue socket";
        }
        queue = nfq_create_queue(handle, number, &Reader::onPacket, this);
        if (!queue) {
            return "queue " + std::to_string(number) + " is taken or not permitted";
        }
        if (nfq_set_mode(queue, NFQNL_COPY_PACKET, 0xffff) < 0) {
            return "cannot ask for packet contents";
        }
        if (nfq_set_queue_flags(queue, NFQA_CFG_F_FAIL_OPEN, NFQA_CFG_F_FAIL_OPEN) < 0) {
            return "the kernel has no fail-open queues";
        }
        nfq_set_queue_maxlen(queue, settings.maximumQueued);
        const int descriptor = nfq_fd(handle);
        // A burst must not overflow the socket: the messages lost then would leave their packets
        // waiting in the kernel until the queue fills.
        const int size = 8 * 1024 * 1024;
        if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
            ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        }
        const int on = 1;
        ::setsockopt(descriptor, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
        return std::nullopt;
    }

    void run(int wakeup) {
        const int descriptor = nfq_fd(handle);
        alignas(nlmsghdr) char buffer[0x10000 + 4096];
        for (;;) {
            pollfd fds[2] = {{descriptor, POLLIN, 0}, {wakeup, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            for (;;) {
                const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
                if (received < 0) {
                    break;
                }
                nfq_handle_packet(handle, buffer, static_cast<int>(received));
            }
            // Whatever was delivered has had its verdict by now; the kernel would drop what is
            // still waiting when the queue goes.
            if (fds[1].revents != 0) {
                return;
            }
        }
    }
};

PacketQueue::PacketQueue(Settings settings, Decider decider)
    : settings_(settings), decider_(std::move(decider)) {}

PacketQueue::~PacketQueue() {
    stop();
}

std::optional<std::string> PacketQueue::start() {
    if (!readers_.empty()) {
        return std::nullopt;
    }
    wakeup_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup_ < 0) {
        return "cannot make an event descriptor";
    }
    for (std::uint16_t i = 0; i < std::max<std::uint16_t>(settings_.queueCount, 1); ++i) {
        auto reader = std::make_unique<Reader>();
        reader->owner = this;
        reader->number = static_cast<std::uint16_t>(settings_.firstQueue + i);
        if (auto error = reader->bind(settings_)) {
            readers_.clear();
            ::close(wakeup_);
            wakeup_ = -1;
            return error;
        }
        readers_.push_back(std::move(reader));
    }
    for (auto& reader : readers_) {
        reader->thread = std::thread([raw = reader.get(), wakeup = wakeup_] { raw->run(wakeup); });
    }
    return std::nullopt;
}

void PacketQueue::stop() {
    if (wakeup_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
    for (auto& reader : readers_) {
        if (reader->thread.joinable()) {
            reader->thread.join();
        }
    }
    readers_.clear();
    ::close(wakeup_);
    wakeup_ = -1;
}

PacketQueue::Counts PacketQueue::counts() const {
    return {queued_.load(std::memory_order_relaxed), allowed_.load(std::memory_order_relaxed),
            dropped_.load(std::memory_order_relaxed), unattributed_.load(std::memory_order_relaxed),
            unreadable_.load(std::memory_order_relaxed)};
}

} // namespace zorvane
