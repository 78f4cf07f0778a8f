// Frames arriving in arbitrary pieces: the first input byte chooses the piece sizes, the rest is
// the connection's byte stream. Whatever the split, the assembler must reach the answer that the
// whole stream implies (inputs stay far below the total limit, so splitting cannot matter).
#include "shared/FrameAssembler.h"
#include "shared/FrameCodec.h"
#include "shared/RecordJson.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using zorvane::FrameAssembler;
using zorvane::FrameCodec;

namespace {

FrameAssembler::Status expectedStatus(std::string_view stream, std::string_view& text) {
    if (stream.size() > FrameCodec::maximumFrameSize) {
        return FrameAssembler::Status::refused;
    }
    if (stream.size() < FrameCodec::headerSize) {
        return FrameAssembler::Status::needMore;
    }
    const std::size_t length = FrameCodec::readLength(stream);
    if (length > FrameCodec::maximumEnvelopeSize) {
        return FrameAssembler::Status::refused;
    }
    if (stream.size() < FrameCodec::headerSize + length) {
        return FrameAssembler::Status::needMore;
    }
    text = stream.substr(FrameCodec::headerSize, length);
    return FrameAssembler::Status::complete;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::uint8_t split = data[0];
    const std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

    FrameAssembler assembler;
    FrameAssembler::Status status = FrameAssembler::Status::needMore;
    std::size_t offset = 0;
    std::size_t piece = 0;
    while (offset < stream.size()) {
        // Piece sizes cycle through a pattern drawn from the split byte, empty pieces included.
        const std::size_t length = ((split >> (piece % 4 * 2)) & 0x3) * (1 + piece % 7);
        const auto chunk = stream.substr(offset, length);
        const auto before = status;
        status = assembler.append(chunk);
        if (before != FrameAssembler::Status::needMore && status != before) {
            std::abort(); // final answers never change
        }
        offset += chunk.size();
        if (length == 0 && (split & 0x3) == 0 && piece > 64) {
            // The pattern may be all zeros: finish with the remainder in one piece.
            status = assembler.append(stream.substr(offset));
            offset = stream.size();
        }
        ++piece;
    }

    std::string_view expectedText;
    const auto expected = expectedStatus(stream, expectedText);
    if (status != expected) {
        std::abort();
    }
    if (status == FrameAssembler::Status::complete) {
        if (assembler.envelopeText() != expectedText) {
            std::abort();
        }
        // What a receiver does next with the text.
        (void)zorvane::RecordJson::decodeEnvelope(assembler.envelopeText());
        // And the sending side's frame of the same text assembles back to it.
        const auto frame = FrameCodec::encode(expectedText);
        FrameAssembler roundTrip;
        if (!frame || roundTrip.append(*frame) != FrameAssembler::Status::complete ||
            roundTrip.envelopeText() != expectedText) {
            std::abort();
        }
    } else if (!assembler.envelopeText().empty()) {
        std::abort();
    }
    return 0;
}
