#pragma once

#include <filesystem>

namespace zorvane {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes away. Throws std::runtime_error when no directory can be made.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // path() / relative, for brevity in tests.
    std::filesystem::path operator/(const std::filesystem::path& relative) const {
        return path_ / relative;
    }

private:
    std::filesystem::path path_;
};

} // namespace zorvane
