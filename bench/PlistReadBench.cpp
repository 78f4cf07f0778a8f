// Reading a property list costs time linear in its size, whatever its shape: ordinary flat
// documents, the deepest nesting that is admitted repeated to fill the size, hostile nesting as
// deep as the size allows, and binary documents with as many objects as bytes. Each family runs
// at 256 KiB, 1 MiB and 4 MiB and reports its fitted complexity; the flat families are the
// baseline for the others.
#include "shared/PlistCodec.h"
#include "tests/support/HostilePlists.h"

#include <benchmark/benchmark.h>
#include <functional>

namespace zorvane {
namespace {

using Maker = std::function<std::string(std::size_t bytes)>;

// The largest count whose document stays within `bytes`, found from the size per unit of a
// document of about that size.
std::size_t unitsFor(std::size_t bytes, const std::function<std::string(std::size_t)>& make) {
    // The size per unit changes with the width of offsets: measure it again at full size.
    std::size_t units = 1000;
    for (int pass = 0; pass < 3; ++pass) {
        const auto perUnit = static_cast<double>(make(units).size()) / units;
        units = static_cast<std::size_t>(static_cast<double>(bytes) / perUnit);
    }
    return units;
}

void readDocument(benchmark::State& state, const Maker& make) {
    const auto bytes = make(static_cast<std::size_t>(state.range(0)));
    bool admitted = false;
    for (auto _ : state) {
        const auto value = PlistCodec::read(bytes);
        admitted = value.has_value();
        benchmark::DoNotOptimize(value);
    }
    state.SetComplexityN(static_cast<std::int64_t>(bytes.size()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["admitted"] = admitted ? 1 : 0;
}

#define ZORVANE_PLIST_BENCH(name, maker)                                                           \
    BENCHMARK_CAPTURE(readDocument, name, maker)                                                   \
        ->RangeMultiplier(4)                                                                       \
        ->Range(256 << 10, 4 << 20)                                                                \
        ->Unit(benchmark::kMillisecond)                                                            \
        ->Complexity(benchmark::oN)

const Maker flatXml = [](std::size_t bytes) {
    return HostilePlists::flatXml(unitsFor(bytes, HostilePlists::flatXml));
};
const Maker flatBinary = [](std::size_t bytes) {
    return HostilePlists::flatBinary(unitsFor(bytes, HostilePlists::flatBinary));
};
const Maker combXml = [](std::size_t bytes) {
    const auto comb = [](std::size_t copies) { return HostilePlists::combXml(copies, 64); };
    return comb(unitsFor(bytes, comb));
};
const Maker combBinary = [](std::size_t bytes) {
    const auto comb = [](std::size_t copies) { return HostilePlists::combBinary(copies, 64); };
    return comb(unitsFor(bytes, comb));
};
const Maker nestedXml = [](std::size_t bytes) {
    return HostilePlists::nestedXml(unitsFor(bytes, HostilePlists::nestedXml));
};
const Maker nestedBinary = [](std::size_t bytes) {
    return HostilePlists::nestedBinary(unitsFor(bytes, HostilePlists::nestedBinary));
};
const Maker sharedLeafBinary = [](std::size_t bytes) {
    return HostilePlists::sharedLeafBinary(unitsFor(bytes, HostilePlists::sharedLeafBinary));
};

ZORVANE_PLIST_BENCH(flatXml, flatXml);
ZORVANE_PLIST_BENCH(flatBinary, flatBinary);
ZORVANE_PLIST_BENCH(deepestAdmittedXml, combXml);
ZORVANE_PLIST_BENCH(deepestAdmittedBinary, combBinary);
ZORVANE_PLIST_BENCH(hostileNestedXml, nestedXml);
ZORVANE_PLIST_BENCH(hostileNestedBinary, nestedBinary);
ZORVANE_PLIST_BENCH(objectPerByteBinary, sharedLeafBinary);

} // namespace
} // namespace zorvane

BENCHMARK_MAIN();
