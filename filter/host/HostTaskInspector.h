#pragma once

#include "codesign/SigningInformation.h"
#include "filter/host/SimulatedProcessTable.h"
#include "platform/TaskInspector.h"

#include <functional>
#include <memory>

namespace zorvane {

// The task inspector the host gives the provider: simulated processes (named by executable in
// flow requests) are answered from the signature of that executable file; every other token
// goes to the real inspector, which looks at live processes.
class HostTaskInspector final : public TaskInspector {
public:
    // Reads the code signature of a file; empty when it cannot be read or carries none.
    using SignatureReader = std::function<std::optional<SigningInformation>(const std::string&)>;

    HostTaskInspector(std::shared_ptr<SimulatedProcessTable> simulatedProcesses,
                      SignatureReader readSignature, std::shared_ptr<TaskInspector> realProcesses);

    std::unique_ptr<Task> createTask(const AuditToken& token) override;
    std::optional<std::string> processPath(std::int32_t pid) override;

private:
    std::shared_ptr<SimulatedProcessTable> simulatedProcesses_;
    SignatureReader readSignature_;
    std::shared_ptr<TaskInspector> realProcesses_;
};

} // namespace zorvane
