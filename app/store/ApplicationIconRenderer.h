#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

namespace zorvane {

// Renders a bundle's icon (its CFBundleIconFile or CFBundleIconName in Contents/Resources), or an
// image file that an icon theme holds, into a 128 x 128 PNG through Qt's image plugins. Absent
// when the bundle names no icon or no representation of it can be decoded (an SVG without the
// SVG image plugin, for one).
class ApplicationIconRenderer {
public:
    static constexpr int iconSize = 128;

    static std::optional<std::vector<std::uint8_t>>
    render(const std::filesystem::path& bundleOrImage);
};

} // namespace zorvane
