#pragma once

#include "shared/FilterEventEnvelope.h"
#include "shared/FrameAssembler.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// What the receiver does with the bytes of one connection: reassembles the frame, decodes the
// envelope and admits it only with the expected token. Kept apart from the sockets so that the
// whole path from untrusted bytes to a delivered envelope can be tested and fuzzed directly.
class FilterEventFrameReader {
public:
    enum class Status {
        needMore, // keep reading
        accepted, // an authenticated envelope is ready (takeEnvelope)
        refused,  // oversized, malformed or wrongly authenticated: deliver nothing
    };

    explicit FilterEventFrameReader(std::string expectedToken);

    // Appends one received piece. accepted and refused are final: later pieces change nothing.
    Status append(std::string_view bytes);

    Status status() const { return status_; }

    // The envelope once accepted, exactly once.
    std::optional<FilterEventEnvelope> takeEnvelope();

    // Bytes held for the frame being assembled (what the connection costs in memory).
    std::size_t bytesBuffered() const;

    // Equal only when both have the same length and every byte matches; the loop visits every
    // byte whatever it finds, so the time taken tells nothing about where a guess went wrong.
    static bool tokensEqual(std::string_view expected, std::string_view candidate);

private:
    std::string expectedToken_;
    std::optional<FrameAssembler> assembler_;
    std::optional<FilterEventEnvelope> envelope_;
    Status status_ = Status::needMore;
};

} // namespace zorvane
