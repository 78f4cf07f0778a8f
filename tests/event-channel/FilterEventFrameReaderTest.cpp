#include "app/store/FilterEventFrameReader.h"

#include "EventChannelTestSupport.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using testing::frameFor;
using testing::frameWithLength;
using testing::sampleEnvelope;
using Status = FilterEventFrameReader::Status;

const std::string token(72, 'T');

TEST(FilterEventFrameReaderTest, FrameInOneBytePiecesIsReassembledOnlyAtItsLastByte) {
    const auto envelope = sampleEnvelope(token, 3);
    const std::string frame = frameFor(envelope) + "trailing bytes are ignored";
    const std::size_t frameSize =
        frame.size() - std::string_view("trailing bytes are ignored").size();
    FilterEventFrameReader reader(token);
    for (std::size_t i = 0; i + 1 < frameSize; ++i) {
        ASSERT_EQ(reader.append(frame.substr(i, 1)), Status::needMore) << "at byte " << i;
    }
    EXPECT_EQ(reader.append(frame.substr(frameSize - 1)), Status::accepted);
    EXPECT_EQ(reader.bytesBuffered(), 0u);
    EXPECT_EQ(reader.takeEnvelope(), envelope);
    EXPECT_FALSE(reader.takeEnvelope()) << "an envelope is handed out once";
    EXPECT_EQ(reader.append("more"), Status::accepted);
}

TEST(FilterEventFrameReaderTest, TokensThatAreNearlyRightAreRefused) {
    std::string lastByteDiffers = token;
    lastByteDiffers.back() = 'U';
    for (const std::string& candidate :
         {lastByteDiffers, token + "T", token.substr(1), std::string()}) {
        FilterEventFrameReader reader(token);
        EXPECT_EQ(reader.append(frameFor(sampleEnvelope(candidate))), Status::refused)
            << candidate.size();
        EXPECT_FALSE(reader.takeEnvelope());
    }
    EXPECT_TRUE(FilterEventFrameReader::tokensEqual(token, std::string(72, 'T')));
    EXPECT_FALSE(FilterEventFrameReader::tokensEqual(token, lastByteDiffers));
    EXPECT_TRUE(FilterEventFrameReader::tokensEqual("", ""));
}

TEST(FilterEventFrameReaderTest, EnvelopeWithEmptyListsIsAccepted) {
    FilterEventFrameReader reader(token);
    ASSERT_EQ(reader.append(frameFor(sampleEnvelope(token, 0))), Status::accepted);
    const auto envelope = reader.takeEnvelope();
    ASSERT_TRUE(envelope);
    EXPECT_TRUE(envelope->activityEvents.empty());
    EXPECT_TRUE(envelope->observations.empty());
}

TEST(FilterEventFrameReaderTest, MalformedOrOversizedFramesAreRefused) {
    const std::string validJson = *RecordJson::encodeEnvelope(sampleEnvelope(token));
    const std::vector<std::string> frames = {
        frameFor("{not json"),
        frameFor(validJson.substr(0, validJson.size() - 1)),
        frameFor("[]"),
        frameFor(""),
        frameFor("{\"authenticationToken\":\"" + token + "\"}"), // lists missing
        frameWithLength(2'097'153, ""),                          // refused on its header alone
        frameWithLength(0xFFFFFFFF, "x"),
    };
    for (const auto& frame : frames) {
        FilterEventFrameReader reader(token);
        EXPECT_EQ(reader.append(frame), Status::refused) << frame.substr(4, 40);
        EXPECT_EQ(reader.bytesBuffered(), 0u);
    }
}

TEST(FilterEventFrameReaderTest, EnvelopeOfExactlyTheLimitIsAccepted) {
    // Unknown keys are ignored, so padding in one makes the text exactly as long as needed.
    const std::string head = R"({"authenticationToken":")" + token +
                             R"(","activityEvents":[],"observations":[],"padding":")";
    const std::string json = head + std::string(2'097'152 - head.size() - 2, 'p') + "\"}";
    ASSERT_EQ(json.size(), 2'097'152u);
    FilterEventFrameReader reader(token);
    EXPECT_EQ(reader.append(frameFor(json)), Status::accepted);
    EXPECT_TRUE(reader.takeEnvelope());
}

} // namespace
} // namespace zorvane
