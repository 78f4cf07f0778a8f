// The first flow of a process: its identity is not cached, so the executable's signature is read
// through procfs and the Mach-O reader. Only headers, load commands and the signature may be
// read, so an 80 MB executable must cost about what a 1 MB one does.
#include "filter/FilterDataProvider.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
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
    explicit ProcessFixture(std::uint64_t executableBytes) {
        auto slice = MachOBuilder::signedExecutable("com.example.large", "TEAM123456");
        slice.signature->entitlements =
            PlistValue(PlistDictionary{{"com.apple.developer.team-identifier", "TEAM123456"},
                                       {"com.apple.security.network.client", true}});
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

void decideFirstFlow(benchmark::State& state) {
    const ProcessFixture fixture(static_cast<std::uint64_t>(state.range(0)) * 1024 * 1024);
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
    state.counters["fileMB"] = static_cast<double>(fixture.fileSize()) / (1024.0 * 1024.0);
}

BENCHMARK(decideFirstFlow)->Name("BM_FirstFlow_SignedExecutable_MB")->Arg(1)->Arg(80);

} // namespace
} // namespace zorvane
