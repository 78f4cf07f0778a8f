#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorvane {

// Reassembles one frame from the bytes of one connection, delivered in pieces of any size.
//
// After every piece: more than maximumFrameSize bytes received in all is refused (checked first,
// so a piece that completes a frame and overruns the limit is refused too); fewer than four bytes
// need more; an announced length above maximumEnvelopeSize is refused at once, before its body
// arrives; fewer than length + 4 bytes need more; otherwise the frame is complete (an announced
// length of zero gives an empty text, which no envelope decodes from). Bytes after the frame are
// ignored. Complete and refused are final: later pieces change nothing.
class FrameAssembler {
public:
    enum class Status { needMore, complete, refused };

    Status append(std::string_view bytes);

    Status status() const { return status_; }

    // The envelope text once complete; empty otherwise.
    std::string_view envelopeText() const;

    std::size_t bytesReceived() const { return received_.size(); }

private:
    std::string received_;
    std::size_t envelopeSize_ = 0;
    Status status_ = Status::needMore;
};

} // namespace zorvane
