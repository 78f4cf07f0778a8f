#include "FrameCodec.h"

namespace zorvane {

std::optional<std::string> FrameCodec::encode(std::string_view json) {
    if (json.size() > maximumEnvelopeSize) {
        return std::nullopt;
    }
    const auto length = static_cast<std::uint32_t>(json.size());
    std::string frame;
    frame.reserve(headerSize + json.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((length >> shift) & 0xFF));
    }
    frame.append(json);
    return frame;
}

std::uint32_t FrameCodec::readLength(std::string_view header) {
    std::uint32_t length = 0;
    for (std::size_t i = 0; i < headerSize; ++i) {
        length = (length << 8) | static_cast<unsigned char>(header[i]);
    }
    return length;
}

} // namespace zorvane
