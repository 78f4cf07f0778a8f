// The verdict latency, over filter.sock, of an ordinary process whose identity is cached, while
// another connection keeps asking about processes whose identity takes long to resolve (a big
// executable, a slow /proc). The same latency without that load is the baseline; with it, the p99
// must stay within twice the baseline's. A real host runs in this process, with a signature
// reader that blocks for the slow processes. The last case decides on one thread only, which is
// what a host deciding on its socket thread did: it shows what the load costs when nothing keeps
// the slow resolutions apart.
#include "filter/host/FilterHost.h"
#include "filter/host/HostedFilterDataProvider.h"
#include "platform/linux/FilterConfigurationFile.h"
#include "shared/CodeIdentity.h"
#include "tests/support/TemporaryDirectory.h"

#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace {

using namespace std::chrono_literals;

constexpr auto slowResolution = 20ms;
const std::string fastExecutable = "/Applications/Fast.app/Contents/MacOS/Fast";

// One blocking client connection; a request and its reply line.
class Client {
public:
    explicit Client(const std::filesystem::path& socketPath) {
        descriptor_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        connected_ =
            ::connect(descriptor_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(descriptor_); }
    bool connected() const { return connected_; }

    std::string exchange(const std::string& request) {
        const std::string line = request + "\n";
        if (::send(descriptor_, line.data(), line.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(line.size())) {
            return {};
        }
        for (;;) {
            if (auto end = pending_.find('\n'); end != std::string::npos) {
                std::string reply = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return reply;
            }
            pollfd waiting{descriptor_, POLLIN, 0};
            if (::poll(&waiting, 1, 10'000) <= 0) {
                return {};
            }
            char buffer[512];
            const ssize_t received = ::recv(descriptor_, buffer, sizeof buffer, 0);
            if (received <= 0) {
                return {};
            }
            pending_.append(buffer, static_cast<std::size_t>(received));
        }
    }

private:
    int descriptor_ = -1;
    bool connected_ = false;
    std::string pending_;
};

std::string flowRequest(const std::string& executable) {
    return R"({"direction": "outbound", "sourceApp": null, "sourceProcess": {"executable": ")" +
           executable +
           R"("}, "socket": {"protocol": 6, "remoteEndpoint": {"hostname": "192.0.2.7", "port": "443"}}})";
}

// A host serving a temporary system directory whose configuration blocks the fast process, so
// that its verdict says whether the provider runs.
class RunningHost {
public:
    explicit RunningHost(std::size_t decisionThreads) {
        FilterConfiguration configuration;
        configuration.enabled = true;
        configuration.providerConfiguration = FilterConfiguration::ProviderConfiguration{
            true, "dev.quillmoor.Zorvane.FilterExtension",
            PlistDictionary{
                {"blockedCodeIdentities",
                 PlistArray{CodeIdentity::make("com.example.fast", std::nullopt).key()}}}};
        std::filesystem::create_directories(system_);
        FilterConfigurationFile::inDirectory(system_).write(configuration);

        FilterHost::Dependencies dependencies;
        dependencies.systemDirectory = system_;
        dependencies.decisionThreads = decisionThreads;
        dependencies.makeProvider = [](std::shared_ptr<TaskInspector> inspector) {
            FilterDataProvider::Dependencies provider;
            provider.taskInspector = std::move(inspector);
            return std::make_unique<HostedFilterDataProvider>(std::move(provider));
        };
        dependencies.realProcessToken = [](std::int32_t) { return std::nullopt; };
        dependencies.readSignature =
            [](const std::string& executable) -> std::optional<SigningInformation> {
            if (executable.starts_with("/slow/")) {
                std::this_thread::sleep_for(slowResolution);
                return SigningInformation{"com.example.slow", std::nullopt, std::nullopt};
            }
            return SigningInformation{"com.example.fast", std::nullopt, std::nullopt};
        };
        host_ = std::make_unique<FilterHost>(std::move(dependencies));
        thread_ = std::thread([this] { host_->run(); });
    }
    ~RunningHost() {
        host_->stop();
        thread_.join();
    }

    std::filesystem::path socket() const { return system_ / "filter.sock"; }

    // Waits until the provider decides (the fast process is dropped).
    bool ready() const {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            Client client(socket());
            if (client.connected() &&
                client.exchange(flowRequest(fastExecutable)) == R"({"verdict":"drop"})") {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    TemporaryDirectory directory_;
    std::filesystem::path system_ = directory_ / "system";
    std::unique_ptr<FilterHost> host_;
    std::thread thread_;
};

double percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

double baselineP99 = 0;

// Arguments: decision threads, and whether the slow load runs.
void BM_CachedVerdictLatency(benchmark::State& state) {
    const auto threads = static_cast<std::size_t>(state.range(0));
    const bool loaded = state.range(1) != 0;
    RunningHost host(threads);
    if (!host.ready()) {
        state.SkipWithError("the host did not come up");
        return;
    }
    std::atomic<bool> running{true};
    std::atomic<long> slowAnswered{0};
    std::thread load;
    if (loaded) {
        load = std::thread([&] {
            Client client(host.socket());
            for (long n = 0; running.load(); ++n) {
                // A new process each time: never in the identity cache.
                if (!client.exchange(flowRequest("/slow/" + std::to_string(n))).empty()) {
                    ++slowAnswered;
                }
            }
        });
        while (slowAnswered.load() == 0) {
            std::this_thread::sleep_for(1ms);
        }
    }

    Client client(host.socket());
    const std::string request = flowRequest(fastExecutable);
    std::vector<double> latencies;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = client.exchange(request);
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
        if (reply != R"({"verdict":"drop"})") {
            state.SkipWithError("unexpected reply");
            break;
        }
    }
    running = false;
    if (load.joinable()) {
        load.join();
    }
    if (latencies.empty()) {
        return;
    }
    const double p50 = percentile(latencies, 0.50);
    const double p99 = percentile(latencies, 0.99);
    state.counters["p50_us"] = p50;
    state.counters["p99_us"] = p99;
    state.counters["slow_answered"] = static_cast<double>(slowAnswered.load());
    if (!loaded && threads > 1) {
        baselineP99 = p99;
    } else if (baselineP99 > 0) {
        state.counters["p99_vs_unloaded"] = p99 / baselineP99;
    }
}

// Baseline first: the ratio of the later cases refers to it.
BENCHMARK(BM_CachedVerdictLatency)
    ->ArgNames({"threads", "slow_load"})
    ->Args({4, 0})
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedVerdictLatency)
    ->ArgNames({"threads", "slow_load"})
    ->Args({4, 1})
    ->Iterations(3000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CachedVerdictLatency)
    ->ArgNames({"threads", "slow_load"})
    ->Args({1, 1})
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace zorvane
