// The receiver's handling of one connection's bytes: reassembly in arbitrary pieces, decoding
// and the token check. The first input byte chooses the piece size, so that the fuzzer explores
// how a frame is split as well as what it holds.
#include "app/store/FilterEventFrameReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {
// The token of the seed corpus's frames, so that the fuzzer starts on the delivery path.
constexpr std::string_view expectedToken =
    "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0A1B2C3D4-E5F6-4789-9ABC-DEF012345678";
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t pieceSize = 1 + data[0] % 64;
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    zorvane::FilterEventFrameReader reader{std::string(expectedToken)};
    using Status = zorvane::FilterEventFrameReader::Status;
    Status status = Status::needMore;
    for (std::size_t offset = 0; offset < bytes.size() && status == Status::needMore;
         offset += pieceSize) {
        status = reader.append(bytes.substr(offset, pieceSize));
    }
    const auto envelope = reader.takeEnvelope();
    // Only an accepted frame yields an envelope, and only one carrying the expected token.
    if ((status == Status::accepted) != envelope.has_value()) {
        std::abort();
    }
    if (envelope && envelope->authenticationToken != expectedToken) {
        std::abort();
    }
    if (status != Status::needMore && reader.bytesBuffered() != 0) {
        std::abort();
    }
    return 0;
}
