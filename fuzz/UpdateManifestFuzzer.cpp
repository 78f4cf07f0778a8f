// Manifest bodies come from the network: decoding must never crash, and whatever decodes must
// compare sanely against running versions that are themselves taken from the input.
#include "app/update/UpdateManifest.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using zorvane::RunningVersion;
using zorvane::UpdateManifest;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const auto update = UpdateManifest::decode(bytes);

    // Split the input into two version texts and check that the comparison is an order.
    const std::size_t half = size / 2;
    const std::string_view a = bytes.substr(0, half);
    const std::string_view b = bytes.substr(half);
    const auto ab = UpdateManifest::compareVersions(a, b);
    const auto ba = UpdateManifest::compareVersions(b, a);
    if ((ab < 0) != (ba > 0) || (ab == 0) != (ba == 0) ||
        UpdateManifest::compareVersions(a, a) != 0) {
        std::abort();
    }
    (void)UpdateManifest::buildNumber(std::string(a));

    if (update) {
        const RunningVersion running{std::string(a), std::string(b)};
        const bool newer = UpdateManifest::isNewer(*update, running);
        // Newer than itself is impossible when the running build equals the update's build.
        const RunningVersion same{update->version, std::to_string(update->build.value_or(0))};
        if (UpdateManifest::isNewer(*update, same)) {
            std::abort();
        }
        (void)newer;
        (void)UpdateManifest::versionKey(*update);
    }
    return 0;
}
