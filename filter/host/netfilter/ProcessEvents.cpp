#include "filter/host/netfilter/ProcessEvents.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvane {
namespace {

constexpr int confirmationMilliseconds = 2000;
constexpr std::uint32_t eventOffset = NLMSG_HDRLEN + sizeof(cn_msg);
constexpr std::uint32_t whatOffset = eventOffset + offsetof(proc_event, what);

int openConnector() {
    return ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_CONNECTOR);
}

bool sameNamespace(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    // Unreadable: the host cannot enter the other one anyway.
    return ::stat(first, &a) != 0 || ::stat(second, &b) != 0 ||
           (a.st_dev == b.st_dev && a.st_ino == b.st_ino);
}

// setns moves only the calling thread, so a thread of its own enters the namespace, opens the
// socket and ends; the socket keeps the namespace it was made in.
int openIn(const std::filesystem::path& network) {
    if (network.empty() || sameNamespace("/proc/self/ns/net", network.c_str())) {
        return openConnector();
    }
    int descriptor = -1;
    std::thread([&descriptor, &network] {
        const int target = ::open(network.c_str(), O_RDONLY | O_CLOEXEC);
        if (target >= 0 && ::setns(target, CLONE_NEWNET) == 0) {
            descriptor = openConnector();
        }
        if (target >= 0) {
            ::close(target);
        }
    }).join();
    return descriptor;
}

// Keeps, in the kernel, only what the host acts on: forks and exits of whole processes (not of
// threads), execs, and the kernel's confirmations. A busy machine makes many threads.
bool keepOnlyWhatMatters(int descriptor) {
    const auto word = [](std::uint32_t value) { return htonl(value); };
    sock_filter program[] = {
        /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, whatOffset),
        /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(proc_event::PROC_EVENT_EXEC), 12, 0),
        /* 2 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(proc_event::PROC_EVENT_NONE), 11, 0),
        /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(proc_event::PROC_EVENT_FORK), 1, 0),
        /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(proc_event::PROC_EVENT_EXIT), 4, 8),
        // fork: child pid == child tgid
        /* 5 */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                 eventOffset + offsetof(proc_event, event_data.fork.child_pid)),
        /* 6 */ BPF_STMT(BPF_MISC | BPF_TAX, 0),
        /* 7 */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                 eventOffset + offsetof(proc_event, event_data.fork.child_tgid)),
        /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 5, 4),
        // exit: pid == tgid
        /* 9 */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                 eventOffset + offsetof(proc_event, event_data.exit.process_pid)),
        /* 10 */ BPF_STMT(BPF_MISC | BPF_TAX, 0),
        /* 11 */
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                 eventOffset + offsetof(proc_event, event_data.exit.process_tgid)),
        /* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_X, 0, 1, 0),
        /* 13 */ BPF_STMT(BPF_RET | BPF_K, 0),
        /* 14 */ BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
    };
    sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
    return ::setsockopt(descriptor, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) == 0;
}

bool sendOperation(int descriptor, proc_cn_mcast_op operation, std::uint32_t sequence) {
    alignas(nlmsghdr) char buffer[NLMSG_SPACE(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))]{};
    auto* header = reinterpret_cast<nlmsghdr*>(buffer);
    header->nlmsg_len = NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op));
    header->nlmsg_type = NLMSG_DONE;
    auto* message = static_cast<cn_msg*>(NLMSG_DATA(header));
    message->id.idx = CN_IDX_PROC;
    message->id.val = CN_VAL_PROC;
    // The kernel answers with ack + 1 (and a sequence number of its own).
    message->ack = sequence;
    message->len = sizeof(proc_cn_mcast_op);
    std::memcpy(message->data, &operation, sizeof operation);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    return ::sendto(descriptor, buffer, header->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                    sizeof kernel) == static_cast<ssize_t>(header->nlmsg_len);
}

// The events in one datagram; `each` gets every proc_event with its connector message.
template <typename Each> void forEachEvent(const char* buffer, ssize_t length, Each each) {
    int remaining = static_cast<int>(length);
    for (auto* header = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(header, remaining);
         header = NLMSG_NEXT(header, remaining)) {
        if (header->nlmsg_len < NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_event))) {
            continue;
        }
        const auto* message = static_cast<const cn_msg*>(NLMSG_DATA(header));
        if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC) {
            continue;
        }
        proc_event event;
        std::memcpy(&event, message->data, sizeof event);
        each(*message, event);
    }
}

