// What the netfilter path costs a program's connect(), in a network namespace of its own (needs
// root; without it the program says so and exits 0). Every case connects to a listener on
// 192.0.2.1 and reports connect() latency percentiles and the connection rate:
//   NoRules         no rules at all (the baseline)
//   QueueAcceptAll  the rules and the queue, with a reader that accepts without deciding
//   FilterAllow     the filter on: attribution and the provider's verdict, a known process allowed
//   FilterRefuse    the same process listed: the time until connect() fails with ECONNREFUSED
//   FreshProcess*   each connect() from a new process (forked), so that attribution scans for
//                   it and the provider resolves its identity: without rules, and filter on
//   *BesidePrograms NoRules and FilterAllow while short-lived programs connect beside them
//                   (what the searches for new processes cost a known one, by number of queues)
//   ShortLivedPrograms  many programs at once (this one, run again as a probe), each connects
//                   once, lives 10 ms more and exits; "attributed" is the share of their
//                   connections the flow source found a process for
// The argument of the queue cases is the number of queues (and reader threads).
#include "filter/FilterDataProvider.h"
#include "filter/host/netfilter/ExternalCommand.h"
#include "filter/host/netfilter/NetfilterFlowSource.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "shared/CodeIdentity.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <sched.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace zorvane;

constexpr std::uint16_t port = 7200;
std::filesystem::path processEventsNetwork;

sockaddr_in serverAddress() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, "192.0.2.1", &address.sin_addr);
    return address;
}

