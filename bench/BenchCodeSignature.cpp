// Reading the identity of a signed Mach-O file must cost about the same whatever the size of
// the file: only headers, load commands and parts of the signature are read. Compares an 80 MB
// file with a 1 MB one (same signature), with the file's pages in the page cache ("warm") and
// evicted before every read ("cold"), next to a plain read of the whole file for scale.
//
// The files are written with pseudo-random bytes (not sparse), so they occupy real pages on
// disk and in the cache; the cold runs drop those pages with posix_fadvise(DONTNEED) first.
#include "codesign/MachOSignatureReader.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace {

struct Files {
    TemporaryDirectory dir;
    std::filesystem::path small = dir / "one-megabyte";
    std::filesystem::path large = dir / "eighty-megabytes";

    Files() {
        for (const auto& [path, size] : {std::pair{small, std::uint64_t{1} << 20},
                                         std::pair{large, std::uint64_t{80} << 20}}) {
            auto sliceSpec = MachOBuilder::signedExecutable("com.example.bench", "TEAM123456");
            sliceSpec.codeSize = size;
            sliceSpec.signature->entitlements =
                PlistDictionary{{"com.apple.security.app-sandbox", true}};
            MachOBuilder::write(path, MachOBuilder::thin(sliceSpec), FillMode::Random);
        }
    }
};

const Files& files() {
    static const Files instance;
    return instance;
}

const std::filesystem::path& fileFor(const benchmark::State& state) {
    return state.range(0) == 80 ? files().large : files().small;
}

void evict(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
    }
}

void readIdentity(benchmark::State& state, bool cold) {
    const auto& file = fileFor(state);
    std::uint64_t bytesRead = 0;
    for (auto _ : state) {
        if (cold) {
            state.PauseTiming();
            evict(file);
            state.ResumeTiming();
        }
        auto source = ByteSource::openFile(file);
        auto signature = MachOSignatureReader::readSignature(*source);
        if (!signature || signature->signature.signing.identifier != "com.example.bench") {
            state.SkipWithError("identity not read");
            break;
        }
        bytesRead = source->bytesRead();
        benchmark::DoNotOptimize(signature);
    }
    state.counters["bytesRead"] = static_cast<double>(bytesRead);
}

void BM_ReadIdentityWarm(benchmark::State& state) {
    readIdentity(state, false);
}
void BM_ReadIdentityCold(benchmark::State& state) {
    readIdentity(state, true);
}

// For scale: what reading the whole file costs (the page cache is warm).
void BM_ReadWholeFileWarm(benchmark::State& state) {
    const auto& file = fileFor(state);
    std::vector<char> buffer(1 << 20);
    auto readAll = [&] {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        std::int64_t total = 0;
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
            total += n;
        }
        ::close(fd);
        return total;
    };
    readAll(); // the cold runs evicted the file: bring it back into the cache first
    for (auto _ : state) {
        benchmark::DoNotOptimize(readAll());
    }
}

// Arguments: the file size in megabytes.
BENCHMARK(BM_ReadIdentityWarm)->Arg(1)->Arg(80);
BENCHMARK(BM_ReadIdentityCold)->Arg(1)->Arg(80);
BENCHMARK(BM_ReadWholeFileWarm)->Arg(1)->Arg(80)->Unit(benchmark::kMillisecond);

} // namespace
} // namespace zorvane

BENCHMARK_MAIN();
