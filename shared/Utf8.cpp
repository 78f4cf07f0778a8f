#include "Utf8.h"

namespace zorvane {

namespace {

// Reads one scalar at text[offset]. On success returns its length and sets `valid`; otherwise
// returns the length of the maximal ill-formed subpart there (at least one byte).
std::size_t step(std::string_view text, std::size_t offset, char32_t& scalar, bool& valid) {
    valid = false;
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(offset);
    if (lead < 0x80) {
        scalar = lead;
        valid = true;
        return 1;
    }
    std::size_t length = 0;
    char32_t value = 0;
    // The accepted range of the second byte excludes overlong forms, surrogates and values
    // beyond U+10FFFF (Unicode table 3-7).
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0) {
            low = 0xA0;
        } else if (lead == 0xED) {
            high = 0x9F;
        }
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0) {
            low = 0x90;
        } else if (lead == 0xF4) {
            high = 0x8F;
        }
    } else {
        return 1;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (offset + i >= text.size()) {
            return i;
        }
        const unsigned char next = byteAt(offset + i);
        const unsigned char min = i == 1 ? low : 0x80;
        const unsigned char max = i == 1 ? high : 0xBF;
        if (next < min || next > max) {
            return i;
        }
        value = (value << 6) | (next & 0x3F);
    }
    scalar = value;
    valid = true;
    return length;
}

} // namespace

std::size_t Utf8::decode(std::string_view text, std::size_t offset, char32_t& scalar) {
    if (offset >= text.size()) {
        return 0;
    }
    bool valid = false;
    const std::size_t length = step(text, offset, scalar, valid);
    return valid ? length : 0;
}

bool Utf8::isValid(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Runs of ASCII are the common case for identifiers and paths.
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t scalar = 0;
        const std::size_t length = decode(text, i, scalar);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string Utf8::sanitized(std::string_view text) {
    if (isValid(text)) {
        return std::string(text);
    }
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size() + 8);
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t scalar = 0;
        bool valid = false;
        const std::size_t length = step(text, i, scalar, valid);
        out.append(valid ? text.substr(i, length) : replacement);
        i += length;
    }
    return out;
}

bool Utf8::isWhiteSpaceOrLineBreak(char32_t scalar) {
    if ((scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20 || scalar == 0x85 || scalar == 0xA0 ||
        scalar == 0x1680) {
        return true;
    }
    if (scalar >= 0x2000 && scalar <= 0x200A) {
        return true;
    }
    return scalar == 0x2028 || scalar == 0x2029 || scalar == 0x202F || scalar == 0x205F ||
           scalar == 0x3000;
}

std::string_view Utf8::trimmed(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        char32_t scalar = 0;
        const std::size_t length = decode(text, begin, scalar);
        if (length == 0 || !isWhiteSpaceOrLineBreak(scalar)) {
            break;
        }
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back over continuation bytes to the start of the last scalar (at most 4 bytes).
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 &&
               (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        char32_t scalar = 0;
        const std::size_t length = decode(text, start, scalar);
        if (length != end - start || !isWhiteSpaceOrLineBreak(scalar)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

} // namespace zorvane
