#include "SystemSandbox.h"

#include "ChildProcess.h"
#include "app/store/ActivityLog.h"
#include "app/store/AppBlockStore.h"
#include "app/store/ApplicationIconRenderer.h"
#include "app/store/ApplicationInspector.h"
#include "app/ui/ViewSupport.h"
#include "platform/linux/ExtensionStateFile.h"
#include "platform/linux/FileLock.h"
#include "platform/linux/InstanceLock.h"
#include "platform/linux/PlistPreferences.h"
#include "platform/linux/SystemDirectory.h"
#include "shared/RecordJson.h"
#include "tools/FlowSocketClient.h"
#include "zorvane/BuildInfo.h"

#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace zorvane {
namespace fs = std::filesystem;

SystemSandbox::SystemSandbox(fs::path root) : root_(std::move(root)) {
    for (const auto& directory :
         {systemDirectory(), containerDirectory(), logDirectory(), root_ / "config", root_ / "data",
          root_ / "state", root_ / "home", root_ / "secrets", preferencesFile().parent_path()}) {
        fs::create_directories(directory);
    }
    // The system directory carries the channel's token: the user's alone, as the host wants.
    fs::permissions(systemDirectory(), fs::perms::owner_all);
}

fs::path SystemSandbox::preferencesFile() const {
    return root_ / "preferences" / (std::string(build_info::bundleIdentifier) + ".plist");
}

std::vector<std::string> SystemSandbox::environment(const EnvironmentOptions& options) const {
    std::vector<std::string> entries = {
        "ZORVANE_AUTO_APPROVE",
        "ZORVANE_APPLICATIONS_DIR",
        "ZORVANE_SYSTEM_DIR=" + systemDirectory().string(),
        "ZORVANE_CONTAINER_DIR=" + containerDirectory().string(),
        "ZORVANE_PREFERENCES=" + preferencesFile().string(),
        "ZORVANE_SECRETS_DIR=" + (root_ / "secrets").string(),
        "XDG_CONFIG_HOME=" + (root_ / "config").string(),
        "XDG_DATA_HOME=" + (root_ / "data").string(),
        "XDG_STATE_HOME=" + (root_ / "state").string(),
        // Whatever else keeps files in the home directory (a keyring, caches) keeps them here.
        "HOME=" + (root_ / "home").string(),
        "XDG_CACHE_HOME=" + (root_ / "home" / ".cache").string(),
        // Nothing leaves the machine: an update check finds nobody listening.
        "ZORVANE_UPDATE_MANIFEST_URL=http://127.0.0.1:9/updates/latest.json",
    };
    if (options.autoApprove) {
        entries.emplace_back("ZORVANE_AUTO_APPROVE=1");
    }
    if (options.applicationsDirectory) {
        entries.push_back("ZORVANE_APPLICATIONS_DIR=" + options.applicationsDirectory->string());
    }
    entries.insert(entries.end(), options.extra.begin(), options.extra.end());
    return ChildProcess::environmentWith(entries);
}

std::optional<BlockedApplication> SystemSandbox::inspect(const fs::path& bundle) {
    auto result =
        ApplicationInspector(&ApplicationIconRenderer::render).inspect(bundle, Uuid::random());
    if (auto* application = std::get_if<BlockedApplication>(&result)) {
        return std::move(*application);
    }
    return std::nullopt;
}

void SystemSandbox::seedBlockList(const std::vector<BlockedApplication>& applications,
                                  bool protectionRequested) const {
    PlistPreferences preferences(preferencesFile());
    const std::string json = RecordJson::encodeBlockedApplications(applications);
    preferences.setValue(AppBlockStore::defaultsKey,
                         PlistValue(PlistData(json.begin(), json.end())));
    preferences.setValue(AppBlockStore::protectionRequestedKey, PlistValue(protectionRequested));
    // Someone who dropped applications has been through the getting-started guide.
    preferences.setValue(ViewSupport::hasCompletedOnboardingKey, PlistValue(true));
    preferences.synchronize();
}

std::vector<BlockedApplication> SystemSandbox::storedBlockList() const {
    PlistPreferences preferences(preferencesFile());
    preferences.synchronize();
    const auto value = preferences.value(AppBlockStore::defaultsKey);
    if (!value || !value->data()) {
        return {};
    }
    const std::string json(value->data()->begin(), value->data()->end());
    return RecordJson::decodeBlockedApplications(json).value_or(std::vector<BlockedApplication>{});
}

std::vector<NetworkActivityEvent> SystemSandbox::storedActivity() const {
    return ActivityLog(containerDirectory(), Clock::system()).loadEvents();
}

std::int64_t SystemSandbox::storedBlockedAttempts() const {
    std::int64_t total = 0;
    for (const auto& event : storedActivity()) {
        total += event.blockedConnectionCount;
    }
    return total;
}

std::vector<DiscoveredNetworkProcess> SystemSandbox::storedObservations() const {
    return ActivityLog(containerDirectory(), Clock::system()).loadObservations();
}

std::optional<pid_t> SystemSandbox::keeperProcess() const {
    const auto records = ExtensionStateFile(systemDirectory()).read();
    const auto found = records.find(build_info::filterBundleIdentifier);
    if (found == records.end() || !found->second.hostProcessIdentifier) {
        return std::nullopt;
    }
    const auto pid = static_cast<pid_t>(*found->second.hostProcessIdentifier);
    if (::kill(pid, 0) != 0) {
        return std::nullopt;
    }
    return pid;
}

std::optional<pid_t> SystemSandbox::hostProcess() const {
    const auto keeper = keeperProcess();
    if (!keeper) {
        return std::nullopt;
    }
    const auto task = std::to_string(*keeper);
    std::ifstream children("/proc/" + task + "/task/" + task + "/children");
    long child = 0;
    if (children >> child && child > 0) {
        return static_cast<pid_t>(child);
    }
    return std::nullopt;
}

std::optional<nlohmann::json> SystemSandbox::filterReport() const {
    const auto answer = FlowSocketClient(systemDirectory() / SystemDirectory::flowSocketName)
                            .exchange(R"({"report":"activity"})");
    if (answer.outcome != FlowSocketClient::Outcome::replied) {
        return std::nullopt;
    }
    auto report = nlohmann::json::parse(answer.reply, nullptr, false);
    if (!report.is_object() || !report.contains("pendingBlockedAttempts")) {
        return std::nullopt;
    }
    return report;
}

bool SystemSandbox::hostRunning() const {
    return FileLock::isHeld(systemDirectory() / SystemDirectory::hostLockName);
}

bool SystemSandbox::stopFilter() const {
    if (const auto keeper = keeperProcess()) {
        ::kill(*keeper, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!FileLock::isHeld(systemDirectory() / SystemDirectory::keeperLockName) &&
            !hostRunning()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool SystemSandbox::stopStatusAgent() const {
    const auto lock = containerDirectory() / "status-agent.lock";
    if (const auto agent = InstanceLock::holder(lock); agent && agent->processIdentifier > 0) {
        ::kill(agent->processIdentifier, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (FileLock::isHeld(lock)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::optional<long> SystemSandbox::peakResidentKiB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            std::istringstream value(line.substr(6));
            long kib = 0;
            if (value >> kib) {
                return kib;
            }
        }
    }
    return std::nullopt;
}

} // namespace zorvane
