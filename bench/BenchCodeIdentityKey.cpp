// The code identity key is computed for every flow the filter decides and for every rule the
// store derives. Its cost is reported against copying the same two strings (the least any key
// computation must do) and against hashing them.
#include "shared/CodeIdentity.h"

#include <benchmark/benchmark.h>
#include <functional>
#include <string>
#include <vector>

namespace {

using zorvane::CodeIdentity;

std::vector<CodeIdentity> sampleIdentities() {
    std::vector<CodeIdentity> identities;
    for (int i = 0; i < 64; ++i) {
        const std::string n = std::to_string(i);
        if (i % 4 == 0) {
            identities.push_back(
                CodeIdentity::make("com.apple.WebKit.Networking." + n, std::nullopt));
        } else {
            identities.push_back(CodeIdentity::make("com.example.product.helper-" + n,
                                                    "K4T7QW2ZP" + n.substr(0, 1)));
        }
    }
    return identities;
}

const std::vector<CodeIdentity>& identities() {
    static const auto value = sampleIdentities();
    return value;
}

const std::vector<std::string>& keys() {
    static const auto value = [] {
        std::vector<std::string> out;
        for (const auto& identity : identities()) {
            out.push_back(identity.key());
        }
        return out;
    }();
    return value;
}

void BM_Baseline_CopyStrings(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& identity : identities()) {
            std::string signing = identity.signingIdentifier;
            std::optional<std::string> team = identity.teamIdentifier;
            benchmark::DoNotOptimize(signing);
            benchmark::DoNotOptimize(team);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(identities().size()));
}
BENCHMARK(BM_Baseline_CopyStrings);

void BM_Baseline_HashStrings(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& identity : identities()) {
            benchmark::DoNotOptimize(std::hash<CodeIdentity>{}(identity));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(identities().size()));
}
BENCHMARK(BM_Baseline_HashStrings);

void BM_KeyEncode(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& identity : identities()) {
            std::string key = identity.key();
            benchmark::DoNotOptimize(key);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(identities().size()));
}
BENCHMARK(BM_KeyEncode);

void BM_KeyDecode(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& key : keys()) {
            auto identity = CodeIdentity::fromKey(key);
            benchmark::DoNotOptimize(identity);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(keys().size()));
}
BENCHMARK(BM_KeyDecode);

void BM_KeyEncodeDecode(benchmark::State& state) {
    for (auto _ : state) {
        for (const auto& identity : identities()) {
            auto decoded = CodeIdentity::fromKey(identity.key());
            benchmark::DoNotOptimize(decoded);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(identities().size()));
}
BENCHMARK(BM_KeyEncodeDecode);

} // namespace

BENCHMARK_MAIN();
