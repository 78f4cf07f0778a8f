#include "FrameAssembler.h"

#include "FrameCodec.h"

namespace zorvane {

FrameAssembler::Status FrameAssembler::append(std::string_view bytes) {
    if (status_ != Status::needMore) {
        return status_;
    }
    // Compare before copying, so that an oversized piece is never buffered.
    if (bytes.size() > FrameCodec::maximumFrameSize - received_.size()) {
        received_.clear();
        received_.shrink_to_fit();
        return status_ = Status::refused;
    }
    received_.append(bytes);
    if (received_.size() < FrameCodec::headerSize) {
        return status_;
    }
    const std::size_t length = FrameCodec::readLength(received_);
    if (length > FrameCodec::maximumEnvelopeSize) {
        received_.clear();
        received_.shrink_to_fit();
        return status_ = Status::refused;
    }
    if (received_.size() < FrameCodec::headerSize + length) {
        return status_;
    }
    envelopeSize_ = length;
    return status_ = Status::complete;
}

std::string_view FrameAssembler::envelopeText() const {
    if (status_ != Status::complete) {
        return {};
    }
    return std::string_view(received_).substr(FrameCodec::headerSize, envelopeSize_);
}

} // namespace zorvane