// Accepts and closes every connection.
class Listener {
public:
    Listener() {
        descriptor_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(descriptor_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const auto address = serverAddress();
        ::bind(descriptor_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        ::listen(descriptor_, 4096);
        thread_ = std::thread([this] {
            while (true) {
                const int client = ::accept(descriptor_, nullptr, nullptr);
                if (client < 0) {
                    return;
                }
                ::close(client);
            }
        });
    }
    ~Listener() {
        ::shutdown(descriptor_, SHUT_RDWR);
        thread_.join();
        ::close(descriptor_);
    }

private:
    int descriptor_ = -1;
    std::thread thread_;
};

// One connect() and its duration; the result is the errno (0: connected).
int connectOnce(std::chrono::nanoseconds& took) {
    const auto address = serverAddress();
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    // A reset close leaves no TIME_WAIT behind to run out of ports.
    const linger reset{1, 0};
    ::setsockopt(descriptor, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    const auto start = std::chrono::steady_clock::now();
    const int result =
        ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    took = std::chrono::steady_clock::now() - start;
    const int error = result == 0 ? 0 : errno;
    ::close(descriptor);
    return error;
}

void measure(benchmark::State& state, int expectedError) {
    Listener listener;
    std::vector<double> microseconds;
    microseconds.reserve(100000);
    std::size_t unexpected = 0;
    int unexpectedError = 0;
    for (auto _ : state) {
        std::chrono::nanoseconds took{};
        if (const int error = connectOnce(took); error != expectedError) {
            ++unexpected;
            unexpectedError = error;
        }
        microseconds.push_back(std::chrono::duration<double, std::micro>(took).count());
    }
    std::sort(microseconds.begin(), microseconds.end());
    auto percentile = [&](double p) {
        return microseconds.empty()
                   ? 0.0
                   : microseconds[std::min(microseconds.size() - 1,
                                           static_cast<std::size_t>(p * microseconds.size()))];
    };
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
    state.counters["unexpected"] = static_cast<double>(unexpected);
    if (unexpected != 0) {
        state.counters["unexpectedErrno"] = unexpectedError;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// This program again, as a probe in a process of its own. Spawned, not forked: a fork of the
// process that also runs the flow source would hold the source's threads (the address space is
// locked while it is copied) and be counted as the filter's time.
pid_t spawnProbe(const char* mode, int output = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output >= 0) {
        posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    }
    char program[] = "bench_netfilter_connect";
    char* argv[] = {program, const_cast<char*>(mode), nullptr};
    pid_t child = -1;
    if (::posix_spawn(&child, "/proc/self/exe", &actions, nullptr, argv, environ) != 0) {
        child = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

// Each connect() from a fresh process (this program started again), which reports its latency
// through a pipe.
void measureFresh(benchmark::State& state) {
    Listener listener;
    std::vector<double> microseconds;
    std::size_t unexpected = 0;
    for (auto _ : state) {
        int report[2];
        if (::pipe(report) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t child = spawnProbe("--connect-once", report[1]);
        ::close(report[1]);
        std::int64_t result[2] = {-1, 0};
        if (::read(report[0], result, sizeof result) != sizeof result || result[0] != 0) {
            ++unexpected;
        }
        ::close(report[0]);
        ::waitpid(child, nullptr, 0);
        microseconds.push_back(static_cast<double>(result[1]) / 1000.0);
    }
    std::sort(microseconds.begin(), microseconds.end());
    auto percentile = [&](double p) {
        return microseconds.empty()
                   ? 0.0
                   : microseconds[std::min(microseconds.size() - 1,
                                           static_cast<std::size_t>(p * microseconds.size()))];
    };
    state.counters["p50_us"] = percentile(0.50);
    state.counters["p99_us"] = percentile(0.99);
    state.counters["unexpected"] = static_cast<double>(unexpected);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

NetfilterRules::Settings ruleSettings(const benchmark::State& state) {
    return {.chain = "ZV_BENCH",
            .firstQueue = 500,
            .queueCount = static_cast<std::uint16_t>(state.range(0))};
}

void NoRules(benchmark::State& state) {
    measure(state, 0);
}

void QueueAcceptAll(benchmark::State& state) {
    NetfilterRules rules(ruleSettings(state));
    if (auto error = rules.install()) {
        state.SkipWithError(error->c_str());
        return;
    }
    PacketQueue queue({.firstQueue = 500, .queueCount = ruleSettings(state).queueCount},
                      [](const PacketHeaders&) { return PacketQueue::Decision::allow; });
    if (auto error = queue.start()) {
        state.SkipWithError(error->c_str());
        rules.remove();
        return;
    }
    measure(state, 0);
    queue.stop();
    rules.remove();
}

// Programs that connect once, stay 10 ms and exit, `alive` of them at a time.
void runShortLivedPrograms(benchmark::State& state, std::size_t alive) {
    Listener listener;
    std::vector<pid_t> running;
    std::size_t failed = 0;
    const auto reap = [&](bool wait) {
        for (auto it = running.begin(); it != running.end();) {
            int status = 0;
            const pid_t done = ::waitpid(*it, &status, wait ? 0 : WNOHANG);
            if (done == *it) {
                failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
                it = running.erase(it);
            } else {
                ++it;
            }
        }
    };
    for (auto _ : state) {
        while (running.size() >= alive) {
            reap(false);
            if (running.size() >= alive) {
                int status = 0;
                const pid_t done = ::waitpid(-1, &status, 0);
                failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
                std::erase(running, done);
            }
        }
        running.push_back(spawnProbe("--probe"));
    }
    for (const pid_t child : running) {
        int status = 0;
        ::waitpid(child, &status, 0);
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    state.counters["failed"] = static_cast<double>(failed);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

// Keeps `alive` short-lived programs running until `stop` is set.
std::thread programsUntil(const std::atomic<bool>& stop, std::size_t alive) {
    return std::thread([&stop, alive] {
        std::vector<pid_t> running;
        while (!stop.load()) {
            if (running.size() >= alive) {
                std::erase(running, ::waitpid(-1, nullptr, 0));
                continue;
            }
            running.push_back(spawnProbe("--probe"));
        }
        for (const pid_t child : running) {
            ::waitpid(child, nullptr, 0);
        }
    });
}

void measureBesidePrograms(benchmark::State& state, int expectedError) {
    std::atomic<bool> stop{false};
    auto programs = programsUntil(stop, 8);
    measure(state, expectedError);
    stop = true;
    programs.join();
}

enum class Load { sameProcess, freshProcesses, shortLivedPrograms, sameProcessBesidePrograms };

// The provider as the host runs it, with a rule set that lists `listed`.
void throughFilter(benchmark::State& state, const std::string& listed, int expectedError,
                   Load load = Load::sameProcess) {
    FilterDataProvider provider({.taskInspector = std::make_shared<LinuxTaskInspector>()});
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedCodeIdentities", PlistArray{listed}}}));
    NetfilterFlowSource source(
        {.rules = ruleSettings(state), .processEventsNetwork = processEventsNetwork},
        [&](const FilterFlow& flow) { return provider.handleNewFlow(flow); },
        [](std::int32_t pid) { return LinuxAuditTokens::tokenForPid(pid); },
        [&](const std::vector<std::uint8_t>& token) { provider.forgetProcess(token); });
    if (auto error = source.start()) {
        state.SkipWithError(error->c_str());
        return;
    }
    switch (load) {
    case Load::sameProcess:
        measure(state, expectedError);
        break;
    case Load::freshProcesses:
        measureFresh(state);
        break;
    case Load::shortLivedPrograms:
        runShortLivedPrograms(state, 32);
        break;
    case Load::sameProcessBesidePrograms:
        measureBesidePrograms(state, expectedError);
        break;
    }
    const auto counts = source.counts();
    state.counters["queued"] = static_cast<double>(counts.queue.queued);
    state.counters["unattributed"] = static_cast<double>(counts.queue.unattributed);
    state.counters["failedOpen"] = static_cast<double>(counts.failedOpen);
    state.counters["attributed"] = counts.queue.queued == 0
                                       ? 0.0
                                       : 1.0 - static_cast<double>(counts.queue.unattributed) /
                                                   static_cast<double>(counts.queue.queued);
    state.counters["processEvents"] = source.followsProcesses() ? 1 : 0;
    source.stop();
}

std::string ownKey() {
    return CodeIdentity::make(std::filesystem::canonical("/proc/self/exe").string(), std::nullopt)
        .key();
}

void FilterAllow(benchmark::State& state) {
    throughFilter(state, CodeIdentity::make("/usr/bin/someone-else", std::nullopt).key(), 0);
}

void FilterRefuse(benchmark::State& state) {
    throughFilter(state, ownKey(), ECONNREFUSED);
}

void FreshProcessNoRules(benchmark::State& state) {
    measureFresh(state);
}

void FreshProcessFilterAllow(benchmark::State& state) {
    throughFilter(state, CodeIdentity::make("/usr/bin/someone-else", std::nullopt).key(), 0,
                  Load::freshProcesses);
}

void NoRulesBesidePrograms(benchmark::State& state) {
    measureBesidePrograms(state, 0);
}

void FilterAllowBesidePrograms(benchmark::State& state) {
    throughFilter(state, CodeIdentity::make("/usr/bin/someone-else", std::nullopt).key(), 0,
                  Load::sameProcessBesidePrograms);
}

void ShortLivedPrograms(benchmark::State& state) {
    throughFilter(state, CodeIdentity::make("/usr/bin/someone-else", std::nullopt).key(), 0,
                  Load::shortLivedPrograms);
}

BENCHMARK(NoRules)->Iterations(5000)->UseRealTime();
BENCHMARK(QueueAcceptAll)->Arg(1)->Arg(2)->Iterations(5000)->UseRealTime();
BENCHMARK(FilterAllow)->Arg(1)->Arg(2)->Iterations(5000)->UseRealTime();
BENCHMARK(FilterRefuse)->Arg(1)->Arg(2)->Iterations(5000)->UseRealTime();
BENCHMARK(FreshProcessNoRules)->Iterations(1000)->UseRealTime();
BENCHMARK(FreshProcessFilterAllow)->Arg(1)->Arg(2)->Iterations(1000)->UseRealTime();
BENCHMARK(NoRulesBesidePrograms)->Iterations(5000)->UseRealTime();
BENCHMARK(FilterAllowBesidePrograms)->Arg(1)->Arg(2)->Iterations(5000)->UseRealTime();
BENCHMARK(ShortLivedPrograms)->Arg(1)->Arg(2)->Iterations(2000)->UseRealTime();

} // namespace

// One program of ShortLivedPrograms: connects, lives 10 ms more, exits (0: it connected).
int probe() {
    const auto address = serverAddress();
    const int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int result =
        ::connect(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return result == 0 ? 0 : 1;
}

// One connect() of FreshProcess*: the errno and the nanoseconds it took, on standard output.
int connectOnceAndReport() {
    std::chrono::nanoseconds took{};
    const std::int64_t result[2] = {connectOnce(took), took.count()};
    return ::write(STDOUT_FILENO, result, sizeof result) == sizeof result ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--probe") {
        return probe();
    }
    if (argc == 2 && std::string_view(argv[1]) == "--connect-once") {
        return connectOnceAndReport();
    }
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_netfilter_connect: needs root (a network namespace and "
                             "netfilter rules of its own); nothing measured\n");
        return 0;
    }
    // The kernel reports process events only in the machine's first network namespace; the
    // flow source opens its listening socket there through this descriptor. With
    // --without-process-events it tries in the benchmark's own namespace, fails, and looks every
    // process up again for each connection, as a host without the events does.
    const auto withoutEvents = std::find_if(argv + 1, argv + argc, [](const char* argument) {
        return std::string_view(argument) == "--without-process-events";
    });
    if (withoutEvents != argv + argc) {
        std::rotate(withoutEvents, withoutEvents + 1, argv + argc);
        --argc;
        processEventsNetwork = "/proc/self/ns/net";
    } else {
        const int firstNetwork = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        processEventsNetwork = "/proc/self/fd/" + std::to_string(firstNetwork);
    }
    if (::unshare(CLONE_NEWNET) != 0 ||
        !ExternalCommand::run({"ip", "link", "set", "lo", "up"}).succeeded() ||
        !ExternalCommand::run({"ip", "addr", "add", "192.0.2.1/32", "dev", "lo"}).succeeded()) {
        std::fprintf(stderr, "bench_netfilter_connect: cannot make its network namespace\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
