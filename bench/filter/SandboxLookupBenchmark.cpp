// What naming a Flatpak process costs the first flow of every process: one more file opened
// through procfs. Measured against the task inspector's whole resolution of an unsigned program
// (BM_TaskOfAnElfProcess, the baseline), for a process outside any sandbox (the file is missing)
// and for one inside (the file is read and parsed).
#include "platform/linux/FlatpakSandbox.h"
#include "platform/linux/LinuxAuditTokens.h"
#include "platform/linux/LinuxTaskInspector.h"
#include "tests/support/TemporaryDirectory.h"

#include <benchmark/benchmark.h>
#include <fstream>

namespace zorvane {
namespace {

class SandboxFixture {
public:
    SandboxFixture() {
        std::ofstream(directory_ / ".flatpak-info")
            << "[Application]\nname=org.example.Maps\nruntime=runtime/org.example.Platform/"
               "x86_64/1\n\n[Instance]\ninstance-id=1234\nbranch=stable\narch=x86_64\n";
        for (std::int32_t pid : {1, 2}) {
            const auto dir = proc() / std::to_string(pid);
            std::filesystem::create_directories(dir);
            std::filesystem::create_symlink("/proc/self/exe", dir / "exe");
            std::ofstream(dir / "stat")
                << pid << " (x) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " << 1000 + pid << " 0 0\n";
            std::ofstream(dir / "status") << "Uid:\t0\t0\t0\t0\nGid:\t0\t0\t0\t0\n";
        }
        std::filesystem::create_symlink(directory_.path(), proc() / "2" / "root");
    }
    std::filesystem::path proc() const { return directory_ / "proc"; }

private:
    TemporaryDirectory directory_;
};

void taskOfAnElfProcess(benchmark::State& state) {
    const SandboxFixture fixture;
    LinuxTaskInspector inspector(fixture.proc());
    const auto token = *LinuxAuditTokens::tokenForPid(1, fixture.proc());
    for (auto _ : state) {
        benchmark::DoNotOptimize(inspector.createTask(token));
    }
}
BENCHMARK(taskOfAnElfProcess)->Name("BM_TaskOfAnElfProcess");

void sandboxLookup(benchmark::State& state) {
    const SandboxFixture fixture;
    const std::int32_t pid = static_cast<std::int32_t>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(FlatpakSandbox::applicationOf(fixture.proc(), pid));
    }
}
BENCHMARK(sandboxLookup)->Name("BM_SandboxLookup_OutsideThenInside")->Arg(1)->Arg(2);

} // namespace
} // namespace zorvane
