#include "app/store/ElfExecutable.h"

#include "shared/UntrustedFile.h"

#include <array>
#include <cstdint>
#include <vector>

namespace zorvane {
namespace {

constexpr std::uint16_t fixedExecutable = 2;    // ET_EXEC
constexpr std::uint16_t sharedObject = 3;       // ET_DYN: a library or a PIE program
constexpr std::uint32_t interpreterSegment = 3; // PT_INTERP
// Real programs have about a dozen segments; a header that claims more is not read through.
constexpr std::uint64_t maximumSegments = 256;

struct Reader {
    const std::uint8_t* bytes;
    bool bigEndian;

    std::uint64_t read(std::size_t offset, std::size_t width) const {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i) {
            const std::size_t at = bigEndian ? offset + i : offset + width - 1 - i;
            value = (value << 8) | bytes[at];
        }
        return value;
    }
};

} // namespace

bool ElfExecutable::isExecutable(const UntrustedFile& file) {
    std::array<std::uint8_t, 64> header{};
    const auto got = file.readAt(0, header);
    if (!got || *got < 52 || header[0] != 0x7f || header[1] != 'E' || header[2] != 'L' ||
        header[3] != 'F') {
        return false;
    }
    const bool wide = header[4] == 2;
    if ((header[4] != 1 && !wide) || (header[5] != 1 && header[5] != 2) || (wide && *got < 64)) {
        return false;
    }
    const Reader reader{header.data(), header[5] == 2};
    const auto type = static_cast<std::uint16_t>(reader.read(16, 2));
    if (type == fixedExecutable) {
        return true;
    }
    if (type != sharedObject) {
        return false;
    }
    const std::uint64_t segmentsAt = wide ? reader.read(32, 8) : reader.read(28, 4);
    const std::uint64_t entrySize = reader.read(wide ? 54 : 42, 2);
    const std::uint64_t count = reader.read(wide ? 56 : 44, 2);
    if (count == 0 || count > maximumSegments || entrySize < 4 || entrySize > 128) {
        return false;
    }
    std::vector<std::uint8_t> segments(static_cast<std::size_t>(count * entrySize));
    const auto read = file.readAt(segmentsAt, segments);
    if (!read || *read != segments.size()) {
        return false;
    }
    const Reader table{segments.data(), reader.bigEndian};
    for (std::uint64_t i = 0; i < count; ++i) {
        if (table.read(static_cast<std::size_t>(i * entrySize), 4) == interpreterSegment) {
            return true;
        }
    }
    return false;
}

bool ElfExecutable::isExecutable(const std::filesystem::path& path) {
    auto opening = UntrustedFile::open(path, UINT64_MAX);
    return opening.file && isExecutable(*opening.file);
}

} // namespace zorvane
