#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// A 128-bit universally unique identifier, written in its canonical 36-character form.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Uuid() = default; // the nil UUID
    constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    // A version-4 (random) UUID. Tokens are built from these, so every bit comes straight from
    // std::random_device (the operating system's entropy source), never from a seeded generator.
    static Uuid random();

    // Canonical text: 8-4-4-4-12 hexadecimal digits, either case; nothing else accepted.
    static std::optional<Uuid> parse(std::string_view text);

    // Canonical text in upper case.
    std::string string() const;

    const Bytes& bytes() const { return bytes_; }

    friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

} // namespace zorvane

template <> struct std::hash<zorvane::Uuid> {
    std::size_t operator()(const zorvane::Uuid& uuid) const noexcept;
};