// Waits for the kernel's answer to our subscription: without it, the kernel ignores us (another
// pid or user namespace) and nothing would ever arrive.
bool confirmed(int descriptor, std::uint32_t sequence) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(confirmationMilliseconds);
    alignas(nlmsghdr) char buffer[8192];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) {
            return false;
        }
        pollfd ready{descriptor, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return false;
        }
        for (;;) {
            const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
            if (received < 0) {
                if (errno == EAGAIN || errno == ENOBUFS || errno == EINTR) {
                    break;
                }
                return false;
            }
            bool answered = false;
            forEachEvent(buffer, received, [&](const cn_msg& message, const proc_event& event) {
                answered =
                    answered || (event.what == proc_event::PROC_EVENT_NONE &&
                                 message.ack == sequence + 1 && event.event_data.ack.err == 0);
            });
            if (answered) {
                return true;
            }
        }
    }
}

} // namespace

ProcessEvents::ProcessEvents(Handler handler, std::filesystem::path network)
    : handler_(std::move(handler)), network_(std::move(network)) {}

ProcessEvents::~ProcessEvents() {
    stop();
}

std::optional<std::string> ProcessEvents::start() {
    if (wakeup_ >= 0) {
        return std::nullopt;
    }
    const int descriptor = openIn(network_);
    if (descriptor < 0) {
        return std::string("cannot open the process-event socket: ") + std::strerror(errno);
    }
    const auto fail = [descriptor](std::string text) {
        ::close(descriptor);
        return std::optional<std::string>(std::move(text));
    };
    if (!keepOnlyWhatMatters(descriptor)) {
        return fail("cannot filter process events");
    }
    // Bursts of process starts must not overflow the socket: a loss empties every cache.
    const int size = 4 * 1024 * 1024;
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
        ::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = CN_IDX_PROC;
    if (::bind(descriptor, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return fail(std::string("process events are not permitted: ") + std::strerror(errno));
    }
    const auto sequence = static_cast<std::uint32_t>(::getpid()) ^ 0x5a0e0000u;
    if (!sendOperation(descriptor, PROC_CN_MCAST_LISTEN, sequence) ||
        !confirmed(descriptor, sequence)) {
        return fail("the kernel does not report process events to this process");
    }
    wakeup_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeup_ < 0) {
        return fail("cannot make an event descriptor");
    }
    descriptor_ = descriptor;
    running_ = true;
    reader_ = std::thread([this] { run(); });
    return std::nullopt;
}

void ProcessEvents::stop() {
    if (wakeup_ < 0) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
    reader_.join();
    std::lock_guard guard(lock_);
    running_ = false;
    sendOperation(descriptor_, PROC_CN_MCAST_IGNORE, 0);
    ::close(descriptor_);
    descriptor_ = -1;
    ::close(wakeup_);
    wakeup_ = -1;
}

void ProcessEvents::catchUp() {
    if (!running_.load(std::memory_order_acquire)) {
        return;
    }
    std::lock_guard guard(lock_);
    // The socket stays open until stop(), so that the reading thread never polls a reused
    // descriptor.
    if (running_.load(std::memory_order_relaxed) && !drain()) {
        running_.store(false, std::memory_order_release);
    }
}

bool ProcessEvents::drain() {
    alignas(nlmsghdr) char buffer[16384];
    for (;;) {
        const ssize_t received = ::recv(descriptor_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                return true;
            }
            handler_(Kind::lost, 0);
            if (errno == ENOBUFS) {
                continue;
            }
            return false;
        }
        forEachEvent(buffer, received, [this](const cn_msg&, const proc_event& event) {
            switch (event.what) {
            case proc_event::PROC_EVENT_FORK:
                handler_(Kind::started, event.event_data.fork.child_tgid);
                break;
            case proc_event::PROC_EVENT_EXEC:
                handler_(Kind::executed, event.event_data.exec.process_tgid);
                break;
            case proc_event::PROC_EVENT_EXIT:
                handler_(Kind::ended, event.event_data.exit.process_tgid);
                break;
            default:
                break;
            }
        });
    }
}

void ProcessEvents::run() {
    for (;;) {
        // Once the socket failed, only the stop is waited for.
        const bool reading = running_.load(std::memory_order_acquire);
        pollfd fds[2] = {{wakeup_, POLLIN, 0}, {reading ? descriptor_ : -1, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents != 0) {
            catchUp();
        }
    }
}

} // namespace zorvane
