#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zorvane {

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
class Base64 {
public:
    static std::string encode(std::span<const std::uint8_t> bytes);
    static std::string encode(std::string_view text);
    // Appends the encoding to `out`, for callers that build a larger text without temporaries.
    static void encodeAppending(std::string& out, std::string_view text);

    // Strict decoding: the length must be a multiple of four, padding only at the end, and
    // every other character must be in the standard alphabet. No white space is skipped.
    static std::optional<std::vector<std::uint8_t>> decode(std::string_view text);
    static std::optional<std::string> decodeToString(std::string_view text);
};

} // namespace zorvane
