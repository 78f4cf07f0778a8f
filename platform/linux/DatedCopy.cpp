#include "platform/linux/DatedCopy.h"

#include <ctime>
#include <string>
#include <system_error>

namespace zorvane {

std::optional<std::filesystem::path> DatedCopy::freeName(const std::filesystem::path& directory,
                                                         std::string_view stem,
                                                         std::string_view tag,
                                                         std::string_view extension) {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    char stamp[32] = "unknown-time";
    if (::gmtime_r(&now, &utc) != nullptr) {
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    }
    const std::string base = std::string(stem) + "." + std::string(tag) + "-" + stamp;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        auto candidate = directory / (base + (attempt == 1 ? "" : "-" + std::to_string(attempt)) +
                                      std::string(extension));
        std::error_code error;
        if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, error))) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace zorvane
