#include "filter/host/HostTaskInspector.h"

namespace zorvane {
namespace {

class SimulatedTask final : public TaskInspector::Task {
public:
    explicit SimulatedTask(SigningInformation signature) : signature_(std::move(signature)) {}

    std::optional<std::string> signingIdentifier() const override { return signature_.identifier; }

    std::optional<PlistValue> entitlementValue(const std::string& entitlement) const override {
        if (!signature_.entitlements) {
            return std::nullopt;
        }
        auto found = signature_.entitlements->find(entitlement);
        if (found == signature_.entitlements->end()) {
            return std::nullopt;
        }
        return found->second;
    }

private:
    SigningInformation signature_;
};

} // namespace

HostTaskInspector::HostTaskInspector(std::shared_ptr<SimulatedProcessTable> simulatedProcesses,
                                     SignatureReader readSignature,
                                     std::shared_ptr<TaskInspector> realProcesses)
    : simulatedProcesses_(std::move(simulatedProcesses)), readSignature_(std::move(readSignature)),
      realProcesses_(std::move(realProcesses)) {}

std::unique_ptr<TaskInspector::Task> HostTaskInspector::createTask(const AuditToken& token) {
    if (SimulatedProcessTable::isSimulatedPid(token.pid())) {
        // A token in the simulated range that the table does not know is a process that never
        // existed; the real inspector could not know it either.
        const auto executable = simulatedProcesses_->executableFor(token);
        if (!executable || !readSignature_) {
            return nullptr;
        }
        auto signature = readSignature_(*executable);
        // Unsigned code has no signing identifier, exactly as for a real process. The team
        // identifier comes from the entitlements only, as the system's task interface gives it.
        if (!signature || signature->identifier.empty()) {
            return nullptr;
        }
        return std::make_unique<SimulatedTask>(std::move(*signature));
    }
    return realProcesses_ ? realProcesses_->createTask(token) : nullptr;
}

std::optional<std::string> HostTaskInspector::processPath(std::int32_t pid) {
    if (SimulatedProcessTable::isSimulatedPid(pid)) {
        return simulatedProcesses_->executableForPid(pid);
    }
    return realProcesses_ ? realProcesses_->processPath(pid) : std::nullopt;
}

} // namespace zorvane
