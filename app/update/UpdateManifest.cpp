#include "UpdateManifest.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace zorvane {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Integers only: a JSON number such as 27.0 still names a whole build, anything fractional or
// out of range does not.
std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) {
        return value.get<std::int64_t>();
    }
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return std::nullopt;
        }
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_float()) {
        const double real = value.get<double>();
        // 2^63 is exactly representable; everything below it that is whole converts exactly.
        if (std::isfinite(real) && std::trunc(real) == real && real >= -9223372036854775808.0 &&
            real < 9223372036854775808.0) {
            return static_cast<std::int64_t>(real);
        }
    }
    return std::nullopt;
}

// Optional string fields may be absent or null; any other type fails the whole manifest.
bool optionalString(const nlohmann::json& object, const char* key,
                    std::optional<std::string>& out) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return true;
    }
    if (!it->is_string()) {
        return false;
    }
    out = it->get<std::string>();
    return true;
}

} // namespace

std::optional<AppUpdate> UpdateManifest::decode(std::string_view bytes) {
    if (bytes.size() > maximumSize) {
        return std::nullopt;
    }
    const auto json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        return std::nullopt;
    }
    AppUpdate update;
    auto version = json.find("version");
    auto url = json.find("downloadURL");
    if (version == json.end() || !version->is_string() || url == json.end() || !url->is_string()) {
        return std::nullopt;
    }
    update.version = version->get<std::string>();
    update.downloadURL = url->get<std::string>();
    if (auto build = json.find("build"); build != json.end() && !build->is_null()) {
        update.build = integerValue(*build);
        if (!update.build) {
            return std::nullopt;
        }
    }
    if (!optionalString(json, "releaseNotes", update.releaseNotes)) {
        return std::nullopt;
    }
    return update;
}

std::optional<AppUpdate> UpdateManifest::decode(std::span<const std::uint8_t> bytes) {
    return decode(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::strong_ordering UpdateManifest::compareVersions(std::string_view lhs, std::string_view rhs) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < lhs.size() && j < rhs.size()) {
        if (isDigit(lhs[i]) && isDigit(rhs[j])) {
            // Compare the runs as numbers of any length: drop leading zeros, then the longer
            // run is larger, and runs of equal length compare digit by digit.
            std::size_t endI = i;
            while (endI < lhs.size() && isDigit(lhs[endI])) {
                ++endI;
            }
            std::size_t endJ = j;
            while (endJ < rhs.size() && isDigit(rhs[endJ])) {
                ++endJ;
            }
            while (i + 1 < endI && lhs[i] == '0') {
                ++i;
            }
            while (j + 1 < endJ && rhs[j] == '0') {
                ++j;
            }
            if (auto order = (endI - i) <=> (endJ - j); order != 0) {
                return order;
            }
            if (auto order = lhs.substr(i, endI - i).compare(rhs.substr(j, endJ - j)); order != 0) {
                return order < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
            }
            i = endI;
            j = endJ;
            continue;
        }
        const auto a = static_cast<unsigned char>(lhs[i]);
        const auto b = static_cast<unsigned char>(rhs[j]);
        if (a != b) {
            return a <=> b;
        }
        ++i;
        ++j;
    }
    return (lhs.size() - i) <=> (rhs.size() - j);
}

std::int64_t UpdateManifest::buildNumber(const std::optional<std::string>& text) {
    if (!text || text->empty()) {
        return 0;
    }
    std::string_view digits = *text;
    if (digits.front() == '+') {
        digits.remove_prefix(1);
        // A second sign after "+" is not a number.
        if (digits.empty() || digits.front() == '-') {
            return 0;
        }
    }
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return 0;
    }
    return value;
}

bool UpdateManifest::isNewer(const AppUpdate& update, const RunningVersion& running) {
    const std::string current = running.shortVersion.value_or("0");
    const auto order = compareVersions(update.version, current);
    if (order != 0) {
        return order > 0;
    }
    if (!update.build) {
        return false;
    }
    return buildNumber(running.build) < *update.build;
}

std::string UpdateManifest::versionKey(const AppUpdate& update) {
    return update.version + "-" + std::to_string(update.build.value_or(0));
}

} // namespace zorvane
