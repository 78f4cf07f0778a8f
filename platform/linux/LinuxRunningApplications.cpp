#include "platform/linux/LinuxRunningApplications.h"

#include "codesign/BundleReader.h"
#include "platform/linux/FlatpakSandbox.h"
#include "platform/linux/LinuxProcFiles.h"
#include "shared/BundlePath.h"
#include "zorvane/BuildInfo.h"

#include <algorithm>
#include <charconv>
#include <system_error>
#include <unistd.h>

namespace zorvane {
namespace {

std::optional<std::int32_t> pidOf(const std::string& name) {
    std::int32_t pid = 0;
    const auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (error != std::errc() || end != name.data() + name.size() || pid < 1) {
        return std::nullopt;
    }
    return pid;
}

bool isTrue(const PlistValue* value) {
    if (!value) {
        return false;
    }
    if (const bool* flag = value->boolean()) {
        return *flag;
    }
    if (const auto number = value->numberValue()) {
        return *number != 0;
    }
    if (const std::string* text = value->string()) {
        return *text == "1" || *text == "YES" || *text == "true";
    }
    return false;
}

bool runsAsAgent(const std::filesystem::path& root, std::int32_t pid) {
    const auto arguments = LinuxProcFiles::arguments(root, pid);
    return arguments && arguments->size() > 1 &&
           std::find(arguments->begin() + 1, arguments->end(), build_info::agentArgument) !=
               arguments->end();
}

} // namespace

LinuxRunningApplications::LinuxRunningApplications(std::filesystem::path root,
                                                   std::optional<std::uint32_t> user)
    : root_(std::move(root)), user_(user) {}

std::uint32_t LinuxRunningApplications::currentUser() {
    return static_cast<std::uint32_t>(::getuid());
}

std::optional<std::filesystem::path>
LinuxRunningApplications::bundleOfExecutable(const std::string& executable) {
    std::filesystem::path path(executable);
    // The kernel marks the image of a file that was removed or replaced while it ran.
    static constexpr std::string_view deleted = " (deleted)";
    if (executable.ends_with(deleted)) {
        path = executable.substr(0, executable.size() - deleted.size());
    }
    const auto macOS = path.parent_path();
    const auto contents = macOS.parent_path();
    const auto bundle = contents.parent_path();
    if (!path.is_absolute() || macOS.filename() != "MacOS" || contents.filename() != "Contents" ||
        !BundlePath::hasBundleSuffix(bundle.filename().string()) ||
        bundle.filename().string().size() == BundlePath::bundleSuffix.size()) {
        return std::nullopt;
    }
    return bundle;
}

LinuxRunningApplications::BundleFacts
LinuxRunningApplications::factsOf(const std::filesystem::path& bundle,
                                  std::map<std::filesystem::path, BundleFacts>& seen) {
    if (const auto known = seen.find(bundle); known != seen.end()) {
        return known->second;
    }
    BundleFacts facts;
    if (const auto cached = bundleCache_.find(bundle); cached != bundleCache_.end()) {
        facts = cached->second;
    } else if (const auto info = BundleReader::readInfoDictionary(bundle)) {
        if (const auto found = info->find("CFBundleIdentifier"); found != info->end()) {
            if (const std::string* identifier = found->second.string();
                identifier && !identifier->empty()) {
                facts.bundleIdentifier = *identifier;
            }
        }
        const auto flag = [&](const char* key) {
            const auto found = info->find(key);
            return found != info->end() && isTrue(&found->second);
        };
        if (flag("LSBackgroundOnly")) {
            facts.activationPolicy = Workspace::ActivationPolicy::prohibited;
        } else if (flag("LSUIElement")) {
            facts.activationPolicy = Workspace::ActivationPolicy::accessory;
        }
    }
    seen.emplace(bundle, facts);
    return facts;
}

void LinuxRunningApplications::setListedApplications(
    const std::vector<BlockedApplication>& applications) {
    listedPrograms_.clear();
    listedFlatpaks_.clear();
    for (const auto& application : applications) {
        if (application.teamIdentifier || BundlePath::hasBundleSuffix(application.path)) {
            continue; // a bundle's processes are found through the bundle
        }
        Listed listed{application.bundleIdentifier, application.path};
        if (application.signingIdentifier.starts_with('/')) {
            listedPrograms_.emplace(application.signingIdentifier, std::move(listed));
        } else if (!application.signingIdentifier.empty()) {
            listedFlatpaks_.emplace(application.signingIdentifier, std::move(listed));
        }
    }
}

std::optional<LinuxRunningApplications::Listed> LinuxRunningApplications::listedFor(
    std::int32_t pid, std::uint64_t startTime, const std::string& executable,
    std::map<std::pair<std::int32_t, std::uint64_t>, std::optional<std::string>>& sandboxes) {
    static constexpr std::string_view deleted = " (deleted)";
    const std::string program = executable.ends_with(deleted)
                                    ? executable.substr(0, executable.size() - deleted.size())
                                    : executable;
    if (const auto found = listedPrograms_.find(program); found != listedPrograms_.end()) {
        return found->second;
    }
    if (listedFlatpaks_.empty()) {
        return std::nullopt;
    }
    const std::pair key{pid, startTime};
    std::optional<std::string> sandbox;
    if (const auto cached = sandboxCache_.find(key); cached != sandboxCache_.end()) {
        sandbox = cached->second;
    } else {
        sandbox = FlatpakSandbox::applicationOf(root_, pid);
    }
    sandboxes.emplace(key, sandbox);
    if (const auto found = sandbox ? listedFlatpaks_.find(*sandbox) : listedFlatpaks_.end();
        found != listedFlatpaks_.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::map<LinuxRunningApplications::ProcessKey, Workspace::RunningApplication>
LinuxRunningApplications::scanProcesses() {
    std::map<ProcessKey, Workspace::RunningApplication> running;
    std::map<std::filesystem::path, BundleFacts> seen;
    std::map<std::pair<std::int32_t, std::uint64_t>, std::optional<std::string>> sandboxes;
    std::error_code error;
    std::filesystem::directory_iterator entries(root_, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        const auto pid = pidOf(entries->path().filename().string());
        if (!pid) {
            continue;
        }
        const auto executable = LinuxProcFiles::executablePath(root_, *pid);
        if (!executable) {
            continue; // gone, or not ours to look at
        }
        const auto bundle = bundleOfExecutable(*executable);
        if (!bundle && listedPrograms_.empty() && listedFlatpaks_.empty()) {
            continue;
        }
        if (user_) {
            const auto ids = LinuxProcFiles::ids(root_, *pid);
            if (!ids || ids->realUid != *user_) {
                continue;
            }
        }
        const auto startTime = LinuxProcFiles::startTime(root_, *pid);
        if (!startTime) {
            continue;
        }
        if (!bundle) {
            const auto listed = listedFor(*pid, *startTime, *executable, sandboxes);
            if (!listed) {
                continue;
            }
            Workspace::RunningApplication application;
            application.bundleIdentifier = listed->bundleIdentifier;
            application.bundleURL = listed->path;
            application.executableURL = *executable;
            application.processIdentifier = *pid;
            running.emplace(ProcessKey{*pid, *startTime, *executable}, std::move(application));
            continue;
        }
        const BundleFacts facts = factsOf(*bundle, seen);
        Workspace::RunningApplication application;
        application.bundleIdentifier = facts.bundleIdentifier;
        application.bundleURL = *bundle;
        application.executableURL = *executable;
        application.processIdentifier = *pid;
        application.activationPolicy = facts.activationPolicy;
        if (application.activationPolicy == Workspace::ActivationPolicy::regular &&
            runsAsAgent(root_, *pid)) {
            application.activationPolicy = Workspace::ActivationPolicy::accessory;
        }
        running.emplace(ProcessKey{*pid, *startTime, *executable}, std::move(application));
    }
    // Only bundles that still run stay cached, so a relaunch after an update reads afresh.
    bundleCache_ = std::move(seen);
    sandboxCache_ = std::move(sandboxes);
    return running;
}

std::vector<Workspace::RunningApplication> LinuxRunningApplications::scan() {
    const auto current = scanProcesses();
    std::vector<Workspace::RunningApplication> applications;
    applications.reserve(current.size());
    for (const auto& [key, application] : current) {
        applications.push_back(application);
        // While someone polls, an application seen here and gone before the next poll is
        // still reported; what ended meanwhile is left for that poll to report.
        if (hasPrevious_) {
            previous_.emplace(key, application);
        }
    }
    return applications;
}

void LinuxRunningApplications::stopTracking() {
    previous_.clear();
    hasPrevious_ = false;
}

std::vector<Workspace::RunningApplication>
LinuxRunningApplications::pollTerminated(std::vector<Workspace::RunningApplication>* running) {
    auto current = scanProcesses();
    if (running) {
        running->clear();
        running->reserve(current.size());
        for (const auto& [key, application] : current) {
            running->push_back(application);
        }
    }
    std::vector<Workspace::RunningApplication> terminated;
    if (hasPrevious_) {
        for (const auto& [key, application] : previous_) {
            if (!current.contains(key)) {
                terminated.push_back(application);
            }
        }
    }
    previous_ = std::move(current);
    hasPrevious_ = true;
    return terminated;
}

} // namespace zorvane
