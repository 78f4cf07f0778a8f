// Helper discovery walks the whole bundle; it should cost little more than the walk itself.
// Both run over the same synthetic bundle of 20,000 files, 200 of them executables.
#include "app/store/ApplicationInspector.h"
#include "tests/support/BundleBuilder.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <memory>

namespace zorvane {
namespace {
namespace fs = std::filesystem;

constexpr int totalFiles = 20'000;
constexpr int executables = 200;

struct LargeBundle {
    TemporaryDirectory dir;
    fs::path path;

    LargeBundle() {
        auto signedBytes = [](const std::string& identifier) {
            return MachOBuilder::thin(MachOBuilder::signedExecutable(identifier, "TEAM123456"))
                .bytes();
        };
        auto bundle = BundleBuilder::application(dir.path() / "Large.app", "com.example.large",
                                                 signedBytes("com.example.large"));
        path = bundle.path();
        int written = 2; // Info.plist and the main executable
        // Executables: half in helper directories, half inside frameworks where only their
        // enclosing bundle could count.
        for (int i = 0; i < executables - 1; ++i) {
            const auto identifier = "com.example.helper" + std::to_string(i);
            const fs::path relative =
                i % 2 == 0 ? fs::path("Contents/Helpers") / ("helper" + std::to_string(i))
                           : fs::path("Contents/Frameworks/Kit" + std::to_string(i % 10) +
                                      ".framework/Versions/A/tool" + std::to_string(i));
            bundle.file(relative, signedBytes(identifier), true);
            ++written;
        }
        // The rest: resources spread over nested folders, as real bundles have them.
        for (int i = 0; written < totalFiles; ++i, ++written) {
            const fs::path relative =
                fs::path("Contents/Resources") / ("lang" + std::to_string(i % 40) + ".lproj") /
                ("group" + std::to_string(i % 7)) / ("resource" + std::to_string(i) + ".txt");
            bundle.file(relative, std::string_view("resource"));
        }
    }
};

LargeBundle& largeBundle() {
    static auto bundle = std::make_unique<LargeBundle>();
    return *bundle;
}

void BM_BareRecursiveWalk(benchmark::State& state) {
    const auto& path = largeBundle().path;
    for (auto _ : state) {
        std::size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            benchmark::DoNotOptimize(entry);
            ++count;
        }
        benchmark::DoNotOptimize(count);
    }
}
BENCHMARK(BM_BareRecursiveWalk)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HelperDiscovery(benchmark::State& state) {
    const auto& path = largeBundle().path;
    const auto main = CodeIdentity::make("com.example.large", "TEAM123456");
    std::size_t found = 0;
    for (auto _ : state) {
        const auto helpers = ApplicationInspector::discoverHelpers(path, main);
        found = helpers.size();
        benchmark::DoNotOptimize(helpers);
    }
    state.counters["helpers"] = static_cast<double>(found);
}
BENCHMARK(BM_HelperDiscovery)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
} // namespace zorvane

BENCHMARK_MAIN();
