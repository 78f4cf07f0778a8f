#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zorvane {

// UTF-8 as the records need it: every text that is written or read must be well-formed
// (shortest form, no surrogates, nothing above U+10FFFF).
class Utf8 {
public:
    static bool isValid(std::string_view text);

    // A well-formed copy: each maximal ill-formed subpart becomes U+FFFD, as Unicode recommends.
    static std::string sanitized(std::string_view text);

    // Trims leading and trailing white space and line breaks: U+0009...U+000D, U+0020, U+0085,
    // U+00A0, U+1680, U+2000...U+200A, U+2028, U+2029, U+202F, U+205F and U+3000. Ill-formed
    // bytes are never trimmed.
    static std::string_view trimmed(std::string_view text);

    // Decodes one well-formed scalar value at text[offset]. Returns its length in bytes and
    // stores the value, or returns 0 when the bytes there are ill-formed (or offset is at the end).
    static std::size_t decode(std::string_view text, std::size_t offset, char32_t& scalar);

    static bool isWhiteSpaceOrLineBreak(char32_t scalar);
};

} // namespace zorvane
