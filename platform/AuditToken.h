#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace zorvane {

// The kernel's audit token of a process: eight 32-bit words in host byte order. Word 5 is the
// process identifier and word 7 its generation (on Linux: the process start time in clock ticks),
// so a reused process identifier gives a different token.
struct AuditToken {
    static constexpr std::size_t size = 32;
    static constexpr std::size_t pidWord = 5;
    static constexpr std::size_t generationWord = 7;

    std::array<std::uint32_t, 8> words{};

    static std::optional<AuditToken> fromBytes(std::span<const std::uint8_t> bytes) {
        if (bytes.size() != size) {
            return std::nullopt;
        }
        AuditToken token;
        std::memcpy(token.words.data(), bytes.data(), size);
        return token;
    }

    std::array<std::uint8_t, size> bytes() const {
        std::array<std::uint8_t, size> out{};
        std::memcpy(out.data(), words.data(), size);
        return out;
    }

    std::int32_t pid() const { return static_cast<std::int32_t>(words[pidWord]); }
    std::uint32_t generation() const { return words[generationWord]; }

    friend bool operator==(const AuditToken&, const AuditToken&) = default;
};

} // namespace zorvane
