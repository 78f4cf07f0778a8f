#pragma once

#include "ByteSource.h"
#include "SigningInformation.h"

#include <cstdint>
#include <optional>

namespace zorvane {

// Facts of one embedded signature, beyond what the rest of the system keys on.
struct EmbeddedSignature {
    SigningInformation signing;
    // Version and hash type of the CodeDirectory the facts were taken from.
    std::uint32_t codeDirectoryVersion = 0;
    std::uint8_t hashType = 0;

    friend bool operator==(const EmbeddedSignature&, const EmbeddedSignature&) = default;
};

// Reads the embedded signature that LC_CODE_SIGNATURE points at: a SuperBlob whose index names
// the CodeDirectory (and its alternates) and the entitlements. Everything in it is big-endian.
// Only the index, the CodeDirectory headers and strings and the entitlements are read, never the
// hash slots, so the cost does not grow with the size of the signed code.
class EmbeddedSignatureReader {
public:
    // The signature occupies [offset, offset + size) of the source. Empty when there is no
    // valid SuperBlob there, no CodeDirectory, or any CodeDirectory is malformed.
    static std::optional<EmbeddedSignature> read(ByteSource& source, std::uint64_t offset,
                                                 std::uint64_t size);
};

} // namespace zorvane
