#pragma once

#include <filesystem>

namespace zorvane {

class UntrustedFile;

// Whether a file is an ELF program that can be started by itself: a fixed-address executable,
// or a position-independent one, which differs from a shared library by naming the program
// interpreter that loads it.
class ElfExecutable {
public:
    static bool isExecutable(const UntrustedFile& file);
    static bool isExecutable(const std::filesystem::path& path);
};

} // namespace zorvane
