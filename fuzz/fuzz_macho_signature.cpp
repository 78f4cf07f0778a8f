// Untrusted bytes as a Mach-O file: the signature reader and the "is executable" header test.
#include "codesign/MachOSignatureReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto info = zorvane::MachOSignatureReader::readBytes(bytes);
    const bool executable = zorvane::MachOSignatureReader::isMachOExecutableHeader(bytes);
    // Whatever was read must come from the input: strings cannot outgrow it.
    if (info && (info->identifier.size() >= size ||
                 (info->teamIdentifier && info->teamIdentifier->size() >= size))) {
        std::abort();
    }
    if (executable && size < 16) {
        std::abort();
    }
    return 0;
}
