#pragma once

#include "platform/TaskInspector.h"

#include <filesystem>

namespace zorvane {

// Tasks of real Linux processes: the token's pid and start time must still name a running
// process, whose executable is then read as a Mach-O file for its signing identifier and
// entitlements. A Linux executable has no such signature, so it resolves to no identity (the
// filter allows unsigned code).
class LinuxTaskInspector final : public TaskInspector {
public:
    explicit LinuxTaskInspector(std::filesystem::path procRoot = "/proc");

    std::unique_ptr<Task> createTask(const AuditToken& token) override;
    std::optional<std::string> processPath(std::int32_t pid) override;

private:
    std::filesystem::path procRoot_;
};

} // namespace zorvane
