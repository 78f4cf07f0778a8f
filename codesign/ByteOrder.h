#pragma once

#include <cstdint>
#include <span>

namespace zorvane {

// Reads fixed-width integers from raw bytes in a stated byte order. Callers check the bounds;
// the structures these read come from files in either byte order, so the host's order never
// matters.
class ByteOrder {
public:
    enum class Endian { Little, Big };

    static std::uint32_t u32(std::span<const std::uint8_t> bytes, std::size_t at, Endian endian) {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t byte =
                bytes[at + static_cast<std::size_t>(endian == Endian::Big ? i : 3 - i)];
            value = (value << 8) | byte;
        }
        return value;
    }

    static std::uint64_t u64(std::span<const std::uint8_t> bytes, std::size_t at, Endian endian) {
        std::uint64_t value = 0;
        for (int i = 0; i < 8; ++i) {
            const std::uint64_t byte =
                bytes[at + static_cast<std::size_t>(endian == Endian::Big ? i : 7 - i)];
            value = (value << 8) | byte;
        }
        return value;
    }

    static std::uint32_t be32(std::span<const std::uint8_t> bytes, std::size_t at) {
        return u32(bytes, at, Endian::Big);
    }
    static std::uint32_t le32(std::span<const std::uint8_t> bytes, std::size_t at) {
        return u32(bytes, at, Endian::Little);
    }
    static std::uint64_t be64(std::span<const std::uint8_t> bytes, std::size_t at) {
        return u64(bytes, at, Endian::Big);
    }
    static std::uint64_t le64(std::span<const std::uint8_t> bytes, std::size_t at) {
        return u64(bytes, at, Endian::Little);
    }
};

} // namespace zorvane
