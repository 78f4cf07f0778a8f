#pragma once

#include "platform/AuditToken.h"
#include "shared/PlistValue.h"

#include <memory>
#include <optional>
#include <string>

namespace zorvane {

// Reads the code-signing facts of a running process from its audit token. On macOS this is the
// Security framework's task interface and proc_pidpath; on Linux /proc and the Mach-O reader.
class TaskInspector {
public:
    // One process, looked up once; its answers are read from that snapshot.
    class Task {
    public:
        virtual ~Task() = default;
        // Signing identifier of the process's code; empty for unsigned code.
        virtual std::optional<std::string> signingIdentifier() const = 0;
        // Value of one entitlement of the process's code signature; empty when absent.
        virtual std::optional<PlistValue> entitlementValue(const std::string& entitlement) const = 0;
    };

    virtual ~TaskInspector() = default;

    // The task for a token; null when no such process exists (gone, or a token of a reused pid).
    virtual std::unique_ptr<Task> createTask(const AuditToken& token) = 0;

    // The executable path of a process, as raw bytes of at most 4096; empty when unknown.
    virtual std::optional<std::string> processPath(std::int32_t pid) = 0;
};

} // namespace zorvane
