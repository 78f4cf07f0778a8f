#include "shared/Utf8.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

TEST(Utf8, AcceptsWellFormedTextAtEveryLength) {
    for (const char* good : {"", "ascii", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                             "\xED\x9F\xBF", "\xEE\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(Utf8::isValid(good)) << good;
    }
}

TEST(Utf8, RejectsOverlongSurrogateTruncatedAndOutOfRangeForms) {
    for (const char* bad : {"\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF0\x80\x80\xAF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF",
                            "\xC3", "\xE2\x82", "a\xF0\x9F\x98", "\xC3\xA9\xA9"}) {
        EXPECT_FALSE(Utf8::isValid(bad)) << ::testing::PrintToString(std::string(bad));
    }
}

TEST(Utf8, SanitizingReplacesEachMaximalIllFormedSubpartOnce) {
    EXPECT_EQ(Utf8::sanitized("ok\xC3\xA9"), "ok\xC3\xA9");
    // A truncated three-byte sequence is one subpart; a lone continuation byte is another.
    EXPECT_EQ(Utf8::sanitized("a\xE2\x82z\x80"), "a\xEF\xBF\xBDz\xEF\xBF\xBD");
    // A surrogate lead stops after one byte, leaving its two continuation bytes as two more.
    EXPECT_EQ(Utf8::sanitized("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(Utf8::isValid(Utf8::sanitized("\xF0\x9F\x98\xC3(\xFF")));
}

TEST(Utf8, TrimsUnicodeWhiteSpaceAndLineBreaksButNothingInside) {
    EXPECT_EQ(Utf8::trimmed(" \t\r\n TEAM \v\f"), "TEAM");
    EXPECT_EQ(Utf8::trimmed("\xC2\xA0\xE3\x80\x80T M\xE2\x80\xA8\xC2\x85"), "T M");
    EXPECT_EQ(Utf8::trimmed("   "), "");
    // Neither a non-white-space scalar nor an ill-formed byte at the edge is trimmed.
    EXPECT_EQ(Utf8::trimmed("\xC3\xA9 "), "\xC3\xA9");
    EXPECT_EQ(Utf8::trimmed(" \x80 "), "\x80");
    EXPECT_EQ(Utf8::trimmed("\xE2\x80\x8B"), "\xE2\x80\x8B"); // zero-width space is not white space
}

} // namespace
} // namespace zorvane
