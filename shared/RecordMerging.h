#pragma once

#include "Date.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane::record_merging {

// Helpers for the aggregate records' id and merge rules.

inline void appendIdText(std::string& id, std::string_view part, bool last) {
    id += part;
    if (!last) {
        id.push_back('|');
    }
}

inline void appendIdPart(std::string& id, const std::optional<std::string>& part, bool last) {
    appendIdText(id, part ? std::string_view(*part) : std::string_view{}, last);
}

inline void fillIfAbsent(std::optional<std::string>& existing,
                         const std::optional<std::string>& other) {
    if (!existing && other) {
        existing = other;
    }
}

inline std::int64_t saturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

inline Date earlier(Date a, Date b) {
    return b < a ? b : a;
}
inline Date later(Date a, Date b) {
    return a < b ? b : a;
}

} // namespace zorvane::record_merging
