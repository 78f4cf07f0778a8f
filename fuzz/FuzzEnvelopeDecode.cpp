// Untrusted bytes from the event channel (and from stored files) through the envelope reader:
// reading must never crash or throw, and whatever reads must write and read back unchanged.
#include "shared/RecordJson.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = zorvane::RecordJson::decodeEnvelope(text);
    // The same bytes as a stored list must not trouble the other readers either.
    (void)zorvane::RecordJson::decodeActivityEvents(text);
    (void)zorvane::RecordJson::decodeDiscoveredProcesses(text);
    (void)zorvane::RecordJson::decodeTemporaryAccessGrants(text);
    (void)zorvane::RecordJson::decodeBlockedApplications(text);
    if (!decoded) {
        return 0;
    }
    const auto encoded = zorvane::RecordJson::encodeEnvelope(*decoded);
    if (!encoded) {
        std::abort(); // a readable envelope must be writable
    }
    const auto again = zorvane::RecordJson::decodeEnvelope(*encoded);
    if (!again || !(*again == *decoded)) {
        std::abort();
    }
    const auto reencoded = zorvane::RecordJson::encodeEnvelope(*again);
    if (!reencoded || *reencoded != *encoded) {
        std::abort();
    }
    return 0;
}
