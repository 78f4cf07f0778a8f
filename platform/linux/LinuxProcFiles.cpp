#include "platform/linux/LinuxProcFiles.h"

#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string_view>
#include <unistd.h>
#include <vector>

namespace zorvane {
namespace {

std::optional<std::string> readSmallFile(const std::filesystem::path& path,
                                         std::size_t limit = 8192) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    // procfs files report size 0; read what is there, but never an unbounded amount.
    std::string contents(limit, '\0');
    file.read(contents.data(), static_cast<std::streamsize>(contents.size()));
    contents.resize(static_cast<std::size_t>(file.gcount()));
    return contents;
}

template <typename Number> std::optional<Number> parseNumber(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The whitespace-separated fields of a line after its label ("Uid:").
std::vector<std::string_view> fieldsAfter(std::string_view text, std::string_view label) {
    std::vector<std::string_view> fields;
    std::size_t lineStart = 0;
    while (lineStart < text.size()) {
        const auto lineEnd = std::min(text.find('\n', lineStart), text.size());
        std::string_view line = text.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 1;
        if (!line.starts_with(label)) {
            continue;
        }
        line.remove_prefix(label.size());
        while (!line.empty()) {
            const auto start = line.find_first_not_of(" \t");
            if (start == std::string_view::npos) {
                break;
            }
            line.remove_prefix(start);
            const auto end = std::min(line.find_first_of(" \t"), line.size());
            fields.push_back(line.substr(0, end));
            line.remove_prefix(end);
        }
        break;
    }
    return fields;
}

} // namespace

std::optional<std::string> LinuxProcFiles::executablePath(const std::filesystem::path& root,
                                                          std::int32_t pid) {
    if (pid < 1) {
        return std::nullopt;
    }
    const auto link = processDirectory(root, pid) / "exe";
    std::array<char, maximumPathBytes> buffer{};
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 1) {
        return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::optional<std::uint64_t> LinuxProcFiles::startTime(const std::filesystem::path& root,
                                                       std::int32_t pid) {
    if (pid < 1) {
        return std::nullopt;
    }
    const auto stat = readSmallFile(processDirectory(root, pid) / "stat");
    if (!stat) {
        return std::nullopt;
    }
    // The command name (field 2) is in parentheses and may itself hold spaces and ")"; the
    // fields after the last ")" start with field 3.
    const auto close = stat->rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(stat->substr(close + 1));
    std::string field;
    for (int index = 3; rest >> field; ++index) {
        if (index == 22) {
            return parseNumber<std::uint64_t>(field);
        }
    }
    return std::nullopt;
}

std::optional<LinuxProcFiles::Ids> LinuxProcFiles::ids(const std::filesystem::path& root,
                                                       std::int32_t pid) {
    if (pid < 1) {
        return std::nullopt;
    }
    const auto status = readSmallFile(processDirectory(root, pid) / "status");
    if (!status) {
        return std::nullopt;
    }
    const auto uids = fieldsAfter(*status, "Uid:");
    const auto gids = fieldsAfter(*status, "Gid:");
    if (uids.size() < 2 || gids.size() < 2) {
        return std::nullopt;
    }
    const auto realUid = parseNumber<std::uint32_t>(uids[0]);
    const auto effectiveUid = parseNumber<std::uint32_t>(uids[1]);
    const auto realGid = parseNumber<std::uint32_t>(gids[0]);
    const auto effectiveGid = parseNumber<std::uint32_t>(gids[1]);
    if (!realUid || !effectiveUid || !realGid || !effectiveGid) {
        return std::nullopt;
    }
    return Ids{*realUid, *effectiveUid, *realGid, *effectiveGid};
}

std::optional<std::uint32_t> LinuxProcFiles::numberFile(const std::filesystem::path& root,
                                                        std::int32_t pid, const char* name) {
    const auto contents = readSmallFile(processDirectory(root, pid) / name);
    if (!contents) {
        return std::nullopt;
    }
    std::string_view text = *contents;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.remove_suffix(1);
    }
    return parseNumber<std::uint32_t>(text);
}

std::optional<std::vector<std::string>> LinuxProcFiles::arguments(const std::filesystem::path& root,
                                                                  std::int32_t pid) {
    const auto contents = readSmallFile(processDirectory(root, pid) / "cmdline", 64 * 1024);
    if (!contents) {
        return std::nullopt;
    }
    // Each argument ends with a NUL; a last one cut off by the limit still counts.
    std::vector<std::string> arguments;
    std::size_t start = 0;
    while (start < contents->size()) {
        const auto end = std::min(contents->find('\0', start), contents->size());
        arguments.emplace_back(*contents, start, end - start);
        start = end + 1;
    }
    return arguments;
}

} // namespace zorvane
