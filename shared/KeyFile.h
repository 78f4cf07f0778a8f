#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace zorvane {

// The "[Group]" and "Key=Value" text of desktop entries and of the sandbox description that
// Flatpak puts at the root of every application's file system. The text comes from whoever
// wrote the file, so it is taken only when it is all valid UTF-8; lines that are neither
// groups, keys nor comments make the whole file invalid rather than half-read.
class KeyFile {
public:
    // Empty when the text is not UTF-8 or not in this shape.
    static std::optional<KeyFile> parse(std::string_view text);

    // The value as written, before escapes are resolved; null when the key is missing. A key
    // or group given twice keeps its first value, as the desktop readers we follow do.
    const std::string* rawValue(std::string_view group, std::string_view key) const;
    // The value with \s, \n, \t, \r and \\ resolved.
    std::optional<std::string> string(std::string_view group, std::string_view key) const;
    // The value of Key[locale] that best fits the locale ("lang_COUNTRY.ENCODING@MODIFIER"),
    // tried as lang_COUNTRY@MODIFIER, lang_COUNTRY, lang@MODIFIER, lang, then Key itself.
    std::optional<std::string> localeString(std::string_view group, std::string_view key,
                                            std::string_view locale) const;
    // "true" or "false"; anything else counts as absent.
    std::optional<bool> boolean(std::string_view group, std::string_view key) const;

    static std::string unescaped(std::string_view value);

private:
    std::map<std::string, std::map<std::string, std::string, std::less<>>, std::less<>> groups_;
};

} // namespace zorvane
