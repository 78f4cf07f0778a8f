#include "FilterEventFrameReader.h"

#include "shared/RecordJson.h"

namespace zorvane {

FilterEventFrameReader::FilterEventFrameReader(std::string expectedToken)
    : expectedToken_(std::move(expectedToken)), assembler_(std::in_place) {}

FilterEventFrameReader::Status FilterEventFrameReader::append(std::string_view bytes) {
    if (status_ != Status::needMore) {
        return status_;
    }
    switch (assembler_->append(bytes)) {
    case FrameAssembler::Status::needMore:
        return status_;
    case FrameAssembler::Status::refused:
        assembler_.reset();
        return status_ = Status::refused;
    case FrameAssembler::Status::complete:
        break;
    }
    auto envelope = RecordJson::decodeEnvelope(assembler_->envelopeText());
    // The frame's bytes are no longer needed, whatever the outcome.
    assembler_.reset();
    if (!envelope || !tokensEqual(expectedToken_, envelope->authenticationToken)) {
        return status_ = Status::refused;
    }
    envelope_ = std::move(envelope);
    return status_ = Status::accepted;
}

std::optional<FilterEventEnvelope> FilterEventFrameReader::takeEnvelope() {
    return std::exchange(envelope_, std::nullopt);
}

std::size_t FilterEventFrameReader::bytesBuffered() const {
    return assembler_ ? assembler_->bytesReceived() : 0;
}

bool FilterEventFrameReader::tokensEqual(std::string_view expected, std::string_view candidate) {
    if (expected.size() != candidate.size()) {
        return false;
    }
    unsigned difference = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        difference |=
            static_cast<unsigned char>(expected[i]) ^ static_cast<unsigned char>(candidate[i]);
    }
    return difference == 0;
}

} // namespace zorvane
