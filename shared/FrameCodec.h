#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// The event channel's frame: a 4-byte big-endian length N, then N bytes of envelope JSON.
// Nothing follows a frame; one connection carries one frame.
class FrameCodec {
public:
    static constexpr std::size_t headerSize = 4;
    static constexpr std::size_t maximumEnvelopeSize = 2'097'152; // 2 MiB; exactly this is allowed
    static constexpr std::size_t maximumFrameSize = headerSize + maximumEnvelopeSize;

    // The frame for one envelope text, or nothing when the text is over the limit.
    static std::optional<std::string> encode(std::string_view json);

    // The length announced by the first four bytes (which must be there).
    static std::uint32_t readLength(std::string_view header);
};

} // namespace zorvane
