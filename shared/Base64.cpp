#include "Base64.h"

#include <array>

namespace zorvane {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<std::int8_t, 256> makeReverseTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table) {
        entry = -1;
    }
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
    }
    return table;
}

constexpr auto reverseTable = makeReverseTable();

} // namespace

std::string Base64::encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t n = (std::uint32_t{bytes[i]} << 16) |
                                (std::uint32_t{bytes[i + 1]} << 8) | std::uint32_t{bytes[i + 2]};
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.push_back(alphabet[(n >> 6) & 63]);
        out.push_back(alphabet[n & 63]);
    }
    const std::size_t rest = bytes.size() - i;
    if (rest == 1) {
        const std::uint32_t n = std::uint32_t{bytes[i]} << 16;
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.append("==");
    } else if (rest == 2) {
        const std::uint32_t n =
            (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8);
        out.push_back(alphabet[(n >> 18) & 63]);
        out.push_back(alphabet[(n >> 12) & 63]);
        out.push_back(alphabet[(n >> 6) & 63]);
        out.push_back('=');
    }
    return out;
}

std::string Base64::encode(std::string_view text) {
    return encode(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

namespace {

template <typename Bytes> std::optional<Bytes> decodeInto(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    Bytes out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int padding = 0;
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=') {
                // Padding may only fill the last one or two places of the final group.
                if (!last || j < 2) {
                    return std::nullopt;
                }
                ++padding;
                n <<= 6;
                continue;
            }
            if (padding > 0) {
                return std::nullopt;
            }
            const std::int8_t value = reverseTable[static_cast<unsigned char>(c)];
            if (value < 0) {
                return std::nullopt;
            }
            n = (n << 6) | static_cast<std::uint32_t>(value);
        }
        out.push_back(static_cast<typename Bytes::value_type>(n >> 16));
        if (padding < 2) {
            out.push_back(static_cast<typename Bytes::value_type>(n >> 8));
        }
        if (padding < 1) {
            out.push_back(static_cast<typename Bytes::value_type>(n));
        }
    }
    return out;
}

} // namespace

std::optional<std::vector<std::uint8_t>> Base64::decode(std::string_view text) {
    return decodeInto<std::vector<std::uint8_t>>(text);
}

// Decodes straight into the string: keys are decoded on every filter decision.
std::optional<std::string> Base64::decodeToString(std::string_view text) {
    return decodeInto<std::string>(text);
}

} // namespace zorvane
