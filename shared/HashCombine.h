#pragma once

#include <cstddef>
#include <functional>
#include <optional>

namespace zorvane {

// Mixes the hash of one field into a running seed (the boost recipe with a 64-bit constant).
// An absent optional hashes differently from any present value, so absent and "" stay apart.
template <typename T> void hashCombine(std::size_t& seed, const T& value) {
    seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename T> void hashCombine(std::size_t& seed, const std::optional<T>& value) {
    if (value) {
        hashCombine(seed, true);
        hashCombine(seed, *value);
    } else {
        hashCombine(seed, false);
    }
}

} // namespace zorvane
