#include "shared/FrameAssembler.h"
#include "shared/FrameCodec.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

using Status = FrameAssembler::Status;

std::string header(std::uint32_t length) {
    return std::string{static_cast<char>(length >> 24), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 8), static_cast<char>(length)};
}

TEST(FrameCodec, PrefixesTheBigEndianLength) {
    const auto frame = FrameCodec::encode("{}");
    ASSERT_TRUE(frame);
    EXPECT_EQ(*frame, std::string("\0\0\0\x02{}", 6));
    const std::string body(0x010203, 'x');
    const auto large = FrameCodec::encode(body);
    ASSERT_TRUE(large);
    EXPECT_EQ(large->substr(0, 4), std::string("\x00\x01\x02\x03", 4));
    EXPECT_EQ(FrameCodec::readLength(*large), 0x010203u);
    EXPECT_EQ(FrameCodec::encode(""), std::string(4, '\0'));
}

TEST(FrameCodec, AcceptsExactlyTheLimitAndRefusesOneByteMore) {
    const std::string atLimit(FrameCodec::maximumEnvelopeSize, 'a');
    const auto frame = FrameCodec::encode(atLimit);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->size(), 2'097'156u);
    EXPECT_FALSE(FrameCodec::encode(atLimit + "a"));
}

TEST(FrameAssembler, ReassemblesAFrameFedOneByteAtATime) {
    const std::string json = R"({"authenticationToken":"t","activityEvents":[],"observations":[]})";
    const std::string frame = *FrameCodec::encode(json);
    FrameAssembler assembler;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i) {
        ASSERT_EQ(assembler.append(frame.substr(i, 1)), Status::needMore) << i;
        EXPECT_TRUE(assembler.envelopeText().empty());
    }
    EXPECT_EQ(assembler.append(frame.substr(frame.size() - 1)), Status::complete);
    EXPECT_EQ(assembler.envelopeText(), json);
}

TEST(FrameAssembler, IgnoresBytesAfterTheFrameAndStaysComplete) {
    FrameAssembler assembler;
    EXPECT_EQ(assembler.append(header(3) + "abcTRAILING"), Status::complete);
    EXPECT_EQ(assembler.envelopeText(), "abc");
    EXPECT_EQ(assembler.append("more"), Status::complete);
    EXPECT_EQ(assembler.envelopeText(), "abc");
}

TEST(FrameAssembler, ZeroLengthIsACompleteEmptyText) {
    FrameAssembler assembler;
    EXPECT_EQ(assembler.append(header(0)), Status::complete);
    EXPECT_EQ(assembler.envelopeText(), "");
}

TEST(FrameAssembler, RefusesAnOversizedLengthBeforeTheBodyArrives) {
    FrameAssembler assembler;
    EXPECT_EQ(assembler.append(header(2'097'153).substr(0, 3)), Status::needMore);
    EXPECT_EQ(assembler.append(header(2'097'153).substr(3)), Status::refused);
    EXPECT_EQ(assembler.append(std::string(10, 'x')), Status::refused);
    EXPECT_TRUE(assembler.envelopeText().empty());
    FrameAssembler huge;
    EXPECT_EQ(huge.append(header(0xFFFFFFFF)), Status::refused);
}

TEST(FrameAssembler, AcceptsABodyOfExactlyTheLimitInReceiveSizedPieces) {
    const std::string frame =
        *FrameCodec::encode(std::string(FrameCodec::maximumEnvelopeSize, 'j'));
    FrameAssembler assembler;
    Status status = Status::needMore;
    for (std::size_t offset = 0; offset < frame.size(); offset += 65'536) {
        ASSERT_EQ(status, Status::needMore);
        status = assembler.append(std::string_view(frame).substr(offset, 65'536));
    }
    EXPECT_EQ(status, Status::complete);
    EXPECT_EQ(assembler.envelopeText().size(), FrameCodec::maximumEnvelopeSize);
}

TEST(FrameAssembler, RefusesMoreThanTheLargestFrameInAllEvenWithACompleteFrameInside) {
    const std::string frame =
        *FrameCodec::encode(std::string(FrameCodec::maximumEnvelopeSize, 'j'));
    FrameAssembler overrun;
    EXPECT_EQ(overrun.append(frame.substr(0, 100)), Status::needMore);
    EXPECT_EQ(overrun.append(frame.substr(100) + "x"), Status::refused);
    EXPECT_EQ(overrun.bytesReceived(), 0u); // nothing kept once refused

    // A small frame completed by an oversized piece is refused as well: the total is checked first.
    FrameAssembler small;
    EXPECT_EQ(small.append(header(1)), Status::needMore);
    EXPECT_EQ(small.append(std::string(FrameCodec::maximumFrameSize, 'y')), Status::refused);
}

} // namespace
} // namespace zorvane
