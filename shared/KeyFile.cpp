#include "shared/KeyFile.h"

#include "shared/Utf8.h"

#include <vector>

namespace zorvane {
namespace {

std::string_view trimmedSpaces(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::optional<KeyFile> KeyFile::parse(std::string_view text) {
    if (!Utf8::isValid(text)) {
        return std::nullopt;
    }
    KeyFile file;
    std::map<std::string, std::string, std::less<>>* current = nullptr;
    bool skippingGroup = false;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = trimmedSpaces(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3) {
                return std::nullopt;
            }
            const std::string_view name = line.substr(1, line.size() - 2);
            auto [it, inserted] = file.groups_.try_emplace(std::string(name));
            // A repeated group is an error in the format; its keys are not allowed to overwrite
            // what the first one said.
            skippingGroup = !inserted;
            current = &it->second;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0 || !current) {
            return std::nullopt;
        }
        if (skippingGroup) {
            continue;
        }
        const std::string_view key = trimmedSpaces(line.substr(0, equals));
        const std::string_view value = trimmedSpaces(line.substr(equals + 1));
        if (key.empty()) {
            return std::nullopt;
        }
        current->try_emplace(std::string(key), std::string(value));
    }
    return file;
}

const std::string* KeyFile::rawValue(std::string_view group, std::string_view key) const {
    const auto found = groups_.find(group);
    if (found == groups_.end()) {
        return nullptr;
    }
    const auto value = found->second.find(key);
    return value == found->second.end() ? nullptr : &value->second;
}

std::string KeyFile::unescaped(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out.push_back(value[i]);
            continue;
        }
        switch (value[++i]) {
        case 's':
            out.push_back(' ');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case '\\':
            out.push_back('\\');
            break;
        default:
            // Escapes this layer does not know belong to the next one (Exec quoting).
            out.push_back('\\');
            out.push_back(value[i]);
        }
    }
    return out;
}

std::optional<std::string> KeyFile::string(std::string_view group, std::string_view key) const {
    const std::string* value = rawValue(group, key);
    if (!value) {
        return std::nullopt;
    }
    return unescaped(*value);
}

std::optional<std::string> KeyFile::localeString(std::string_view group, std::string_view key,
                                                 std::string_view locale) const {
    // lang_COUNTRY.ENCODING@MODIFIER: the encoding never takes part in the match.
    std::string_view modifier;
    if (const auto at = locale.find('@'); at != std::string_view::npos) {
        modifier = locale.substr(at + 1);
        locale = locale.substr(0, at);
    }
    if (const auto dot = locale.find('.'); dot != std::string_view::npos) {
        locale = locale.substr(0, dot);
    }
    std::string_view language = locale;
    std::string_view country;
    if (const auto underscore = locale.find('_'); underscore != std::string_view::npos) {
        language = locale.substr(0, underscore);
        country = locale.substr(underscore + 1);
    }
    std::vector<std::string> tries;
    const std::string lang(language);
    if (!lang.empty() && lang != "C" && lang != "POSIX") {
        if (!country.empty() && !modifier.empty()) {
            tries.push_back(lang + "_" + std::string(country) + "@" + std::string(modifier));
        }
        if (!country.empty()) {
            tries.push_back(lang + "_" + std::string(country));
        }
        if (!modifier.empty()) {
            tries.push_back(lang + "@" + std::string(modifier));
        }
        tries.push_back(lang);
    }
    for (const auto& suffix : tries) {
        if (auto value = string(group, std::string(key) + "[" + suffix + "]")) {
            return value;
        }
    }
    return string(group, key);
}

std::optional<bool> KeyFile::boolean(std::string_view group, std::string_view key) const {
    const std::string* value = rawValue(group, key);
    if (value && *value == "true") {
        return true;
    }
    if (value && *value == "false") {
        return false;
    }
    return std::nullopt;
}

} // namespace zorvane
