#pragma once

#include "PlistValue.h"

#include <filesystem>
#include <optional>
#include <span>
#include <string>

namespace zorvane {

// Reads and writes property lists through libplist. Reading detects XML or binary form and
// answers empty for anything that is not a property list; it never throws.
class PlistCodec {
public:
    static std::optional<PlistValue> read(std::span<const std::uint8_t> bytes);
    static std::optional<PlistValue> read(std::string_view bytes);

    // Reads a whole file; empty when it cannot be read or parsed. Files larger than maxBytes
    // are refused without being read.
    static std::optional<PlistValue> readFile(const std::filesystem::path& path,
                                              std::uintmax_t maxBytes = 16 * 1024 * 1024);

    static std::string toXml(const PlistValue& value);
    static std::string toBinary(const PlistValue& value);
};

} // namespace zorvane
