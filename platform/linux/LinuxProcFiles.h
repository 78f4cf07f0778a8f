#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace zorvane {

// Facts about a process read from procfs. The root is "/proc" except in tests and benchmarks,
// which lay out a tree of the same shape.
class LinuxProcFiles {
public:
    static constexpr std::size_t maximumPathBytes = 4096;

    struct Ids {
        std::uint32_t realUid = 0;
        std::uint32_t effectiveUid = 0;
        std::uint32_t realGid = 0;
        std::uint32_t effectiveGid = 0;
    };

    // The target of <root>/<pid>/exe, at most 4096 bytes.
    static std::optional<std::string> executablePath(const std::filesystem::path& root,
                                                     std::int32_t pid);
    // Field 22 of <root>/<pid>/stat: the start time in clock ticks after boot.
    static std::optional<std::uint64_t> startTime(const std::filesystem::path& root,
                                                  std::int32_t pid);
    // The Uid and Gid lines of <root>/<pid>/status.
    static std::optional<Ids> ids(const std::filesystem::path& root, std::int32_t pid);
    // The arguments of <root>/<pid>/cmdline, the program's own name first; at most the first
    // 64 KiB of them. Nothing when the file cannot be read.
    static std::optional<std::vector<std::string>> arguments(const std::filesystem::path& root,
                                                             std::int32_t pid);
    // A file of <root>/<pid> holding one unsigned number (such as "loginuid").
    static std::optional<std::uint32_t> numberFile(const std::filesystem::path& root,
                                                   std::int32_t pid, const char* name);

    static std::filesystem::path processDirectory(const std::filesystem::path& root,
                                                  std::int32_t pid) {
        return root / std::to_string(pid);
    }
};

} // namespace zorvane
