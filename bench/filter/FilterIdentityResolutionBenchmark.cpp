// The first flow of a process: its identity is not cached, so the executable's signature is read
// through procfs and the Mach-O reader. Only headers, load commands and the signature may be
// read, so an 80 MB executable must cost about what a 1 MB one does.
//
// The entitlements in the signature are the signed program's own text: 1 MB of them nested as
// deep as they go, or multiplied through shared objects, must cost about what 1 MB of ordinary
// entitlements does (BM_FirstFlow_Entitlements/0 is the baseline of the others).
#include "filter/FilterDataProvider.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "tests/support/HostilePlists.h"
#include "tests/support/MachOBuilder.h"
#include "tests/support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <fstream>

namespace zorvane {
namespace {

// More processes than the identity cache holds, visited in turn: every flow misses the cache.
constexpr std::int32_t processCount = 512;

class ProcessFixture {
public:
    explicit ProcessFixture(std::uint64_t executableBytes,
                            std::optional<std::string> rawEntitlements = {}) {
        auto slice = MachOBuilder::signedExecutable("com.example.large", "TEAM123456");
        slice.signature->entitlements =
            PlistValue(PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"},
                                       {"com.apple.security.network.client", true}});
        slice.signature->rawEntitlements = std::move(rawEntitlements);
        slice.codeSize = executableBytes;
        const auto executable = directory_ / "Large.app" / "Contents" / "MacOS" / "Large";
        std::filesystem::create_directories(executable.parent_path());
        // Real bytes, so that reading the code would cost what it costs on a real disk cache.
        MachOBuilder::write(executable, MachOBuilder::thin(slice), FillMode::Random);
        fileSize_ = std::filesystem::file_size(executable);

        const auto proc = directory_ / "proc";
        for (std::int32_t pid = 1; pid <= processCount; ++pid) {
            const auto dir = proc / std::to_string(pid);
            std::filesystem::create_directories(dir);
            std::filesystem::create_symlink(executable, dir / "exe");
            std::ofstream(dir / "stat")
                << pid << " (Large) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " << 1000 + pid
                << " 0 0\n";
            std::ofstream(dir / "status") << "Uid:\t501\t501\t501\t501\nGid:\t20\t20\t20\t20\n";
            tokens_.push_back(*LinuxAuditTokens::tokenForPid(pid, proc));
        }
        inspector_ = std::make_shared<LinuxTaskInspector>(proc);
    }

    std::uint64_t fileSize() const { return fileSize_; }
    const std::vector<AuditToken>& tokens() const { return tokens_; }
    std::shared_ptr<LinuxTaskInspector> inspector() const { return inspector_; }

private:
    TemporaryDirectory directory_;
    std::uint64_t fileSize_ = 0;
    std::vector<AuditToken> tokens_;
    std::shared_ptr<LinuxTaskInspector> inspector_;
};

void decideFirstFlows(benchmark::State& state, const ProcessFixture& fixture) {
    FilterDataProvider provider({.taskInspector = fixture.inspector()});

    std::vector<FilterFlow> flows;
    for (const auto& token : fixture.tokens()) {
        FilterFlow flow;
        flow.direction = FilterFlow::Direction::outbound;
        const auto bytes = token.bytes();
        flow.sourceProcessAuditToken.emplace(bytes.begin(), bytes.end());
        flow.socket = SocketFlowInfo{6, "www.example.com", HostEndpoint{"93.184.216.34", "443"}};
        flows.push_back(std::move(flow));
    }
    provider.setVendorConfiguration(std::make_shared<const PlistDictionary>(
        PlistDictionary{{"blockedApplicationPaths", PlistArray{"/Applications/Other.app"}}}));
    if (!provider.resolveProcessIdentity(flows.back().sourceProcessAuditToken)) {
        state.SkipWithError("the fixture's signature was not read");
        return;
    }

    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(provider.handleNewFlow(flows[next]));
        next = (next + 1) % flows.size();
    }
}

void decideFirstFlow(benchmark::State& state) {
    const ProcessFixture fixture(static_cast<std::uint64_t>(state.range(0)) * 1024 * 1024);
    decideFirstFlows(state, fixture);
    state.counters["fileMB"] = static_cast<double>(fixture.fileSize()) / (1024.0 * 1024.0);
}

BENCHMARK(decideFirstFlow)->Name("BM_FirstFlow_SignedExecutable_MB")->Arg(1)->Arg(80);

// Entitlements of about 1 MB (the reader's limit is 1 MiB) in the shapes a signed program can
// give them.
enum class EntitlementShape {
    ordinaryBinary,       // a flat dictionary of distinct strings
    hostileNestedBinary,  // arrays nested as deep as 1 MB allows (about 111,000 levels)
    ordinaryXml,          // the flat dictionary in XML
    hostileNestedXml,     // about 66,000 levels of XML
    hostileObjectPerByte, // one object per byte through a shared boolean
};

std::string entitlementsOf(EntitlementShape shape) {
    constexpr std::size_t target = 1'000'000;
    // The size per unit changes with the width of offsets: measure it again at full size.
    const auto fill = [&](std::string (*make)(std::size_t)) {
        std::size_t units = 1000;
        for (int pass = 0; pass < 3; ++pass) {
            const auto perUnit = static_cast<double>(make(units).size()) / units;
            units = static_cast<std::size_t>(static_cast<double>(target) / perUnit);
        }
        return make(units);
    };
    switch (shape) {
    case EntitlementShape::ordinaryBinary:
        return fill(&HostilePlists::flatBinary);
    case EntitlementShape::hostileNestedBinary:
        return fill(&HostilePlists::nestedBinary);
    case EntitlementShape::ordinaryXml:
        return fill(&HostilePlists::flatXml);
    case EntitlementShape::hostileNestedXml:
        return fill(&HostilePlists::nestedXml);
    case EntitlementShape::hostileObjectPerByte:
        return fill(&HostilePlists::sharedLeafBinary);
    }
    return {};
}

void decideFirstFlowWithEntitlements(benchmark::State& state) {
    const auto entitlements = entitlementsOf(static_cast<EntitlementShape>(state.range(0)));
    const ProcessFixture fixture(1024 * 1024, entitlements);
    decideFirstFlows(state, fixture);
    state.counters["entitlementsKB"] = static_cast<double>(entitlements.size()) / 1000.0;
}

BENCHMARK(decideFirstFlowWithEntitlements)
    ->Name("BM_FirstFlow_Entitlements")
    ->DenseRange(0, 4)
    ->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace zorvane
