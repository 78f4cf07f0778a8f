#include "shared/Base64.h"

#include <gtest/gtest.h>

namespace zorvane {
namespace {

TEST(Base64, EncodesTheRfc4648Vectors) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Base64::encode(std::string_view(plain)), encoded);
        EXPECT_EQ(Base64::decodeToString(encoded), std::string(plain)) << encoded;
    }
}

TEST(Base64, RoundTripsEveryByteValue) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 256; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(i));
    }
    const auto encoded = Base64::encode(bytes);
    EXPECT_EQ(Base64::decode(encoded), bytes);
    EXPECT_NE(encoded.find('+'), std::string::npos);
    EXPECT_NE(encoded.find('/'), std::string::npos);
}

TEST(Base64, RejectsAnythingButStrictStandardForm) {
    for (const char* bad : {"Zg", "Zg=", "Z===", "====", "Zm9v\n", " Zm9v", "Zm-v", "Zm_v",
                            "Zg==Zg==", "Zm=v", "Zm9v.", "Zm9v====", "Zg=A"}) {
        EXPECT_FALSE(Base64::decode(bad).has_value()) << bad;
    }
}

} // namespace
} // namespace zorvane
