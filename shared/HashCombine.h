#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace zorvane {

// Mixing the hash of one field into a running seed (the boost recipe with a 64-bit constant).
// Absent optionals and list lengths are mixed in too, so that absent, empty and "" stay apart.
template <typename T> void hashCombine(std::size_t& seed, const T& value);
template <typename T> void hashCombine(std::size_t& seed, const std::vector<T>& values);
inline void hashCombine(std::size_t& seed, const std::vector<std::uint8_t>& bytes);
template <typename T> void hashCombine(std::size_t& seed, const std::optional<T>& value);

template <typename T> void hashCombine(std::size_t& seed, const T& value) {
    seed ^= std::hash<T>{}(value) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

template <typename T> void hashCombine(std::size_t& seed, const std::vector<T>& values) {
    hashCombine(seed, values.size());
    for (const auto& value : values) {
        hashCombine(seed, value);
    }
}

inline void hashCombine(std::size_t& seed, const std::vector<std::uint8_t>& bytes) {
    hashCombine(seed, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

template <typename T> void hashCombine(std::size_t& seed, const std::optional<T>& value) {
    hashCombine(seed, value.has_value());
    if (value) {
        hashCombine(seed, *value);
    }
}

} // namespace zorvane
