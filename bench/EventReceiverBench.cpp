// Receiver throughput: 10,000 envelopes of 20 events from 8 concurrent senders over loopback,
// one connection per envelope as the filter sends them. The baseline takes the same frames on a
// bare listener of the same shape (one asio thread) that reads each frame and throws it away,
// so the ratio is what reassembly, decoding and the token check cost.
#include "app/store/FilterEventFrameReader.h"
#include "app/store/LocalFilterEventReceiver.h"
#include "tests/event-channel/EventChannelTestSupport.h"
#include "tests/qt-support/MemoryPreferences.h"

#include <asio.hpp>
#include <atomic>
#include <benchmark/benchmark.h>
#include <fstream>

namespace zorvane {
namespace {

constexpr int envelopeCount = 10'000;
constexpr int eventsPerEnvelope = 20;
constexpr int senderCount = 8;

long peakMemoryKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

// Each sender connects, writes one whole frame and waits for the receiver to close, like the
// filter's client; all senders together send envelopeCount frames.
bool sendAll(std::uint16_t port, const std::string& frame) {
    std::atomic<bool> ok{true};
    std::vector<std::thread> senders;
    for (int s = 0; s < senderCount; ++s) {
        senders.emplace_back([&, s] {
            for (int i = s; i < envelopeCount; i += senderCount) {
                testing::LoopbackClient client(port);
                if (!client.connected() || !client.send(frame) || !client.waitClosed()) {
                    ok = false;
                }
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    return ok;
}

std::string benchmarkFrame(const std::string& token) {
    return testing::frameFor(testing::sampleEnvelope(token, eventsPerEnvelope));
}

void waitUntil(const std::atomic<int>& counter, int value) {
    while (counter.load() < value) {
        std::this_thread::yield();
    }
}

void report(benchmark::State& state, const std::string& frame) {
    state.SetItemsProcessed(state.iterations() * envelopeCount);
    state.SetBytesProcessed(state.iterations() * envelopeCount *
                            static_cast<std::int64_t>(frame.size()));
    state.counters["envelopes_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * envelopeCount), benchmark::Counter::kIsRate);
    state.counters["frame_bytes"] = static_cast<double>(frame.size());
    state.counters["peak_VmHWM_kB"] = static_cast<double>(peakMemoryKilobytes());
}

void BM_BareLoopbackListener(benchmark::State& state) {
    using asio::ip::tcp;
    asio::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const std::string frame = benchmarkFrame(std::string(72, 'T'));
    std::atomic<int> received{0};

    struct Connection {
        explicit Connection(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        std::array<char, 65'536> buffer;
        std::size_t total = 0;
    };
    std::function<void(std::shared_ptr<Connection>)> readMore =
        [&](std::shared_ptr<Connection> connection) {
            connection->socket.async_read_some(
                asio::buffer(connection->buffer),
                [&, connection](std::error_code error, std::size_t size) {
                    connection->total += size;
                    if (error || connection->total >= frame.size()) {
                        received += !error;
                        connection->socket.close(error);
                        return;
                    }
                    readMore(connection);
                });
        };
    std::function<void()> acceptNext = [&] {
        acceptor.async_accept([&](std::error_code error, tcp::socket socket) {
            if (error) {
                return;
            }
            readMore(std::make_shared<Connection>(std::move(socket)));
            acceptNext();
        });
    };
    acceptNext();
    std::thread thread([&] { io.run(); });

    for (auto _ : state) {
        received = 0;
        if (!sendAll(acceptor.local_endpoint().port(), frame)) {
            state.SkipWithError("a send failed");
            break;
        }
        waitUntil(received, envelopeCount);
    }
    asio::post(io, [&] { acceptor.close(); });
    thread.join();
    report(state, frame);
}

void BM_LocalFilterEventReceiver(benchmark::State& state) {
    auto preferences = std::make_shared<testing::MemoryPreferences>();
    testing::MemorySecretStore secrets;
    std::atomic<int> delivered{0};
    std::atomic<bool> ready{false};
    LocalFilterEventReceiver receiver(preferences, secrets);
    receiver.start(
        std::nullopt, false, [&] { ready = true; },
        [&](FilterEventEnvelope envelope) {
            delivered += envelope.activityEvents.size() == eventsPerEnvelope;
        });
    while (!ready) {
        std::this_thread::yield();
    }
    const std::string frame = benchmarkFrame(receiver.authenticationToken());

    for (auto _ : state) {
        delivered = 0;
        if (!sendAll(receiver.channel()->port, frame)) {
            state.SkipWithError("a send failed");
            break;
        }
        waitUntil(delivered, envelopeCount);
    }
    report(state, frame);
}

// What the receiver does with one frame once its bytes are in: reassembly, decoding and the
// token check, without sockets. Explains the gap between the two above.
void BM_FrameReaderPerEnvelope(benchmark::State& state) {
    const std::string token(72, 'T');
    const std::string frame = benchmarkFrame(token);
    for (auto _ : state) {
        FilterEventFrameReader reader(token);
        if (reader.append(frame) != FilterEventFrameReader::Status::accepted) {
            state.SkipWithError("frame refused");
            break;
        }
        benchmark::DoNotOptimize(reader.takeEnvelope());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FrameReaderPerEnvelope)->Unit(benchmark::kMicrosecond);

// The baseline first, so that the receiver's peak memory is the later and higher mark.
BENCHMARK(BM_BareLoopbackListener)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_LocalFilterEventReceiver)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace
} // namespace zorvane

BENCHMARK_MAIN();
